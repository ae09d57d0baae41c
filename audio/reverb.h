#pragma once
// Stereo reverb: a feedback delay network that varies in time.
//
// Eight delay lines; each carries two lanes of equal length that together hold
// one complex signal. Every pass turns each line's signal by a slowly
// advancing angle (0.23 to 0.42 Hz, a different rate per line), which shifts
// what it carries by that much; the mixing between lines acts on both lanes
// alike, so along any path through the network the shifts add up and never
// cancel. A steady tone therefore finds no resonance that stays put (a fixed
// network's modes are only 0.7 Hz wide at 3 s and ring 10 dB and more above
// the rest), while its tail spreads by about 1 Hz every 0.2 s, too slowly to
// be heard as a change of pitch. Turning the feedback follows Schlecht and
// Habets' time-varying feedback matrices; keeping the lanes complex makes each
// turn a frequency shift of one sign, which later passes cannot undo.
//
// Lines 0-3 form the left side, 4-7 the right: each side's input enters its
// own lines and each side's output reads its own lines, and per pass 2.5 % of
// a side's energy crosses over. A sound keeps its side for the first second
// or so of its tail, so a panned tone stays panned through two long reverbs.
//
// The input first passes six short all-pass diffusers, so that the echoes are
// as dense as noise within 50 ms. Each line ends in a loss filter: below about
// 2 kHz the tail decays in the reverb time, above it in reverb time x ratio.
//
// Works at any rate the audio layer accepts: delays, rates and filters are set
// in seconds and hertz. Interleaved stereo float frames, processed in place,
// in float without contraction: the output depends on the input alone and is
// the same on every build.

#include <cstdint>

constexpr int32_t reverbLineCount = 8;
constexpr int32_t reverbLaneCount = 2 * reverbLineCount;
constexpr int32_t reverbDiffuserCount = 6;
constexpr uint32_t reverbMinRate = 8000;
constexpr uint32_t reverbMaxRate = 192000;
// Line lengths at 44 100 Hz, left side first; other rates scale them and take
// the nearest unused prime. Together the lines hold more than 0.15 x 3 s x
// rate samples per lane: enough echoes for a smooth tail at the longest time.
extern const int32_t reverbLineLengths[reverbLineCount];
constexpr int32_t reverbTotalLength = 20110;
// Samples of line memory at the highest rate (two lanes per line, with room
// for the rounding to primes).
constexpr int32_t reverbLineStorage = 2 * (reverbTotalLength * 192 / 44 + 64);
constexpr int32_t reverbDiffuserStorage = 4096;

// The effect's parameter record, four 32-bit floats in this order.
struct ReverbParameters {
  float inputGain;      // dB, -96 to 0; scales the input (dry and wet)
  float reverbMix;      // dB, -96 to 0; 0 is all wet
  float reverbTime;     // ms, 0.001 to 3000; low-frequency decay by 60 dB
  float highFreqRatio;  // 0.001 to 0.999; high-frequency decay time / reverbTime
};

constexpr ReverbParameters defaultReverbParameters = {0.0f, 0.0f, 1000.0f, 0.001f};

// Dry and wet gains of the constant-power crossfade for a mix in dB.
struct ReverbMixFactors {
  double dry;
  double wet;
};

struct ReverbState {
  ReverbParameters parameters;
  uint32_t sampleRate;
  float inputScale;
  float dryScale;
  float wetScale;
  int32_t lineLengths[reverbLineCount];
  int32_t linePositions[reverbLineCount];
  // Loss filter of lane i: z = weightA[i] A(y) + weightB[i] B(y), where
  // A(z) = (a2 + a1 z^-1 + z^-2) / (1 + a1 z^-1 + a2 z^-2) and
  // B(z) = (b + z^-1) / (1 + b z^-1) are all-passes that split y into
  // complementary bands at the crossover: (A + B) / 2 is a third-order
  // Butterworth low-pass, (A - B) / 2 the matching high-pass, their powers
  // summing to one. With weights (gLow + gHigh) / 2 and (gLow - gHigh) / 2
  // the power gain moves from gLow^2 to gHigh^2 across the crossover and never
  // exceeds the larger one. The weights also carry the mixing's normalisation.
  float allpassA1;
  float allpassA2;
  float allpassB;
  float weightA[reverbLaneCount];
  float weightB[reverbLaneCount];
  float stateA[2][reverbLaneCount];  // A in transposed direct form
  float stateB[reverbLaneCount];     // B in transposed direct form
  // The per-line rotation: exact phasors in double, advanced every 32
  // samples; in between, the float copy per lane moves linearly.
  double phasor[reverbLineCount][2];
  double phasorStep[reverbLineCount][2];
  float rotation[2][reverbLaneCount];
  float rotationStep[2][reverbLaneCount];
  int32_t controlCountdown;
  int32_t diffuserLengths[reverbDiffuserCount];
  int32_t diffuserPositions[reverbDiffuserCount];
  float diffusers[reverbDiffuserStorage];  // one after another, channels interleaved
  float lines[reverbLineStorage];          // one after another, lanes interleaved
};

// True when every field lies in its range (NaN never does).
bool reverbParametersValid(const ReverbParameters& parameters);
ReverbMixFactors reverbMixFactors(double mixDb);

// Empties the reverb and sets the default parameters, for sampleRate frames
// per second (clamped to reverbMinRate..reverbMaxRate).
void initReverb(ReverbState& reverb, uint32_t sampleRate);
// Refuses (returns false, changes nothing) a record out of range; otherwise
// takes it and recomputes the gains, keeping the tail that is playing.
bool setReverbParameters(ReverbState& reverb, const ReverbParameters& parameters);
// Processes frameCount interleaved stereo frames in place.
void processReverb(ReverbState& reverb, float* samples, uint32_t frameCount);
