#include "sound/reverb.h"

#include <cmath>
#include <cstring>
#include <numbers>

const int32_t reverbLineLengths[reverbLineCount] = {1733, 1913, 2111, 2333,
                                                    2579, 2843, 3137, 3461};

namespace {
// Values below this (-200 dB of full scale) are set to exactly zero where they
// enter the network's state: tails never reach denormal numbers, and silence in
// gives exact silence out once a tail has died.
constexpr float flushLevel = 1e-10f;

// Above about this frequency the loss filter moves from the low-frequency
// decay to the high-frequency one.
constexpr double dampingCornerHz = 3000.0;

// Signs of the output taps, orthogonal so the two channels are decorrelated.
// The taps read the lines after their loss filters, which already carry the
// 1/sqrt(8) of the matrix: the wet output is the tap sum over sqrt(8).
constexpr float leftTaps[reverbLineCount] = {1, 1, -1, 1, -1, -1, 1, -1};
constexpr float rightTaps[reverbLineCount] = {1, -1, 1, 1, 1, -1, -1, -1};
// The left input feeds the even lines, the right one the odd lines, each
// with the weight that keeps the injected energy equal to the input's.
constexpr float injectWeight = 0.5f;
const double hadamardNorm = 1.0 / std::sqrt(8.0);

inline float flushed(float value) { return std::fabs(value) < flushLevel ? 0.0f : value; }

inline void hadamard8(float* v) {
  for (int h = 1; h < reverbLineCount; h *= 2) {
    for (int i = 0; i < reverbLineCount; i += 2 * h) {
      for (int j = i; j < i + h; ++j) {
        float a = v[j];
        float b = v[j + h];
        v[j] = a + b;
        v[j + h] = a - b;
      }
    }
  }
}

// Per-line loss for a line of M samples: a second-order Butterworth shelf
// whose gain is g0 = 10^(-3 M / (fs T)) at 0 Hz and g0 x q at the Nyquist
// frequency, with q = 10^(-3 M / (fs T) x (1 / ratio - 1)), so low frequencies
// decay in T and high ones in T x ratio. Its magnitude falls monotonically
// from g0 to g0 x q, so the loop never gains. The poles stay fixed at the
// corner whatever the ratio: a tiny q (it underflows to zero at a ratio of
// 0.001 and long times) only moves the zeros to the Nyquist frequency, where a
// one-pole design would put its pole on the unit circle instead. The steep
// skirt leaves the low band's decay untouched.
void computeLineFilter(ReverbState& reverb, int line, double timeSeconds, double ratio) {
  double perPassLog = -3.0 * reverbLineLengths[line] / (reverbSampleRate * timeSeconds);
  double g0 = std::pow(10.0, perPassLog);
  double q = std::pow(10.0, perPassLog * (1.0 / ratio - 1.0));
  // Analog prototype g0 (d^2 s^2 + sqrt2 d s + 1) / (c^2 s^2 + sqrt2 c s + 1),
  // with c = 1 / corner and d = c sqrt(q), through the bilinear transform.
  const double r2 = std::numbers::sqrt2;
  double c = 1.0 / std::tan(std::numbers::pi * dampingCornerHz / reverbSampleRate);
  double d = c * std::sqrt(q);
  double a0 = c * c + r2 * c + 1.0;
  double scale = g0 * hadamardNorm / a0;
  reverb.b0[line] = static_cast<float>(scale * (d * d + r2 * d + 1.0));
  reverb.b1[line] = static_cast<float>(scale * (2.0 - 2.0 * d * d));
  reverb.b2[line] = static_cast<float>(scale * (d * d - r2 * d + 1.0));
  reverb.a1[line] = static_cast<float>((2.0 - 2.0 * c * c) / a0);
  reverb.a2[line] = static_cast<float>((c * c - r2 * c + 1.0) / a0);
}

void computeCoefficients(ReverbState& reverb) {
  const ReverbParameters& p = reverb.parameters;
  reverb.inputScale = static_cast<float>(std::pow(10.0, p.inputGain / 20.0));
  ReverbMixFactors mix = reverbMixFactors(p.reverbMix);
  reverb.dryScale = static_cast<float>(mix.dry);
  reverb.wetScale = static_cast<float>(mix.wet);
  for (int line = 0; line < reverbLineCount; ++line) {
    computeLineFilter(reverb, line, p.reverbTime / 1000.0, p.highFreqRatio);
  }
}
}  // namespace

bool reverbParametersValid(const ReverbParameters& p) {
  return p.inputGain >= -96.0f && p.inputGain <= 0.0f && p.reverbMix >= -96.0f &&
         p.reverbMix <= 0.0f && p.reverbTime >= 0.001f && p.reverbTime <= 3000.0f &&
         p.highFreqRatio >= 0.001f && p.highFreqRatio <= 0.999f;
}

ReverbMixFactors reverbMixFactors(double mixDb) {
  double m = std::pow(10.0, mixDb / 10.0);
  if (m > 1.0) m = 1.0;
  return {std::sqrt(1.0 - m), std::sqrt(m)};
}

void initReverb(ReverbState& reverb) {
  std::memset(&reverb, 0, sizeof reverb);
  reverb.parameters = defaultReverbParameters;
  computeCoefficients(reverb);
}

bool setReverbParameters(ReverbState& reverb, const ReverbParameters& parameters) {
  if (!reverbParametersValid(parameters)) return false;
  reverb.parameters = parameters;
  computeCoefficients(reverb);
  return true;
}

void mixReverbLines(float values[reverbLineCount]) {
  hadamard8(values);
  for (int i = 0; i < reverbLineCount; ++i) {
    values[i] = static_cast<float>(values[i] * hadamardNorm);
  }
}

void processReverb(ReverbState& reverb, float* samples, uint32_t frameCount) {
  float* starts[reverbLineCount];
  float* base = reverb.lines;
  for (int i = 0; i < reverbLineCount; ++i) {
    starts[i] = base;
    base += reverbLineLengths[i];
  }
  const float inputScale = reverb.inputScale;
  const float dryScale = reverb.dryScale;
  const float wetScale = reverb.wetScale;

  for (uint32_t n = 0; n < frameCount; ++n) {
    float inLeft = samples[2 * n] * inputScale;
    float inRight = samples[2 * n + 1] * inputScale;

    float mixed[reverbLineCount];
    float wetLeft = 0.0f;
    float wetRight = 0.0f;
    for (int i = 0; i < reverbLineCount; ++i) {
      float y = starts[i][reverb.positions[i]];
      float z = reverb.b0[i] * y + reverb.b1[i] * reverb.input1[i] +
                reverb.b2[i] * reverb.input2[i] - reverb.a1[i] * reverb.output1[i] -
                reverb.a2[i] * reverb.output2[i];
      z = flushed(z);
      reverb.input2[i] = reverb.input1[i];
      reverb.input1[i] = y;
      reverb.output2[i] = reverb.output1[i];
      reverb.output1[i] = z;
      wetLeft += leftTaps[i] * z;
      wetRight += rightTaps[i] * z;
      mixed[i] = z;
    }
    hadamard8(mixed);
    for (int i = 0; i < reverbLineCount; ++i) {
      float inject = (i & 1) ? inRight : inLeft;
      int32_t pos = reverb.positions[i];
      starts[i][pos] = flushed(mixed[i] + injectWeight * inject);
      reverb.positions[i] = (pos + 1 == reverbLineLengths[i]) ? 0 : pos + 1;
    }
    samples[2 * n] = dryScale * inLeft + wetScale * wetLeft;
    samples[2 * n + 1] = dryScale * inRight + wetScale * wetRight;
  }
}
