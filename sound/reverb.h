#pragma once
// Stereo reverb: a feedback delay network of eight lines of mutually prime
// lengths, mixed by an orthogonal (normalised Hadamard) matrix, each line
// with a loss filter that sets how fast low and high frequencies decay
// (the change from one to the other lies around 3 kHz).
// Works at 44 100 Hz on interleaved stereo float frames, in place.

#include <cstdint>

constexpr int32_t reverbLineCount = 8;
constexpr double reverbSampleRate = 44100.0;
// Together the lines hold more than 0.15 x 3 s x 44 100 samples: enough modes
// for a smooth tail at the longest reverb time.
extern const int32_t reverbLineLengths[reverbLineCount];
constexpr int32_t reverbTotalLength = 20110;

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
  float inputScale;
  float dryScale;
  float wetScale;
  // Per-line loss filter (a biquad; y = line output, z = filtered):
  // z = b0 y + b1 y1 + b2 y2 - a1 z1 - a2 z2. The matrix normalisation is
  // folded into the b coefficients.
  float b0[reverbLineCount];
  float b1[reverbLineCount];
  float b2[reverbLineCount];
  float a1[reverbLineCount];
  float a2[reverbLineCount];
  float input1[reverbLineCount];
  float input2[reverbLineCount];
  float output1[reverbLineCount];
  float output2[reverbLineCount];
  int32_t positions[reverbLineCount];
  float lines[reverbTotalLength];
};

// True when every field lies in its range (NaN never does).
bool reverbParametersValid(const ReverbParameters& parameters);
ReverbMixFactors reverbMixFactors(double mixDb);

// Empties the lines and sets the default parameters.
void initReverb(ReverbState& reverb);
// Refuses (returns false, changes nothing) a record out of range; otherwise
// takes it and recomputes the coefficients, keeping the tail that is playing.
bool setReverbParameters(ReverbState& reverb, const ReverbParameters& parameters);
// Processes frameCount interleaved stereo frames in place.
void processReverb(ReverbState& reverb, float* samples, uint32_t frameCount);

// The lossless mixing step on its own (the unnormalised fast Hadamard
// transform scaled by 1/sqrt(8)); exposed so its energy preservation can be
// checked.
void mixReverbLines(float values[reverbLineCount]);
