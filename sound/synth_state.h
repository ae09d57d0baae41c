#pragma once
#include <cstdint>

// The synthesis callback's persistent state; owned by the audio thread.
// Every field is zero before the first call.
struct SynthState {
  float noteAccumulator;  // position in the four-note cycle, [0, 4]
  int32_t lastNoteStep;   // integer part of the accumulator after the last call
  double toneLevel;
  double toneLeftGain;
  double toneRightGain;
  double toneIncrement;  // table frames per output frame
  double tonePhase;      // in toneTable frames
  float strikeLeftLevel;
  float strikeRightLevel;
  double strikeIncrement;
  double strikePhase;  // in strikeTable frames
};

// The control targets the latest call derived from the motion record.
struct SynthTargets {
  double levelTarget;
  float toneIncrementTarget;
  float panLeft;
  double panRight;
  float strikeLeftTarget;
  float strikeRightTarget;
  int32_t strikeBand;  // the entry of noteTable the strike voice plays, 0 to 3
  bool noteJumpDrawn;  // the accumulator's integer part changed, so a jump was drawn
  int32_t noteJump;    // 0 to 3
};

// The tone's cycle of notes: entries of noteTable.
constexpr int32_t noteCount = 4;
// Added before taking a step "mod noteCount", so that no step wraps below 0.
constexpr int32_t noteCycleOffset = 8;

// The entry of noteTable the tone voice plays.
inline int32_t currentNote(const SynthState& state) {
  return (static_cast<int32_t>(state.noteAccumulator) + noteCycleOffset) % noteCount;
}

extern SynthState synthState;
extern SynthTargets synthTargets;

// The note cycle's generator, also owned by the audio thread. It starts from a
// fixed seed so that a run is repeatable.
constexpr uint64_t noteRandomSeed = 1234;
void seedNoteRandom(uint64_t seed);

// Test helper: state, targets and generator back to their start values.
// Only while no stream is running.
void resetSynthState();
