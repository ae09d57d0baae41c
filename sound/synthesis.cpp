#include "sound/synthesis.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "sound/synth_state.h"
#include "sound/wave_tables.h"
#include "vision/motion_state.h"

SynthState synthState{};
SynthTargets synthTargets{};

namespace {

struct NoteRandom {
  uint64_t state;
};
NoteRandom noteRandom{noteRandomSeed};

// splitmix64: small, fast and with well-mixed high bits.
uint64_t nextNoteRandom() {
  uint64_t z = (noteRandom.state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int32_t drawNoteJump() { return static_cast<int32_t>(nextNoteRandom() >> 62); }

constexpr double sampleRate = 44100.0;
// One-pole smoothers: loudness ~0.1 s, gains and pitch ~2 ms, strike levels ~1 s.
constexpr double levelTake = 10.0 / sampleRate;
constexpr double levelKeep = 1.0 - levelTake;
constexpr double glideTake = 500.0 / sampleRate;
constexpr double glideKeep = 1.0 - glideTake;
constexpr double strikeTake = 1.0 / sampleRate;
constexpr double strikeKeep = 1.0 - strikeTake;
constexpr double sampleScale = 32764.0;

// A non-finite measurement counts as no measurement.
float finiteOrZero(float v) { return std::isfinite(v) ? v : 0.0f; }

// Fractions and gains belong to [0, 1]; a stray value must not push the note
// cycle or the samples out of range.
float unitRange(float v) {
  if (v >= 0.0f && v <= 1.0f) return v;
  return (v > 1.0f && v <= FLT_MAX) ? 1.0f : 0.0f;
}

inline StereoValue interpolate(const float* samples, int32_t frameCount, double phase) {
  if (!(phase >= 0.0 && phase < 0x1p52)) {
    // Beyond 2^52 a double holds only whole numbers, so fmod is exact; anything
    // else (negative, NaN) reads frame 0.
    phase = (phase >= 0x1p52 && phase <= DBL_MAX) ? std::fmod(phase, frameCount) : 0.0;
  }
  const int64_t whole = static_cast<int64_t>(phase);
  const double weight = phase - static_cast<double>(whole);
  const int64_t mask = frameCount - 1;
  const float* base = samples + 2 * (whole & mask);
  const float* next = samples + 2 * ((whole + 1) & mask);
  return {(1.0 - weight) * base[0] + weight * next[0], (1.0 - weight) * base[1] + weight * next[1]};
}

// (integer part of 6 s + 8) mod 4, kept in double until it is small so that no
// speed, however large, overflows the conversion; always 0 to 3.
int32_t strikeBand(float s) {
  double band = std::fmod(std::trunc(6.0 * s + 8.0), 4.0);
  if (band < 0.0) band += 4.0;
  return static_cast<int32_t>(band) & 3;
}

void writeFrame(unsigned char* out, float left, float right) {
  const int16_t pair[2] = {static_cast<int16_t>(static_cast<int32_t>(left * sampleScale)),
                           static_cast<int16_t>(static_cast<int32_t>(right * sampleScale))};
  std::memcpy(out, pair, sizeof pair);
}

}  // namespace

void seedNoteRandom(uint64_t seed) { noteRandom.state = seed; }

void resetSynthState() {
  synthState = SynthState{};
  synthTargets = SynthTargets{};
  seedNoteRandom(noteRandomSeed);
}

StereoValue readFrame(const WaveTable& table, double phase) {
  return interpolate(table.samples, table.frameCount, phase);
}

uint32_t synthesisCallback(uint32_t, void* buffer, uint32_t byteCount, uint32_t) {
  auto* out = static_cast<unsigned char*>(buffer);
  if (out) std::memset(out, 0, byteCount);
  const bool tablesReady = toneTable.samples && toneTable.frameCount == toneFrameCount &&
                           strikeTable.samples && strikeTable.frameCount == strikeFrameCount;
  if (!tablesReady) return byteCount;

  enterMotionLock();
  const float fraction = motionState.movingFraction;
  const float speedCopy = motionState.speed;
  leaveMotionLock();
  const float f = unitRange(fraction);
  const float s = finiteOrZero(speedCopy);

  SynthState& st = synthState;
  SynthTargets& tg = synthTargets;

  // Note cycle: advances with the moving area; each change of its integer part
  // jumps ahead by a random 0 to 3 further steps.
  st.noteAccumulator = static_cast<float>(st.noteAccumulator + 5.0 * f);
  const int32_t step = static_cast<int32_t>(st.noteAccumulator);
  tg.noteJumpDrawn = step != st.lastNoteStep;
  tg.noteJump = tg.noteJumpDrawn ? drawNoteJump() : 0;
  const double wrapped = std::fmod(static_cast<double>(st.noteAccumulator) + tg.noteJump + 8.0, 4.0);
  st.noteAccumulator = static_cast<float>(wrapped);
  st.lastNoteStep = static_cast<int32_t>(wrapped);

  tg.levelTarget = static_cast<double>(f) > 0.001 ? 0.55 * std::pow(f, 0.125) : 0.0;
  const int32_t note = (static_cast<int32_t>(st.noteAccumulator) + 8) % 4;
  tg.toneIncrementTarget = static_cast<float>(noteTable[note] * 187.5);

  st.strikeIncrement = 2.0 * noteTable[strikeBand(s)];

  const float velocityX = finiteOrZero(motionState.velocityX.load(std::memory_order_relaxed));
  const double pan = std::fmin(std::fmax(12.0 * velocityX, -1.0), 1.0);
  const double p = (pan + 1.0) * 0.5;
  tg.panLeft = static_cast<float>(std::sqrt(1.0 - p));
  tg.panRight = std::sqrt(p);

  const double g = std::fmin(std::fmax(2.0 * (s - 0.1), 0.0), 1.0) * 0.3;
  tg.strikeLeftTarget = static_cast<float>(tg.panLeft * g);
  tg.strikeRightTarget = static_cast<float>(g * tg.panRight);

  // Per-frame work runs on locals; the state is stored back once.
  const uint32_t frames = out ? byteCount / 4 : 0;
  const float* tone = toneTable.samples;
  const float* strike = strikeTable.samples;
  const double levelTarget = tg.levelTarget;
  const double toneIncrementTarget = tg.toneIncrementTarget;
  const double strikeLeftTarget = tg.strikeLeftTarget;
  const double strikeRightTarget = tg.strikeRightTarget;
  const double strikeIncrement = st.strikeIncrement;
  double toneLevel = st.toneLevel;
  double toneLeftGain = st.toneLeftGain;
  double toneRightGain = st.toneRightGain;
  double toneIncrement = st.toneIncrement;
  double tonePhase = st.tonePhase;
  float strikeLeftLevel = st.strikeLeftLevel;
  float strikeRightLevel = st.strikeRightLevel;
  double strikePhase = st.strikePhase;

  for (uint32_t n = 0; n < frames; ++n) {
    toneLevel = toneLevel * levelKeep + levelTarget * levelTake;
    const double rightGain = unitRange(motionState.rightGain.load(std::memory_order_relaxed));
    toneRightGain = toneRightGain * glideKeep + rightGain * glideTake;
    const double leftGain = unitRange(motionState.leftGain.load(std::memory_order_relaxed));
    toneLeftGain = toneLeftGain * glideKeep + leftGain * glideTake;

    const StereoValue t = interpolate(tone, toneFrameCount, tonePhase);
    const float a = static_cast<float>(toneLeftGain * toneLevel * t.left);
    const float b = static_cast<float>(toneRightGain * toneLevel * t.right);

    strikeLeftLevel = static_cast<float>(strikeLeftLevel * strikeKeep + strikeLeftTarget * strikeTake);
    strikeRightLevel =
        static_cast<float>(strikeRightLevel * strikeKeep + strikeRightTarget * strikeTake);
    const StereoValue k = interpolate(strike, strikeFrameCount, strikePhase);
    const float left = static_cast<float>(a + strikeLeftLevel * k.left);
    const float right = static_cast<float>(b + strikeRightLevel * k.right);
    writeFrame(out + 4 * static_cast<std::size_t>(n), left, right);

    toneIncrement = toneIncrement * glideKeep + toneIncrementTarget * glideTake;
    tonePhase += toneIncrement;
    strikePhase += strikeIncrement;
  }

  st.toneLevel = toneLevel;
  st.toneLeftGain = toneLeftGain;
  st.toneRightGain = toneRightGain;
  st.toneIncrement = toneIncrement;
  st.strikeLeftLevel = strikeLeftLevel;
  st.strikeRightLevel = strikeRightLevel;
  // Wrapped once per call; within a call the phases grow freely.
  st.tonePhase = std::fmod(tonePhase, static_cast<double>(toneFrameCount));
  st.strikePhase = std::fmod(strikePhase, static_cast<double>(strikeFrameCount));
  return byteCount;
}
