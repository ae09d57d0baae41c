#include "sound/synthesis.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "platform/exact_float.h"
#include "sound/synth_state.h"
#include "sound/voice_tap.h"
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

// The control step's constants, per call.
constexpr double noteStepsPerFraction = 5.0;  // the note cycle advances by 5 x the moving fraction
constexpr double audibleFraction = 0.001;     // below this moving fraction the tone falls silent
constexpr double toneLevelScale = 0.55;       // loudness target 0.55 x fraction^0.125
constexpr double toneLevelExponent = 0.125;
constexpr double toneIncrementPerRatio = 187.5;  // tone table frames per output frame at note ratio 1
constexpr double strikeIncrementPerRatio = 2.0;  // strike table frames per output frame at note ratio 1
constexpr double panPerVelocity = 12.0;          // sideways velocity that pans fully: 1 / 12
constexpr double strikeSpeedThreshold = 0.1;     // the strike voice sounds above this speed,
constexpr double strikeSpeedSlope = 2.0;         // grows twice as fast as the speed,
constexpr double strikePeak = 0.3;               // up to this loudness
constexpr double strikeBandsPerSpeed = 6.0;      // the strike's note steps with 6 x the speed

// A non-finite measurement counts as no measurement.
float finiteOrZero(float v) { return std::isfinite(v) ? v : 0.0f; }

// Fractions and gains belong to [0, 1]; a stray value must not push the note
// cycle or the samples out of range.
float unitRange(float v) {
  if (v >= 0.0f && v <= 1.0f) return v;
  return (v > 1.0f && v <= FLT_MAX) ? 1.0f : 0.0f;
}

// Left and right side by side: the two lanes of an SSE2 register where there
// is one, a pair of doubles elsewhere. Both compute the same IEEE results.
#if defined(__x86_64__)

using Lanes = __m128d;
inline Lanes lanes(double left, double right) { return _mm_setr_pd(left, right); }
inline Lanes both(double v) { return _mm_set1_pd(v); }
inline Lanes add(Lanes a, Lanes b) { return _mm_add_pd(a, b); }
inline Lanes mul(Lanes a, Lanes b) { return _mm_mul_pd(a, b); }
inline double leftOf(Lanes v) { return _mm_cvtsd_f64(v); }
inline double rightOf(Lanes v) { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }

// Both channels of one frame widened to double.
inline Lanes loadFrame(const float* frame) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(frame))));
}

// Rounding to single precision and back, lane by lane, held exactly.
inline Lanes narrow(Lanes v) { return _mm_cvtps_pd(heldExactly(_mm_cvtpd_ps(v))); }

// A non-finite gain counts as 0 and a finite one is held to [0, 1].
inline Lanes unitGains(float left, float right) {
  const __m128 raw = _mm_setr_ps(left, right, 0.0f, 0.0f);
  const __m128 finite = _mm_and_ps(raw, _mm_cmple_ps(raw, _mm_set1_ps(FLT_MAX)));
  return _mm_cvtps_pd(_mm_min_ps(_mm_max_ps(finite, _mm_setzero_ps()), _mm_set1_ps(1.0f)));
}

// Scales by 32764, truncates toward zero and stores the two 16-bit samples.
// The level bound keeps every value well inside 16 bits.
inline void writeFrame(unsigned char* out, Lanes frame) {
  const __m128i whole = _mm_cvttpd_epi32(_mm_mul_pd(frame, _mm_set1_pd(sampleScale)));
  const int32_t pair = _mm_cvtsi128_si32(_mm_packs_epi32(whole, whole));
  std::memcpy(out, &pair, sizeof pair);
}

#else

struct Lanes {
  double left, right;
};
inline Lanes lanes(double left, double right) { return {left, right}; }
inline Lanes both(double v) { return {v, v}; }
inline Lanes add(Lanes a, Lanes b) { return {a.left + b.left, a.right + b.right}; }
inline Lanes mul(Lanes a, Lanes b) { return {a.left * b.left, a.right * b.right}; }
inline double leftOf(Lanes v) { return v.left; }
inline double rightOf(Lanes v) { return v.right; }
inline Lanes loadFrame(const float* frame) { return {frame[0], frame[1]}; }
inline Lanes narrow(Lanes v) { return {exactFloat(v.left), exactFloat(v.right)}; }
inline double unitGain(float v) { return v > 0.0f && v <= FLT_MAX ? std::fmin(v, 1.0f) : 0.0f; }
inline Lanes unitGains(float left, float right) { return {unitGain(left), unitGain(right)}; }
inline int16_t sampleOf(double v) {
  const double scaled = std::trunc(v * sampleScale);
  return static_cast<int16_t>(std::fmin(std::fmax(scaled, -32768.0), 32767.0));
}
inline void writeFrame(unsigned char* out, Lanes frame) {
  const int16_t pair[2] = {sampleOf(frame.left), sampleOf(frame.right)};
  std::memcpy(out, pair, sizeof pair);
}

#endif

// Linear interpolation between frame floor(phase) mod N and the next one,
// the last frame followed by frame 0. phase must lie in [0, 2^52), where a
// double still resolves a fraction and the int64 conversion cannot overflow.
inline Lanes interpolate(const float* samples, int64_t mask, double phase) {
  const int64_t whole = static_cast<int64_t>(phase);
  const double weight = phase - static_cast<double>(whole);
  const Lanes base = loadFrame(samples + 2 * (whole & mask));
  const Lanes next = loadFrame(samples + 2 * ((whole + 1) & mask));
  return add(mul(both(1.0 - weight), base), mul(both(weight), next));
}

// Any phase at or above 0 into [0, 2^52); beyond 2^52 a double holds only
// whole numbers, so fmod is exact. Anything else (negative, NaN) reads frame 0.
inline double servablePhase(double phase, int32_t frameCount) {
  if (phase >= 0.0 && phase < 0x1p52) return phase;
  return (phase >= 0x1p52 && phase <= DBL_MAX) ? std::fmod(phase, frameCount) : 0.0;
}

// The previous call left the phase inside its table; a phase set from outside
// is brought into it the same way.
inline double startPhase(double phase, int32_t frameCount) {
  if (phase >= 0.0 && phase < frameCount) return phase;
  return (phase >= 0.0 && phase <= DBL_MAX) ? std::fmod(phase, frameCount) : 0.0;
}

// Both gains of one frame, read afresh every frame.
inline Lanes loadGains() {
  const float right = motionState.rightGain.load(std::memory_order_relaxed);
  const float left = motionState.leftGain.load(std::memory_order_relaxed);
  return unitGains(left, right);
}

// A smoothed value that has decayed below any audible level ends at exactly 0:
// left alone it would sink into subnormal numbers and stay there, and every
// frame of a silent room would then run many times slower.
constexpr double inaudible = 1e-30;
inline double settled(double v) { return std::fabs(v) < inaudible ? 0.0 : v; }

// (integer part of 6 s, plus 8) mod 4, kept in double until it is small so
// that no speed, however large, overflows the conversion; always 0 to 3.
int32_t strikeBand(float speed) {
  double band =
      std::fmod(std::trunc(strikeBandsPerSpeed * speed) + noteCycleOffset, static_cast<double>(noteCount));
  if (band < 0.0) band += noteCount;
  return static_cast<int32_t>(band) & (noteCount - 1);
}

}  // namespace

void seedNoteRandom(uint64_t seed) { noteRandom.state = seed; }

void resetSynthState() {
  synthState = SynthState{};
  synthTargets = SynthTargets{};
  seedNoteRandom(noteRandomSeed);
}

StereoValue readFrame(const WaveTable& table, double phase) {
  const Lanes v = interpolate(table.samples, table.frameCount - 1, servablePhase(phase, table.frameCount));
  return {leftOf(v), rightOf(v)};
}

namespace {
// Per call: the note cycle, the tone's loudness and pitch targets, the strike
// voice's pitch, pan and loudness targets, from the fraction and speed copied
// under the lock and the sideways velocity read now.
void controlStep(float fraction, float speed, SynthState& state, SynthTargets& targets) {
  // Note cycle: advances with the moving area; each change of its integer part
  // jumps ahead by a random 0 to 3 further steps.
  state.noteAccumulator = exactFloat(state.noteAccumulator + noteStepsPerFraction * fraction);
  const int32_t step = static_cast<int32_t>(state.noteAccumulator);
  targets.noteJumpDrawn = step != state.lastNoteStep;
  targets.noteJump = targets.noteJumpDrawn ? drawNoteJump() : 0;
  const double wrapped =
      std::fmod(static_cast<double>(state.noteAccumulator) + targets.noteJump + noteCycleOffset,
                static_cast<double>(noteCount));
  state.noteAccumulator = exactFloat(wrapped);
  state.lastNoteStep = static_cast<int32_t>(wrapped);

  targets.levelTarget = static_cast<double>(fraction) > audibleFraction
                            ? toneLevelScale * std::pow(fraction, toneLevelExponent)
                            : 0.0;
  targets.toneIncrementTarget = exactFloat(noteTable[currentNote(state)] * toneIncrementPerRatio);

  targets.strikeBand = strikeBand(speed);
  state.strikeIncrement = strikeIncrementPerRatio * noteTable[targets.strikeBand];

  const float velocityX = finiteOrZero(motionState.velocityX.load(std::memory_order_relaxed));
  const double pan = std::fmin(std::fmax(panPerVelocity * velocityX, -1.0), 1.0);
  const double rightShare = (pan + 1.0) * 0.5;
  targets.panLeft = exactFloat(std::sqrt(1.0 - rightShare));
  targets.panRight = std::sqrt(rightShare);

  const double strikeLoudness =
      std::fmin(std::fmax(strikeSpeedSlope * (speed - strikeSpeedThreshold), 0.0), 1.0) * strikePeak;
  targets.strikeLeftTarget = exactFloat(targets.panLeft * strikeLoudness);
  targets.strikeRightTarget = exactFloat(strikeLoudness * targets.panRight);
}

// Per frame: both voices through their smoothers into `frames` 16-bit stereo
// frames at out. The work runs on locals, left and right side by side in the
// two lanes of a register; the state is stored back once.
void renderFrames(unsigned char* out, uint32_t frames, SynthState& state, const SynthTargets& targets) {
  const float* tone = toneTable.samples;
  const float* strike = strikeTable.samples;
  const double levelStep = targets.levelTarget * levelTake;
  const double toneIncrementStep = targets.toneIncrementTarget * glideTake;
  const Lanes strikeStep = mul(lanes(targets.strikeLeftTarget, targets.strikeRightTarget), both(strikeTake));
  const Lanes glideKeepBoth = both(glideKeep);
  const Lanes glideTakeBoth = both(glideTake);
  const Lanes strikeKeepBoth = both(strikeKeep);
  const double strikeIncrement = state.strikeIncrement;
  double toneLevel = state.toneLevel;
  Lanes toneGain = lanes(state.toneLeftGain, state.toneRightGain);
  double toneIncrement = state.toneIncrement;
  Lanes strikeLevel = lanes(state.strikeLeftLevel, state.strikeRightLevel);
  // Within a call the phases grow by at most 2^30 frames times a few hundred,
  // which keeps them far below 2^52 from a start inside the table.
  double tonePhase = startPhase(state.tonePhase, toneFrameCount);
  double strikePhase = startPhase(state.strikePhase, strikeFrameCount);

  for (uint32_t n = 0; n < frames; ++n) {
    toneLevel = toneLevel * levelKeep + levelStep;
    toneGain = add(mul(toneGain, glideKeepBoth), mul(loadGains(), glideTakeBoth));

    const Lanes toneValue = interpolate(tone, toneFrameCount - 1, tonePhase);
    const Lanes toneOut = narrow(mul(mul(toneGain, both(toneLevel)), toneValue));

    strikeLevel = narrow(add(mul(strikeLevel, strikeKeepBoth), strikeStep));
    const Lanes strikeValue = interpolate(strike, strikeFrameCount - 1, strikePhase);
    const Lanes frame = narrow(add(toneOut, mul(strikeLevel, strikeValue)));
    writeFrame(out + 4 * static_cast<std::size_t>(n), frame);

    toneIncrement = toneIncrement * glideKeep + toneIncrementStep;
    tonePhase += toneIncrement;
    strikePhase += strikeIncrement;
  }

  state.toneLevel = settled(toneLevel);
  state.toneLeftGain = settled(leftOf(toneGain));
  state.toneRightGain = settled(rightOf(toneGain));
  state.toneIncrement = toneIncrement;
  // Already rounded to single precision: the conversions are exact.
  state.strikeLeftLevel = static_cast<float>(settled(leftOf(strikeLevel)));
  state.strikeRightLevel = static_cast<float>(settled(rightOf(strikeLevel)));
  // Wrapped once per call; within a call the phases grow freely.
  state.tonePhase = std::fmod(tonePhase, static_cast<double>(toneFrameCount));
  state.strikePhase = std::fmod(strikePhase, static_cast<double>(strikeFrameCount));
}
}  // namespace

uint32_t synthesisCallback(uint32_t, void* buffer, uint32_t byteCount, uint32_t) {
  auto* out = static_cast<unsigned char*>(buffer);
  if (out) std::memset(out, 0, byteCount);
  const bool tablesReady = toneTable.samples && toneTable.frameCount == toneFrameCount &&
                           strikeTable.samples && strikeTable.frameCount == strikeFrameCount;
  if (!tablesReady) return byteCount;

  enterMotionLock();
  const float fraction = motionState.movingFraction;
  const float speed = motionState.speed;
  leaveMotionLock();

  controlStep(unitRange(fraction), finiteOrZero(speed), synthState, synthTargets);
  tapVoices(synthState, synthTargets);
  renderFrames(out, out ? byteCount / 4 : 0, synthState, synthTargets);
  return byteCount;
}
