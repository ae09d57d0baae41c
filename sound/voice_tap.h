#pragma once
// The voices as data for outside listeners: while the tap is open, every
// synthesis call leaves a copy of what its control step derived for one
// reader on another thread (a SampleTap, platform/sample_tap.h: the audio
// thread never waits for it, and the oldest copies are dropped and counted
// when the reader falls behind). Closed, it costs one relaxed load per call.
#include <cstdint>

class WakeSignal;

struct SynthState;
struct SynthTargets;

struct VoiceSample {
  int32_t note;        // the entry of the note table the tone voice plays, 0 to 3
  int32_t strikeBand;  // the entry the strike voice plays, 0 to 3
  double levelTarget;  // the tone's loudness target
  float strikeLeftTarget;
  float strikeRightTarget;
  float panLeft;  // the strike voice's pan, as its two channel weights
  double panRight;
};

// Audio thread, right after the control step of a synthesis call.
void tapVoices(const SynthState& state, const SynthTargets& targets);

// The reader's side; one reader at a time. Opening forgets what an earlier
// opening left behind; `wake`, if given, is rung after every copy.
void openVoiceTap(WakeSignal* wake = nullptr);
void closeVoiceTap();
// The oldest copy not yet taken; false when there is none.
bool takeVoiceSample(VoiceSample& sample);
// Copies dropped since the process started because the reader fell behind.
uint64_t voiceSamplesDropped();
