#include "sound/voice_tap.h"

#include "platform/sample_tap.h"
#include "sound/synth_state.h"

namespace {
// About six seconds of 100 ms requests.
SampleTap<VoiceSample, 64> voiceTap;
}  // namespace

void tapVoices(const SynthState& state, const SynthTargets& targets) {
  voiceTap.offer([&] {
    return VoiceSample{currentNote(state),       targets.strikeBand,        targets.levelTarget,
                       targets.strikeLeftTarget, targets.strikeRightTarget, targets.panLeft,
                       targets.panRight};
  });
}

void openVoiceTap(WakeSignal* wake) { voiceTap.open(wake); }

void closeVoiceTap() { voiceTap.close(); }

bool takeVoiceSample(VoiceSample& sample) { return voiceTap.take(sample); }

uint64_t voiceSamplesDropped() { return voiceTap.dropped(); }
