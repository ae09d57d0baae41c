#include "audio/reverb.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

const int32_t reverbLineLengths[reverbLineCount] = {1733, 2111, 2579, 3137, 1913, 2333, 2843, 3461};

namespace {
// Values below this (-200 dB of full scale) are set to exactly zero where they
// enter recursive state: tails never reach denormal numbers, and silence in
// gives exact silence out once a tail has died.
constexpr float flushLevel = 1e-10f;

// Below the crossover the lines lose energy for the reverb time, above it for
// reverb time x ratio. At 2 kHz and with the third-order split, the 8 kHz
// octave decays in time x ratio even at ratio 0.001, while the low band up to
// about 1 kHz keeps the full time.
constexpr double crossoverHz = 2000.0;

// Per pass, sin^2 of this angle (2.5 %) of each side's energy crosses to the
// other side: the first second of a tail stays mostly on the side of its
// sound, the rest of it fills both.
constexpr double sideCoupling = 0.16;
const float couplingTangent = static_cast<float>(std::tan(sideCoupling));

// Rotation rates of the lines (Hz): what each pass shifts. Slower turning
// leaves a held note's level swinging by several dB from one second to the
// next; faster spreads a tone's tail beyond a few hertz. No simple ratios
// between the rates, so different paths seldom end on the same shift.
constexpr double rotationHz[reverbLineCount] = {0.228, 0.280, 0.330, 0.390, 0.253, 0.312, 0.361, 0.420};
constexpr int32_t controlPeriod = 32;

// Input diffusers: lattice all-passes of these lengths at 44 100 Hz. Short
// enough that their own ring (about 50 ms) stays below the high-frequency
// decay wanted at the smallest ratio, dense enough that the echo density
// reaches that of noise in well under 100 ms.
constexpr int32_t diffuserLengths44k[reverbDiffuserCount] = {23, 37, 53, 79, 113, 149};
constexpr float diffuserGain = 0.6f;

// Each side's input enters the in-phase lane of its four lines, with the
// weight that keeps the injected energy equal to the input's.
constexpr float injectWeight = 0.5f;
// Output taps, one sign per lane of a side's four lines: orthogonal patterns,
// so the two sides' outputs are decorrelated. The taps read the lines before
// their loss filters (the first pass keeps the whole band), scaled so that the
// installation sounds about as loud as through the earlier fixed network,
// whose ringing modes had lifted the held notes.
constexpr float leftTaps[8] = {1, 1, -1, 1, -1, -1, 1, -1};
constexpr float rightTaps[8] = {1, -1, 1, 1, -1, 1, -1, -1};
constexpr double tapGain = 0.62;

constexpr uint32_t maxChunk = 256;

// The sixteen lanes are processed as four 4-lane vectors, each holding the two
// lanes of two lines; every x86-64 processor runs them natively.
using Quad = float __attribute__((vector_size(16)));
using QuadMask = int32_t __attribute__((vector_size(16)));

inline Quad loadQuad(const float* v) {
  Quad out;
  std::memcpy(&out, v, sizeof out);
  return out;
}

inline void storeQuad(float* v, Quad q) { std::memcpy(v, &q, sizeof q); }

// The lane pairs of two lines, as one vector.
using Pair = float __attribute__((vector_size(8)));

inline Quad loadPairs(const float* first, const float* second) {
  Pair a, b;
  std::memcpy(&a, first, sizeof a);
  std::memcpy(&b, second, sizeof b);
  return __builtin_shufflevector(a, b, 0, 1, 2, 3);
}

inline void storePairs(float* first, float* second, Quad q) {
  Pair a = __builtin_shufflevector(q, q, 0, 1);
  Pair b = __builtin_shufflevector(q, q, 2, 3);
  std::memcpy(first, &a, sizeof a);
  std::memcpy(second, &b, sizeof b);
}

inline Quad flushed(Quad value) {
  QuadMask keep = value * value >= flushLevel * flushLevel;  // all ones where kept
  return reinterpret_cast<Quad>(reinterpret_cast<QuadMask>(value) & keep);
}

inline float flushed(float value) { return value * value >= flushLevel * flushLevel ? value : 0.0f; }

inline Quad swapLines(Quad v) { return __builtin_shuffle(v, QuadMask{2, 3, 0, 1}); }
inline Quad swapLanes(Quad v) { return __builtin_shuffle(v, QuadMask{1, 0, 3, 2}); }

// The (unnormalised) 4-point Hadamard transform over a side's four lines,
// applied to both lanes alike, held in two vectors of two lines each.
inline void hadamard4(Quad& first, Quad& second) {
  const Quad sign = {1, 1, -1, -1};
  Quad sum = first + second;
  Quad difference = first - second;
  first = sum * sign + swapLines(sum);
  second = difference * sign + swapLines(difference);
}

bool isPrime(int32_t value) {
  if (value < 2) return false;
  for (int32_t d = 2; d * d <= value; ++d) {
    if (value % d == 0) return false;
  }
  return true;
}

void computeLengths(ReverbState& reverb) {
  const double scale = reverb.sampleRate / 44100.0;
  for (int i = 0; i < reverbLineCount; ++i) {
    const auto target = static_cast<int32_t>(std::lround(reverbLineLengths[i] * scale));
    auto unused = [&](int32_t v) {
      if (!isPrime(v)) return false;
      for (int j = 0; j < i; ++j) {
        if (reverb.lineLengths[j] == v) return false;
      }
      return true;
    };
    int32_t length = target;
    for (int32_t step = 0;; ++step) {
      if (unused(target + step)) {
        length = target + step;
        break;
      }
      if (unused(target - step)) {
        length = target - step;
        break;
      }
    }
    reverb.lineLengths[i] = length;
  }
  for (int i = 0; i < reverbDiffuserCount; ++i) {
    reverb.diffuserLengths[i] = std::max(1, static_cast<int32_t>(std::lround(diffuserLengths44k[i] * scale)));
  }
}

// The two all-passes of the crossover: the analog third-order Butterworth
// low-pass 1 / ((s + 1)(s^2 + s + 1)) is the mean of (1 - s) / (1 + s) and
// (s^2 - s + 1) / (s^2 + s + 1); both through the bilinear transform with the
// crossover prewarped.
void computeAllpasses(ReverbState& reverb) {
  const double t = std::tan(std::numbers::pi * crossoverHz / reverb.sampleRate);
  const double d0 = 1.0 + t + t * t;
  reverb.allpassA1 = static_cast<float>((2.0 * t * t - 2.0) / d0);
  reverb.allpassA2 = static_cast<float>((1.0 - t + t * t) / d0);
  reverb.allpassB = static_cast<float>((t - 1.0) / (t + 1.0));
}

void computeRotationSteps(ReverbState& reverb) {
  for (int i = 0; i < reverbLineCount; ++i) {
    const double angle = 2.0 * std::numbers::pi * rotationHz[i] * controlPeriod / reverb.sampleRate;
    reverb.phasorStep[i][0] = std::cos(angle);
    reverb.phasorStep[i][1] = std::sin(angle);
    // Start phases spread around the circle by the golden ratio.
    const double start = 2.0 * std::numbers::pi * 0.6180339887498949 * i;
    reverb.phasor[i][0] = std::cos(start);
    reverb.phasor[i][1] = std::sin(start);
  }
  reverb.controlCountdown = 0;
}

// Per-line gains for a decay time T (s): a line of M samples loses
// 60 M / (rate T) dB per pass below the crossover and 60 M / (rate T ratio)
// above it.
void computeCoefficients(ReverbState& reverb) {
  const ReverbParameters& p = reverb.parameters;
  reverb.inputScale = static_cast<float>(std::pow(10.0, p.inputGain / 20.0));
  ReverbMixFactors mix = reverbMixFactors(p.reverbMix);
  reverb.dryScale = static_cast<float>(mix.dry);
  reverb.wetScale = static_cast<float>(mix.wet * tapGain);
  const double seconds = p.reverbTime / 1000.0;
  const double mixing = 0.5 * std::cos(sideCoupling);  // the Hadamard's 1/2, the sides' cosine
  for (int line = 0; line < reverbLineCount; ++line) {
    const double perPassLog = -3.0 * reverb.lineLengths[line] / (reverb.sampleRate * seconds);
    const double low = std::pow(10.0, perPassLog);
    const double high = std::pow(10.0, perPassLog / p.highFreqRatio);
    for (int lane = 2 * line; lane < 2 * line + 2; ++lane) {
      reverb.weightA[lane] = static_cast<float>(mixing * 0.5 * (low + high));
      reverb.weightB[lane] = static_cast<float>(mixing * 0.5 * (low - high));
    }
  }
}

// Moves every line's phasor on by one control period and sets the per-sample
// steps that lead the float rotation there.
void advanceRotation(ReverbState& reverb) {
  constexpr float perSample = 1.0f / controlPeriod;
  for (int i = 0; i < reverbLineCount; ++i) {
    const double re = reverb.phasor[i][0], im = reverb.phasor[i][1];
    double nextRe = re * reverb.phasorStep[i][0] - im * reverb.phasorStep[i][1];
    double nextIm = re * reverb.phasorStep[i][1] + im * reverb.phasorStep[i][0];
    // One Newton step back to unit magnitude, against drift in the product.
    const double norm = 1.5 - 0.5 * (nextRe * nextRe + nextIm * nextIm);
    nextRe *= norm;
    nextIm *= norm;
    const auto c0 = static_cast<float>(re), s0 = static_cast<float>(im);
    const auto c1 = static_cast<float>(nextRe), s1 = static_cast<float>(nextIm);
    reverb.rotation[0][2 * i] = c0;
    reverb.rotation[0][2 * i + 1] = c0;
    reverb.rotation[1][2 * i] = -s0;
    reverb.rotation[1][2 * i + 1] = s0;
    reverb.rotationStep[0][2 * i] = (c1 - c0) * perSample;
    reverb.rotationStep[0][2 * i + 1] = (c1 - c0) * perSample;
    reverb.rotationStep[1][2 * i] = (s0 - s1) * perSample;
    reverb.rotationStep[1][2 * i + 1] = (s1 - s0) * perSample;
    reverb.phasor[i][0] = nextRe;
    reverb.phasor[i][1] = nextIm;
  }
  reverb.controlCountdown = controlPeriod;
}

// The input (interleaved stereo) through the chain of lattice all-passes, in
// place. Within a stretch no longer than what is left of a diffuser's buffer
// before its end, every read finds a value written before the stretch began,
// so the stretch is computed on whole vectors of two frames.
void diffuse(ReverbState& reverb, float* x, uint32_t frames) {
  const float g = diffuserGain;
  float* buffer = reverb.diffusers;
  for (int stage = 0; stage < reverbDiffuserCount; ++stage) {
    const int32_t length = reverb.diffuserLengths[stage];
    int32_t position = reverb.diffuserPositions[stage];
    uint32_t done = 0;
    while (done < frames) {
      const uint32_t run = std::min(frames - done, static_cast<uint32_t>(length - position));
      float* b = buffer + 2 * position;
      float* v = x + 2 * done;
      uint32_t i = 0;
      for (; i + 2 <= run; i += 2) {
        const Quad w = loadQuad(b + 2 * i);
        const Quad in = loadQuad(v + 2 * i) - g * w;
        storeQuad(b + 2 * i, in);
        storeQuad(v + 2 * i, w + g * in);
      }
      for (; i < run; ++i) {
        for (int c = 0; c < 2; ++c) {
          const float w = b[2 * i + c];
          const float in = v[2 * i + c] - g * w;
          b[2 * i + c] = in;
          v[2 * i + c] = w + g * in;
        }
      }
      position += static_cast<int32_t>(run);
      if (position == length) position = 0;
      done += run;
    }
    reverb.diffuserPositions[stage] = position;
    buffer += 2 * length;
  }
}

// A diffuser's stored values shrink by its gain per trip round its buffer.
// Swept once per chunk (at most 64 trips round the shortest, at the lowest
// rate: from the flush level down to 1e-24), they reach exact zeros and never
// denormal numbers.
void flushDiffusers(ReverbState& reverb) {
  int32_t total = 0;
  for (int32_t length : reverb.diffuserLengths) total += 2 * length;
  int32_t i = 0;
  for (; i + 4 <= total; i += 4) storeQuad(reverb.diffusers + i, flushed(loadQuad(reverb.diffusers + i)));
  for (; i < total; ++i) reverb.diffusers[i] = flushed(reverb.diffusers[i]);
}

// Runs `frames` frames of the network; no line wraps and no control update
// falls within them, so there are at most controlPeriod of them.
void runNetwork(ReverbState& reverb, float* samples, const float* diffused, uint32_t frames) {
  float* at[reverbLineCount];
  float* base = reverb.lines;
  for (int i = 0; i < reverbLineCount; ++i) {
    at[i] = base + 2 * reverb.linePositions[i];
    base += 2 * reverb.lineLengths[i];
  }
  const float inputScale = reverb.inputScale;
  const float dryScale = reverb.dryScale;
  const float wetScale = reverb.wetScale;
  const Quad a1 = Quad{} + reverb.allpassA1, a2 = Quad{} + reverb.allpassA2, b = Quad{} + reverb.allpassB;
  const Quad inject = {injectWeight, 0, injectWeight, 0};
  const Quad tapL0 = loadQuad(leftTaps), tapL1 = loadQuad(leftTaps + 4);
  const Quad tapR0 = loadQuad(rightTaps), tapR1 = loadQuad(rightTaps + 4);
  const float crossing = couplingTangent;
  float wet[2 * controlPeriod];

  Quad wA[4], wB[4], sA1[4], sA2[4], sB[4], rc[4], rs[4], drc[4], drs[4];
  for (int q = 0; q < 4; ++q) {
    wA[q] = loadQuad(reverb.weightA + 4 * q);
    wB[q] = loadQuad(reverb.weightB + 4 * q);
    sA1[q] = loadQuad(reverb.stateA[0] + 4 * q);
    sA2[q] = loadQuad(reverb.stateA[1] + 4 * q);
    sB[q] = loadQuad(reverb.stateB + 4 * q);
    rc[q] = loadQuad(reverb.rotation[0] + 4 * q);
    rs[q] = loadQuad(reverb.rotation[1] + 4 * q);
    drc[q] = loadQuad(reverb.rotationStep[0] + 4 * q);
    drs[q] = loadQuad(reverb.rotationStep[1] + 4 * q);
  }

  for (uint32_t k = 0; k < frames; ++k) {
    Quad y[4], z[4];
    for (int q = 0; q < 4; ++q) y[q] = loadPairs(at[2 * q] + 2 * k, at[2 * q + 1] + 2 * k);
    const Quad tapsLeft = y[0] * tapL0 + y[1] * tapL1;
    const Quad tapsRight = y[2] * tapR0 + y[3] * tapR1;
    const Quad halves = __builtin_shufflevector(tapsLeft, tapsRight, 0, 2, 4, 6) +
                        __builtin_shufflevector(tapsLeft, tapsRight, 1, 3, 5, 7);
    const Pair sums =
        __builtin_shufflevector(halves, halves, 0, 2) + __builtin_shufflevector(halves, halves, 1, 3);
    std::memcpy(wet + 2 * k, &sums, sizeof sums);

    // The all-passes in transposed direct form: one state per order.
    for (int q = 0; q < 4; ++q) {
      const Quad outB = b * y[q] + sB[q];
      sB[q] = y[q] - b * outB;
      const Quad outA = a2 * y[q] + sA1[q];
      sA1[q] = a1 * (y[q] - outA) + sA2[q];
      sA2[q] = y[q] - a2 * outA;
      z[q] = wA[q] * outA + wB[q] * outB;
    }

    hadamard4(z[0], z[1]);
    hadamard4(z[2], z[3]);
    // The weights carry cos(sideCoupling): the sides' rotation needs only
    // its tangent here.
    const Quad injectLeft = inject * diffused[2 * k];
    const Quad injectRight = inject * diffused[2 * k + 1];
    const Quad fed[4] = {
        z[0] - crossing * z[2] + injectLeft,
        z[1] - crossing * z[3] + injectLeft,
        crossing * z[0] + z[2] + injectRight,
        crossing * z[1] + z[3] + injectRight,
    };
    for (int q = 0; q < 4; ++q) {
      const Quad turned = flushed(fed[q] * rc[q] + swapLanes(fed[q]) * rs[q]);
      storePairs(at[2 * q] + 2 * k, at[2 * q + 1] + 2 * k, turned);
      rc[q] += drc[q];
      rs[q] += drs[q];
    }
  }

  uint32_t v = 0;
  for (; v + 4 <= 2 * frames; v += 4) {
    storeQuad(samples + v, dryScale * (loadQuad(samples + v) * inputScale) + wetScale * loadQuad(wet + v));
  }
  for (; v < 2 * frames; ++v) samples[v] = dryScale * (samples[v] * inputScale) + wetScale * wet[v];

  // The filters' states only follow the lines, which are flushed as they are
  // written; flushing the states once per run (at most controlPeriod samples,
  // over which even the fastest of their poles cannot take a value from the
  // flush level down to a denormal one) lets them die to exact zeros too.
  for (int q = 0; q < 4; ++q) {
    storeQuad(reverb.stateA[0] + 4 * q, flushed(sA1[q]));
    storeQuad(reverb.stateA[1] + 4 * q, flushed(sA2[q]));
    storeQuad(reverb.stateB + 4 * q, flushed(sB[q]));
    storeQuad(reverb.rotation[0] + 4 * q, rc[q]);
    storeQuad(reverb.rotation[1] + 4 * q, rs[q]);
  }
  for (int i = 0; i < reverbLineCount; ++i) {
    int32_t position = reverb.linePositions[i] + static_cast<int32_t>(frames);
    reverb.linePositions[i] = position == reverb.lineLengths[i] ? 0 : position;
  }
  reverb.controlCountdown -= static_cast<int32_t>(frames);
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

void initReverb(ReverbState& reverb, uint32_t sampleRate) {
  std::memset(&reverb, 0, sizeof reverb);
  reverb.sampleRate = std::clamp(sampleRate, reverbMinRate, reverbMaxRate);
  reverb.parameters = defaultReverbParameters;
  computeLengths(reverb);
  computeAllpasses(reverb);
  computeRotationSteps(reverb);
  computeCoefficients(reverb);
}

bool setReverbParameters(ReverbState& reverb, const ReverbParameters& parameters) {
  if (!reverbParametersValid(parameters)) return false;
  reverb.parameters = parameters;
  computeCoefficients(reverb);
  return true;
}

void processReverb(ReverbState& reverb, float* samples, uint32_t frameCount) {
  float diffused[2 * maxChunk];
  uint32_t n = 0;
  while (n < frameCount) {
    const uint32_t chunk = std::min(frameCount - n, maxChunk);
    float* frames = samples + 2 * n;
    for (uint32_t i = 0; i < 2 * chunk; ++i) diffused[i] = frames[i] * reverb.inputScale;
    diffuse(reverb, diffused, chunk);
    flushDiffusers(reverb);
    uint32_t k = 0;
    while (k < chunk) {
      if (reverb.controlCountdown == 0) advanceRotation(reverb);
      uint32_t run = std::min(chunk - k, static_cast<uint32_t>(reverb.controlCountdown));
      for (int i = 0; i < reverbLineCount; ++i) {
        run = std::min(run, static_cast<uint32_t>(reverb.lineLengths[i] - reverb.linePositions[i]));
      }
      runNetwork(reverb, frames + 2 * k, diffused + 2 * k, run);
      k += run;
    }
    n += chunk;
  }
}
