#include "sound/voice_tap.h"

#include <atomic>

#include "platform/drop_oldest_ring.h"
#include "sound/synth_state.h"

namespace {
// About six seconds of 100 ms requests.
DropOldestRing<VoiceSample, 64> voiceSamples;
std::atomic<bool> voiceTapOpen{false};
}  // namespace

void tapVoices(const SynthState& state, const SynthTargets& targets) {
  if (!voiceTapOpen.load(std::memory_order_relaxed)) return;
  voiceSamples.push(VoiceSample{currentNote(state), targets.strikeBand, targets.levelTarget,
                                targets.strikeLeftTarget, targets.strikeRightTarget, targets.panLeft,
                                targets.panRight});
}

void openVoiceTap() {
  voiceSamples.discardAll();
  voiceTapOpen.store(true, std::memory_order_release);
}

void closeVoiceTap() { voiceTapOpen.store(false, std::memory_order_release); }

bool takeVoiceSample(VoiceSample& sample) { return voiceSamples.pop(sample); }

uint64_t voiceSamplesDropped() { return voiceSamples.dropped(); }
