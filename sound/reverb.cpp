#include "sound/reverb.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

const int32_t reverbLineLengths[reverbLineCount] = {1733, 1913, 2111, 2333, 2579, 2843, 3137, 3461};

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
alignas(32) constexpr float leftTaps[reverbLineCount] = {1, 1, -1, 1, -1, -1, 1, -1};
alignas(32) constexpr float rightTaps[reverbLineCount] = {1, -1, 1, 1, 1, -1, -1, -1};
// The left input feeds the even lines, the right one the odd lines, each
// with the weight that keeps the injected energy equal to the input's.
constexpr float injectWeight = 0.5f;
const double hadamardNorm = 1.0 / std::sqrt(8.0);

// The eight lines are processed side by side as two 4-lane vectors (lines
// 0-3 and 4-7), which every x86-64 processor runs natively.
using Quad = float __attribute__((vector_size(16)));
using QuadMask = int32_t __attribute__((vector_size(16)));

inline Quad loadQuad(const float* v) {
  Quad out;
  std::memcpy(&out, v, sizeof out);
  return out;
}

inline void storeQuad(float* v, Quad q) { std::memcpy(v, &q, sizeof q); }

inline Quad flushed(Quad value) {
  QuadMask keep = value * value >= flushLevel * flushLevel;  // all ones where kept
  return reinterpret_cast<Quad>(reinterpret_cast<QuadMask>(value) & keep);
}

// The butterflies of the 8-point Hadamard transform that stay within a quad.
inline Quad innerButterflies(Quad v) {
  const Quad s2 = {1, 1, -1, -1};
  const Quad s1 = {1, -1, 1, -1};
  v = v * s2 + __builtin_shuffle(v, QuadMask{2, 3, 0, 1});
  return v * s1 + __builtin_shuffle(v, QuadMask{1, 0, 3, 2});
}

// Unnormalised 8-point Hadamard transform of (lo, hi).
inline void hadamard8(Quad& lo, Quad& hi) {
  Quad sum = lo + hi;
  Quad difference = lo - hi;
  lo = innerButterflies(sum);
  hi = innerButterflies(difference);
}

inline float quadSum(Quad v) { return (v[0] + v[1]) + (v[2] + v[3]); }

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
  return p.inputGain >= -96.0f && p.inputGain <= 0.0f && p.reverbMix >= -96.0f && p.reverbMix <= 0.0f &&
         p.reverbTime >= 0.001f && p.reverbTime <= 3000.0f && p.highFreqRatio >= 0.001f &&
         p.highFreqRatio <= 0.999f;
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
  Quad lo = loadQuad(values), hi = loadQuad(values + 4);
  hadamard8(lo, hi);
  const float norm = static_cast<float>(hadamardNorm);
  storeQuad(values, lo * norm);
  storeQuad(values + 4, hi * norm);
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
  const Quad b0l = loadQuad(reverb.b0), b0h = loadQuad(reverb.b0 + 4);
  const Quad b1l = loadQuad(reverb.b1), b1h = loadQuad(reverb.b1 + 4);
  const Quad b2l = loadQuad(reverb.b2), b2h = loadQuad(reverb.b2 + 4);
  const Quad a1l = loadQuad(reverb.a1), a1h = loadQuad(reverb.a1 + 4);
  const Quad a2l = loadQuad(reverb.a2), a2h = loadQuad(reverb.a2 + 4);
  const Quad leftL = loadQuad(leftTaps), leftH = loadQuad(leftTaps + 4);
  const Quad rightL = loadQuad(rightTaps), rightH = loadQuad(rightTaps + 4);
  const Quad even = {injectWeight, 0, injectWeight, 0};
  const Quad odd = {0, injectWeight, 0, injectWeight};
  Quad x1l = loadQuad(reverb.input1), x1h = loadQuad(reverb.input1 + 4);
  Quad x2l = loadQuad(reverb.input2), x2h = loadQuad(reverb.input2 + 4);
  Quad z1l = loadQuad(reverb.output1), z1h = loadQuad(reverb.output1 + 4);
  Quad z2l = loadQuad(reverb.output2), z2h = loadQuad(reverb.output2 + 4);

  // Within a run no longer than the shortest remaining stretch of any line,
  // every read finds a value written before the run began, so the run's line
  // outputs are gathered first, the frames computed on whole vectors, and the
  // new line inputs written back afterwards.
  constexpr uint32_t maxRun = 256;
  alignas(32) float gathered[maxRun][reverbLineCount];
  alignas(32) float fed[maxRun][reverbLineCount];
  uint32_t n = 0;
  while (n < frameCount) {
    uint32_t run = std::min(frameCount - n, maxRun);
    float* at[reverbLineCount];
    for (int i = 0; i < reverbLineCount; ++i) {
      at[i] = starts[i] + reverb.positions[i];
      run = std::min(run, static_cast<uint32_t>(reverbLineLengths[i] - reverb.positions[i]));
    }
    for (int i = 0; i < reverbLineCount; ++i) {
      for (uint32_t k = 0; k < run; ++k) gathered[k][i] = at[i][k];
    }
    for (uint32_t k = 0; k < run; ++k, ++n) {
      float inLeft = samples[2 * n] * inputScale;
      float inRight = samples[2 * n + 1] * inputScale;
      Quad yl = loadQuad(gathered[k]), yh = loadQuad(gathered[k] + 4);
      Quad zl = flushed(b0l * yl + b1l * x1l + b2l * x2l - a1l * z1l - a2l * z2l);
      Quad zh = flushed(b0h * yh + b1h * x1h + b2h * x2h - a1h * z1h - a2h * z2h);
      x2l = x1l;
      x2h = x1h;
      x1l = yl;
      x1h = yh;
      z2l = z1l;
      z2h = z1h;
      z1l = zl;
      z1h = zh;
      Quad inject = even * inLeft + odd * inRight;
      Quad fl = zl, fh = zh;
      hadamard8(fl, fh);
      storeQuad(fed[k], flushed(fl + inject));
      storeQuad(fed[k] + 4, flushed(fh + inject));
      samples[2 * n] = dryScale * inLeft + wetScale * quadSum(zl * leftL + zh * leftH);
      samples[2 * n + 1] = dryScale * inRight + wetScale * quadSum(zl * rightL + zh * rightH);
    }
    for (int i = 0; i < reverbLineCount; ++i) {
      for (uint32_t k = 0; k < run; ++k) at[i][k] = fed[k][i];
      int32_t pos = reverb.positions[i] + static_cast<int32_t>(run);
      reverb.positions[i] = pos == reverbLineLengths[i] ? 0 : pos;
    }
  }
  storeQuad(reverb.input1, x1l);
  storeQuad(reverb.input1 + 4, x1h);
  storeQuad(reverb.input2, x2l);
  storeQuad(reverb.input2 + 4, x2h);
  storeQuad(reverb.output1, z1l);
  storeQuad(reverb.output1 + 4, z1h);
  storeQuad(reverb.output2, z2l);
  storeQuad(reverb.output2 + 4, z2h);
}
