#include "audio/reverb.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <utility>

#include "platform/exact_float.h"

namespace {
// Below the crossover the tail decays in the reverb time, above it in reverb
// time x ratio. With the 7th-order split the 8 kHz octave gets none of the
// long tail (63 dB down at its lower edge), while the low band up to about
// 1.5 kHz keeps all of it.
constexpr double crossoverHz = 2000.0;
constexpr int crossoverOrder = 7;

// Input diffusers: lattice all-passes of these lengths (frames at 44 100 Hz).
// Short enough that their own ring (about 50 ms) stays below the
// high-frequency decay wanted at the smallest ratio, dense enough that the
// echo density reaches that of noise within 10 ms.
constexpr int32_t diffuserLengths44k[reverbDiffuserCount] = {23, 37, 53, 79, 113, 149};
constexpr float diffuserGain = 0.6f;
// The low band, before its network, through three longer ones (7 to 15 ms,
// ringing about 0.2 s): each tap then passes on a spread-out sound rather
// than one echo of the input.
constexpr int32_t lowDiffuserCount = 3;
constexpr int32_t lowDiffuserLengths44k[lowDiffuserCount] = {307, 449, 677};
constexpr float lowDiffuserGain = 0.6f;
// The high band's all-pass per channel (3 and 4.5 ms).
constexpr int32_t decorrelatorLengths44k[2] = {131, 199};
constexpr float decorrelatorGain = 0.5f;

// The low network: lanes from 0.38 to 0.68 s at the longest, 4.1 s in all
// per channel, read by two taps each. The high network: four lanes of 39 to
// 71 ms, read at their ends.
constexpr int32_t lowLanes = 8, lowTaps = 2;
constexpr double lowShortest = 0.38, lowSpread = 0.30;
constexpr int32_t highLanes = 4;
constexpr int32_t highLengths44k[highLanes] = {1733, 2111, 2579, 3137};
// Frames kept after each lane's end: a copy of its first frames.
constexpr int32_t laneGuard = reverbNetworkBlock + 1;
// Room in each lane for a shorter one's nearest prime to lie above the
// longest's (prime gaps below 2^20 stay under 128).
constexpr int32_t primeRoom = 256;
// The input diffusers and the low band's lengths follow the reverb time (the
// longest at the reference time), down to a tenth of the longest.
constexpr double shortestScale = 0.1;
// No all-pass shorter than 4 frames: a chunk of input takes at most 64 trips
// round the shortest (see flushAllpasses).
constexpr int32_t shortestAllpass = 4;

// Variants stretch the short lengths by up to 12 % and move the low lanes by
// up to one step of their spread, in golden-ratio steps so that no two of the
// first several are close.
constexpr double variantStep = 0.6180339887498949;
constexpr double variantStretch = 0.12;

// Steady power of the wet part (all wet, for a sine at any frequency, on
// average) at the longest time, relative to the input's: as loud as the
// earlier designs. The early part and the tail have half of it each.
constexpr double wetPower = 1.36;
constexpr double earlyToTail = 1.0;
constexpr double referenceSeconds = 3.0;

constexpr uint32_t maxChunk = 256;

BufferAllocator reverbAllocator = std::malloc;

// Four floats as one vector; every x86-64 processor runs them natively.
using Quad = float __attribute__((vector_size(16)));

inline Quad loadQuad(const float* v) {
  Quad out;
  std::memcpy(&out, v, sizeof out);
  return out;
}

inline void storeQuad(float* v, Quad q) { std::memcpy(v, &q, sizeof q); }

// Where a value enters recursive state, one below -200 dB of full scale is
// set to exactly zero: every loop loses energy on every pass, so a dying tail
// ends in exact zeros and never reaches denormal numbers (which slow every
// operation on them). Every gain is zero or above 1e-15, so no product of a
// kept value is a denormal number either.
constexpr float flushLevel = 1e-10f;

template <class Vector>
inline Vector flushed(Vector value) {
  const auto keep = value * value >= flushLevel * flushLevel;  // all ones where kept
  return reinterpret_cast<Vector>(reinterpret_cast<decltype(keep)>(value) & keep);
}

inline float flushed(float value) { return value * value >= flushLevel * flushLevel ? value : 0.0f; }

bool isPrime(int32_t value) {
  if (value < 2) return false;
  for (int32_t d = 2; d * d <= value; ++d) {
    if (value % d == 0) return false;
  }
  return true;
}

// The prime nearest to target (the lower one first on a tie) that none of
// `used` is.
int32_t nearestUnusedPrime(int32_t target, const int32_t* used, int32_t count) {
  auto unused = [&](int32_t v) { return isPrime(v) && std::find(used, used + count, v) == used + count; };
  for (int32_t step = 0;; ++step) {
    if (unused(target - step)) return target - step;
    if (unused(target + step)) return target + step;
  }
}

// +1 or -1 for an output of lane and tap, by variant: a fixed scramble.
float outputSign(int32_t lane, int32_t tap, uint32_t variant) {
  return (lane * 7 + tap * 3 + static_cast<int32_t>(variant % 5) * 3) % 5 < 2 ? -1.0f : 1.0f;
}

void layAllpasses(ReverbAllpasses& chain, const int32_t* lengths44k, int32_t count, double stretch,
                  int32_t channels, float gain) {
  chain.count = count;
  chain.gain = gain;
  for (int32_t i = 0; i < count; ++i) {
    const auto frames = std::max(shortestAllpass, static_cast<int32_t>(std::lround(lengths44k[i] * stretch)));
    chain.lengths[i] = channels * frames;
    chain.positions[i] = 0;
    chain.decays[i] = 1.0f;
  }
}

// Lengths and taps of one network. The taps lie between the first tap (a
// block in) and a block before their lane's end, at a share u of that span
// squared, u spread evenly (each lane's between the others'): close together
// early, where the tail is loudest, and each weighted by the span it stands
// for (sqrt(2u)), so that the tail's level still follows its decay.
void layNetwork(ReverbNetwork& net, int32_t lanes, int32_t taps, const int32_t* targets) {
  net.laneCount = lanes;
  net.tapsPerLane = taps;
  for (int32_t i = 0; i < lanes; ++i) {
    net.lengths[i] = nearestUnusedPrime(targets[i], net.lengths, i);
    net.positions[i] = 0;
  }
  for (int32_t i = 0; i < lanes; ++i) {
    const double room = net.lengths[i] - 2 * reverbNetworkBlock;
    for (int32_t k = 0; k < taps; ++k) {
      const double share = (k + (i + 0.5) / lanes) / taps;
      net.tapDelays[i * taps + k] =
          reverbNetworkBlock + static_cast<int32_t>(std::lround(share * share * room));
      net.tapWeights[i * taps + k] = std::sqrt(2.0 * share);
    }
  }
}

double variantPhase(uint32_t variant) { return std::fmod(variant * variantStep, 1.0); }

double variantStretch44k(const ReverbState& reverb) {
  return reverb.sampleRate / 44100.0 * (1.0 + variantStretch * variantPhase(reverb.variant));
}

// The input diffusers, the low band's all-passes and its network, their
// lengths `scale` times the longest.
void layScaled(ReverbState& reverb, double scale) {
  const double phase = variantPhase(reverb.variant);
  const double stretch = variantStretch44k(reverb) * scale;
  layAllpasses(reverb.diffusers, diffuserLengths44k, reverbDiffuserCount, stretch, 2, diffuserGain);
  layAllpasses(reverb.lowDiffusers, lowDiffuserLengths44k, lowDiffuserCount, stretch, 2, lowDiffuserGain);
  int32_t targets[reverbMaxLanes];
  for (int32_t i = 0; i < lowLanes; ++i) {
    const double seconds = (lowShortest + lowSpread * (i + phase) / lowLanes) * scale;
    targets[i] = static_cast<int32_t>(std::lround(seconds * reverb.sampleRate));
  }
  layNetwork(reverb.low, lowLanes, lowTaps, targets);
  reverb.lowScale = scale;
}

// Everything at its longest; the memory is laid out for that, with room for
// a prime a little above a lane's.
void computeLayout(ReverbState& reverb) {
  const double stretch = variantStretch44k(reverb);
  for (int c = 0; c < 2; ++c) {
    layAllpasses(reverb.decorrelators[c], decorrelatorLengths44k + c, 1, stretch, 1, decorrelatorGain);
  }
  int32_t targets[reverbMaxLanes];
  for (int32_t i = 0; i < highLanes; ++i) {
    targets[i] = static_cast<int32_t>(std::lround(highLengths44k[i] * stretch));
  }
  layNetwork(reverb.high, highLanes, 0, targets);
  layScaled(reverb, 1.0);
  for (ReverbAllpasses* chain :
       {&reverb.diffusers, &reverb.lowDiffusers, &reverb.decorrelators[0], &reverb.decorrelators[1]}) {
    std::copy(chain->lengths, chain->lengths + chain->count, chain->capacities);
  }
  for (ReverbNetwork* net : {&reverb.low, &reverb.high}) {
    for (int32_t i = 0; i < net->laneCount; ++i) net->capacities[i] = net->lengths[i] + primeRoom;
  }
}

std::size_t floatsOf(const ReverbAllpasses& chain) {
  std::size_t total = 0;
  for (int32_t i = 0; i < chain.count; ++i) total += static_cast<std::size_t>(chain.capacities[i]);
  return total;
}

std::size_t floatsOf(const ReverbNetwork& net) {
  std::size_t total = 0;
  for (int32_t i = 0; i < net.laneCount; ++i)
    total += 2 * static_cast<std::size_t>(net.capacities[i] + laneGuard);
  return total;
}

std::size_t floatsNeeded(const ReverbState& reverb) {
  return floatsOf(reverb.diffusers) + floatsOf(reverb.lowDiffusers) + floatsOf(reverb.decorrelators[0]) +
         floatsOf(reverb.decorrelators[1]) + floatsOf(reverb.low) + floatsOf(reverb.high);
}

void pointIntoMemory(ReverbState& reverb) {
  float* next = reverb.memory;
  for (ReverbAllpasses* chain :
       {&reverb.diffusers, &reverb.lowDiffusers, &reverb.decorrelators[0], &reverb.decorrelators[1]}) {
    for (int32_t i = 0; i < chain->count; ++i) {
      chain->buffers[i] = next;
      next += chain->capacities[i];
    }
  }
  for (ReverbNetwork* net : {&reverb.low, &reverb.high}) {
    for (int32_t i = 0; i < net->laneCount; ++i) {
      net->lanes[i] = next;
      next += 2 * (net->capacities[i] + laneGuard);
    }
  }
}

void clearNetwork(ReverbNetwork& net) {
  for (int32_t i = 0; i < net.laneCount; ++i) {
    std::fill(net.lanes[i], net.lanes[i] + 2 * (net.capacities[i] + laneGuard), 0.0f);
    net.positions[i] = 0;
  }
}

// Empties what layScaled lays.
void clearScaled(ReverbState& reverb) {
  for (const ReverbAllpasses* chain : {&reverb.diffusers, &reverb.lowDiffusers}) {
    for (int32_t i = 0; i < chain->count; ++i) {
      std::fill(chain->buffers[i], chain->buffers[i] + chain->capacities[i], 0.0f);
    }
  }
  clearNetwork(reverb.low);
}

// The two all-pass branches of the crossover. The analog Butterworth low-pass
// of odd order N has a real pole at -1 and pairs at angle pi +- pi j / N; its
// response is the mean of two all-passes, one with the real pole and the pairs
// of even j, the other with the pairs of odd j. Each section goes through the
// bilinear transform with the crossover prewarped.
void computeCrossover(ReverbState& reverb) {
  static_assert(crossoverOrder == 7, "two sections per branch");
  const double t = std::tan(std::numbers::pi * crossoverHz / reverb.sampleRate);
  struct Section {
    double b0, b1, b2, a1, a2;
  };
  auto pair = [t](int j) {
    const double c = std::cos(std::numbers::pi * j / crossoverOrder);
    const double d0 = 1.0 + 2.0 * c * t + t * t;
    const double a1 = (2.0 * t * t - 2.0) / d0, a2 = (1.0 - 2.0 * c * t + t * t) / d0;
    return Section{a2, a1, 1.0, a1, a2};
  };
  const double b = (t - 1.0) / (t + 1.0);
  const Section first{b, 1.0, 0.0, b, 0.0};
  // Section 0: branch 0's real pole, branch 1's pair 1; section 1: pairs 2, 3.
  const Section sections[2][2] = {{first, pair(1)}, {pair(2), pair(3)}};
  for (int s = 0; s < 2; ++s) {
    for (int e = 0; e < 4; ++e) {
      const Section& f = sections[s][e / 2];
      const double values[5] = {f.b0, f.b1 - f.a1 * f.b0, f.b2 - f.a2 * f.b0, f.a1, f.a2};
      for (int k = 0; k < 5; ++k) reverb.crossover[s][k][e] = exactFloat(values[k]);
    }
  }
}

// A gain as a float; one below 1e-15 (-300 dB) is zero.
float gainOf(double value) { return std::fabs(value) < 1e-15 ? 0.0f : exactFloat(value); }

double decayOver(double frames, double rate, double seconds) {
  return std::pow(10.0, -3.0 * frames / (rate * seconds));
}

// Steady power of a network's output for a white input of power one, with
// unit output gain, when it decays in `seconds`: each lane carries 1 / lanes
// of the input plus what it gets back, the mean lane returning decay^2 of what
// went in; a tap adds its lane's power times its decay^2 / taps per lane, the
// ends their lanes' power times their decay^2 / lanes.
double networkPower(const ReverbNetwork& net, double rate, double seconds) {
  double returned = 0.0;
  for (int32_t i = 0; i < net.laneCount; ++i) {
    const double g = decayOver(net.lengths[i], rate, seconds);
    returned += g * g;
  }
  returned /= net.laneCount;
  const double lanePower = 1.0 / (net.laneCount * (1.0 - returned));
  if (net.tapsPerLane == 0) return lanePower * returned;
  double taps = 0.0;
  for (int32_t t = 0; t < net.laneCount * net.tapsPerLane; ++t) {
    const double g = net.tapWeights[t] * decayOver(net.tapDelays[t], rate, seconds);
    taps += g * g;
  }
  return lanePower * taps / net.tapsPerLane;
}

void setNetworkGains(ReverbNetwork& net, double rate, double seconds, double outputGain, uint32_t variant) {
  const double mixing = 1.0 / std::sqrt(static_cast<double>(net.laneCount));
  net.injectGain = gainOf(mixing);
  for (int32_t i = 0; i < net.laneCount; ++i) {
    net.laneGains[i] = gainOf(decayOver(net.lengths[i], rate, seconds) * mixing);
    // Applied to the decayed frames, which carry the mixing's normalisation.
    net.endGains[i] = net.tapsPerLane == 0 ? gainOf(outputSign(i, 0, variant) * outputGain) : 0.0f;
  }
  if (net.tapsPerLane == 0) return;
  const double perTap = outputGain / std::sqrt(static_cast<double>(net.tapsPerLane));
  for (int32_t t = 0; t < net.laneCount * net.tapsPerLane; ++t) {
    const double sign = outputSign(t / net.tapsPerLane, t % net.tapsPerLane, variant);
    net.tapGains[t] = gainOf(sign * net.tapWeights[t] * decayOver(net.tapDelays[t], rate, seconds) * perTap);
  }
}

// The low band's lengths for the reverb time (re-laid and emptied when they
// change), then the gains: the low band's tail as loud as wanted, its power
// in proportion to the reverb time as a room's; the high band's tail as loud
// as the low band's at equal decay times; the early part's high band making
// up what the high band's shorter tail lacks.
void applyParameters(ReverbState& reverb) {
  const ReverbParameters& p = reverb.parameters;
  const double rate = reverb.sampleRate;
  reverb.inputScale = gainOf(std::pow(10.0, p.inputGain / 20.0));
  const ReverbMixFactors mix = reverbMixFactors(p.reverbMix);
  reverb.dryScale = gainOf(mix.dry);
  reverb.wetScale = gainOf(mix.wet);
  const double seconds = p.reverbTime / 1000.0;
  const double highSeconds = seconds * p.highFreqRatio;
  const double scale = std::clamp(seconds / referenceSeconds, shortestScale, 1.0);
  if (scale != reverb.lowScale) {
    layScaled(reverb, scale);
    clearScaled(reverb);
  }
  const double earlyPower = wetPower * earlyToTail / (1.0 + earlyToTail) * seconds / referenceSeconds;
  const double tailPower = wetPower / (1.0 + earlyToTail);
  const double lowTail = tailPower * seconds / referenceSeconds;
  const double lowPower = networkPower(reverb.low, rate, seconds);
  const double lowGain = lowPower > 0.0 ? std::sqrt(lowTail / lowPower) : 0.0;
  const double highGain = std::sqrt(tailPower / networkPower(reverb.high, rate, referenceSeconds));
  const double highTail = highGain * highGain * networkPower(reverb.high, rate, highSeconds);
  reverb.earlyLow = gainOf(std::sqrt(earlyPower));
  reverb.earlyHigh = gainOf(std::sqrt(earlyPower + std::max(0.0, lowTail - highTail)));
  for (int32_t i = 0; i < reverb.lowDiffusers.count; ++i) {
    reverb.lowDiffusers.decays[i] = gainOf(decayOver(reverb.lowDiffusers.lengths[i] / 2, rate, seconds));
  }
  setNetworkGains(reverb.low, rate, seconds, lowGain, reverb.variant);
  setNetworkGains(reverb.high, rate, highSeconds, highGain, reverb.variant + 1);
  // A high band that decays within its shortest lane gives nothing back (its
  // gains are zero) and is not run; it starts empty when it sounds again.
  const bool sounds = std::any_of(reverb.high.laneGains, reverb.high.laneGains + highLanes,
                                  [](float g) { return g != 0.0f; });
  if (sounds && !reverb.highSounds) clearNetwork(reverb.high);
  reverb.highSounds = sounds;
}

// `count` floats through a chain of lattice all-passes, in place. Within a
// stretch no longer than what is left of a buffer before its end, every read
// finds a value written before the stretch began, so the stretch is computed
// on whole vectors. Stored values are flushed here or the buffers by the
// caller.
template <bool flush, bool decaying>
void runAllpasses(ReverbAllpasses& chain, float* x, uint32_t count) {
  const float g = chain.gain;
  for (int32_t stage = 0; stage < chain.count; ++stage) {
    float* buffer = chain.buffers[stage];
    const int32_t length = chain.lengths[stage];
    int32_t position = chain.positions[stage];
    const float decay = chain.decays[stage];
    uint32_t done = 0;
    while (done < count) {
      const uint32_t run = std::min(count - done, static_cast<uint32_t>(length - position));
      float* b = buffer + position;
      float* v = x + done;
      uint32_t i = 0;
      for (; i + 4 <= run; i += 4) {
        Quad w = loadQuad(b + i);
        if constexpr (decaying) w *= decay;
        Quad in = loadQuad(v + i) - g * w;
        if constexpr (flush) in = flushed(in);
        storeQuad(b + i, in);
        storeQuad(v + i, w + g * in);
      }
      for (; i < run; ++i) {
        float w = b[i];
        if constexpr (decaying) w *= decay;
        float in = v[i] - g * w;
        if constexpr (flush) in = flushed(in);
        b[i] = in;
        v[i] = w + g * in;
      }
      position += static_cast<int32_t>(run);
      if (position == length) position = 0;
      done += run;
    }
    chain.positions[stage] = position;
  }
}

// The input diffusers' stored values shrink by their gain per trip round
// their buffers. Swept once per chunk (at most 64 trips round the shortest,
// at the lowest rate: from the flush level down to 1e-24), they reach exact
// zeros and never denormal numbers.
void flushAllpasses(ReverbAllpasses& chain) {
  for (int32_t stage = 0; stage < chain.count; ++stage) {
    float* buffer = chain.buffers[stage];
    const int32_t length = chain.lengths[stage];
    int32_t i = 0;
    for (; i + 4 <= length; i += 4) storeQuad(buffer + i, flushed(loadQuad(buffer + i)));
    for (; i < length; ++i) buffer[i] = flushed(buffer[i]);
  }
}

// One section of the crossover on a vector: the input's response, with the
// states moved on (the state's own term last, so that each state waits on
// one product and one subtraction).
struct CrossoverSection {
  Quad b0, k1, k2, a1, a2;
  Quad s1, s2;
  Quad operator()(Quad x) {
    const Quad y = b0 * x + s1;
    const Quad next = (k1 * x + s2) - a1 * s1;
    s2 = k2 * x - a2 * s1;
    s1 = next;
    return y;
  }
};

// The diffused input into its low and high bands (interleaved stereo each).
// The states follow the input, whose diffusers let it die to exact zeros;
// flushed every 64 frames (8 ms at the lowest rate: less than their fastest
// fall from the flush level to a denormal number) they die to exact zeros too.
constexpr uint32_t flushPeriod = 64;

void split(ReverbState& reverb, const float* x, float* low, float* high, uint32_t frames) {
  CrossoverSection sections[2];
  for (int s = 0; s < 2; ++s) {
    const auto& c = reverb.crossover[s];
    sections[s] = {loadQuad(c[0]),
                   loadQuad(c[1]),
                   loadQuad(c[2]),
                   loadQuad(c[3]),
                   loadQuad(c[4]),
                   loadQuad(reverb.crossoverState[s][0]),
                   loadQuad(reverb.crossoverState[s][1])};
  }
  for (uint32_t done = 0; done < frames; done += flushPeriod) {
    for (CrossoverSection& section : sections) {
      section.s1 = flushed(section.s1);
      section.s2 = flushed(section.s2);
    }
    const uint32_t end = std::min(frames, done + flushPeriod);
    for (uint32_t i = done; i < end; ++i) {
      const Quad v = sections[1](sections[0](Quad{x[2 * i], x[2 * i + 1], x[2 * i], x[2 * i + 1]}));
      const Quad swapped = __builtin_shufflevector(v, v, 2, 3, 0, 1);
      const Quad sum = 0.5f * (v + swapped);         // low, low
      const Quad difference = 0.5f * (swapped - v);  // high, -high
      low[2 * i] = sum[0];
      low[2 * i + 1] = sum[1];
      high[2 * i] = difference[0];
      high[2 * i + 1] = difference[1];
    }
  }
  for (int s = 0; s < 2; ++s) {
    storeQuad(reverb.crossoverState[s][0], sections[s].s1);
    storeQuad(reverb.crossoverState[s][1], sections[s].s2);
  }
}

// The high band through each channel's all-pass, in place.
void decorrelate(ReverbState& reverb, float* high, uint32_t frames) {
  alignas(16) float channel[maxChunk];
  for (int c = 0; c < 2; ++c) {
    for (uint32_t i = 0; i < frames; ++i) channel[i] = high[2 * i + c];
    runAllpasses<true, false>(reverb.decorrelators[c], channel, frames);
    for (uint32_t i = 0; i < frames; ++i) high[2 * i + c] = channel[i];
  }
}

using Pair = float __attribute__((vector_size(8)));

template <class Vector>
inline Vector load(const float* v) {
  Vector out;
  std::memcpy(&out, v, sizeof out);
  return out;
}

template <class Vector>
inline void store(float* v, Vector value) {
  std::memcpy(v, &value, sizeof value);
}

// The (unnormalised) Hadamard transform across lanes: the transforms of both
// halves, then butterflies across them, written out in full.
template <class Vector>
inline void butterfly(Vector& a, Vector& b) {
  const Vector sum = a + b;
  b = a - b;
  a = sum;
}

template <int32_t lanes, class Vector>
inline void hadamard(Vector* v) {
  if constexpr (lanes > 1) {
    hadamard<lanes / 2>(v);
    hadamard<lanes / 2>(v + lanes / 2);
    [&]<int32_t... i>(std::integer_sequence<int32_t, i...>) { (butterfly(v[i], v[i + lanes / 2]), ...); }
    (std::make_integer_sequence<int32_t, lanes / 2>{});
  }
}

// A network's gains, each in every element of a vector, held apart from the
// network so that storing frames cannot change them.
template <int32_t lanes, int32_t taps>
struct NetworkGains {
  Quad lane[lanes];
  Quad end[lanes];
  Quad inject;
  Quad tap[taps > 0 ? lanes* taps : 1];
};

template <class Vector>
inline Vector part(Quad value) {
  if constexpr (sizeof(Vector) == sizeof(Quad)) {
    return value;
  } else {
    return __builtin_shufflevector(value, value, 0, 1);
  }
}

// One step of a network on the frames a vector holds (two, or the one left
// of an odd run), in place at the lanes' read positions, which the copies
// after the lanes' ends make one stretch: the oldest frames decay, take the
// input and mix; the output (the decayed frames, or taps on the lanes) is
// added to `out`. Taps are at least a block behind the newest frame, so none
// reads a frame this run writes.
template <class Vector, int32_t lanes, int32_t taps>
inline void stepNetwork(const NetworkGains<lanes, taps>& gains, float* const (&at)[lanes],
                        const float* const* from, const float* in, float* out, int32_t offset) {
  Vector v[lanes];
#pragma GCC unroll 8
  for (int32_t i = 0; i < lanes; ++i) v[i] = load<Vector>(at[i] + offset) * part<Vector>(gains.lane[i]);
  Vector sum{};
  if constexpr (taps == 0) {
#pragma GCC unroll 8
    for (int32_t i = 0; i < lanes; ++i) sum += part<Vector>(gains.end[i]) * v[i];
  }
  v[0] += part<Vector>(gains.inject) * load<Vector>(in + offset);
  hadamard<lanes>(v);
#pragma GCC unroll 8
  for (int32_t i = 0; i < lanes; ++i) store(at[i] + offset, flushed(v[i]));
  if constexpr (taps > 0) {
#pragma GCC unroll 32
    for (int32_t t = 0; t < lanes * taps; ++t)
      sum += part<Vector>(gains.tap[t]) * load<Vector>(from[t] + offset);
  }
  store(out + offset, load<Vector>(out + offset) + sum);
}

// One run of at most reverbNetworkBlock frames. Writes that land in the copy
// after a lane's end go to its start as well, and writes near its start to the
// copy.
template <int32_t lanes, int32_t taps>
void runNetwork(ReverbNetwork& net, const float* in, float* out, uint32_t frames) {
  const auto count = static_cast<int32_t>(frames);
  NetworkGains<lanes, taps> gains;
  float* at[lanes];
  for (int32_t i = 0; i < lanes; ++i) {
    at[i] = net.lanes[i] + 2 * net.positions[i];
    gains.lane[i] = Quad{} + net.laneGains[i];
    gains.end[i] = Quad{} + net.endGains[i];
  }
  gains.inject = Quad{} + net.injectGain;
  const float* from[taps > 0 ? lanes * taps : 1] = {};
  for (int32_t t = 0; t < lanes * taps; ++t) {
    const int32_t i = t / taps;
    int32_t start = net.positions[i] - net.tapDelays[t];
    if (start < 0) start += net.lengths[i];
    from[t] = net.lanes[i] + 2 * start;
    gains.tap[t] = Quad{} + net.tapGains[t];
  }
  int32_t k = 0;
  for (; k + 2 <= count; k += 2) stepNetwork<Quad>(gains, at, from, in, out, 2 * k);
  if (k < count) stepNetwork<Pair>(gains, at, from, in, out, 2 * k);
  for (int32_t i = 0; i < lanes; ++i) {
    float* ring = net.lanes[i];
    const int32_t length = net.lengths[i], position = net.positions[i], next = position + count;
    if (next > length) {
      std::memcpy(ring, ring + 2 * length, 2 * static_cast<std::size_t>(next - length) * sizeof(float));
    }
    if (position < laneGuard) {
      const int32_t last = std::min(next, laneGuard);
      std::memcpy(ring + 2 * (length + position), ring + 2 * position,
                  2 * static_cast<std::size_t>(last - position) * sizeof(float));
    }
    net.positions[i] = next >= length ? next - length : next;
  }
}
// to[i] = from[i] x gain, for count floats (an even number).
void scaleInto(float* to, const float* from, float gain, uint32_t count) {
  uint32_t i = 0;
  for (; i + 4 <= count; i += 4) storeQuad(to + i, loadQuad(from + i) * gain);
  for (; i < count; ++i) to[i] = from[i] * gain;
}

// x[i] = dry x (x[i] x input) + wet x w[i], for count floats.
void mixOutput(float* x, float input, float dry, float wet, const float* w, uint32_t count) {
  uint32_t i = 0;
  for (; i + 4 <= count; i += 4) storeQuad(x + i, dry * (loadQuad(x + i) * input) + wet * loadQuad(w + i));
  for (; i < count; ++i) x[i] = dry * (x[i] * input) + wet * w[i];
}

// to[i] = a[i] x ga + b[i] x gb, for count floats.
void mixInto(float* to, float ga, const float* a, float gb, const float* b, uint32_t count) {
  uint32_t i = 0;
  for (; i + 4 <= count; i += 4) storeQuad(to + i, ga * loadQuad(a + i) + gb * loadQuad(b + i));
  for (; i < count; ++i) to[i] = ga * a[i] + gb * b[i];
}
}  // namespace

ReverbState::~ReverbState() { std::free(memory); }

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

bool initReverb(ReverbState& reverb, uint32_t sampleRate, uint32_t variant) {
  reverb.sampleRate = std::clamp(sampleRate, reverbMinRate, reverbMaxRate);
  reverb.variant = variant;
  reverb.parameters = defaultReverbParameters;
  computeLayout(reverb);
  const std::size_t needed = floatsNeeded(reverb);
  if (reverb.memoryFloats < needed) {
    std::free(reverb.memory);
    reverb.memory = static_cast<float*>(reverbAllocator(needed * sizeof(float)));
    reverb.memoryFloats = reverb.memory ? needed : 0;
  }
  if (!reverb.memory) return false;
  std::fill(reverb.memory, reverb.memory + needed, 0.0f);
  pointIntoMemory(reverb);
  reverb.highSounds = false;
  std::memset(reverb.crossoverState, 0, sizeof reverb.crossoverState);
  computeCrossover(reverb);
  applyParameters(reverb);
  return true;
}

void releaseReverb(ReverbState& reverb) {
  std::free(reverb.memory);
  reverb.memory = nullptr;
  reverb.memoryFloats = 0;
}

bool setReverbParameters(ReverbState& reverb, const ReverbParameters& parameters) {
  if (!reverbParametersValid(parameters)) return false;
  reverb.parameters = parameters;
  applyParameters(reverb);
  return true;
}

void processReverb(ReverbState& reverb, float* samples, uint32_t frameCount) {
  if (!reverb.memory) return;
  alignas(16) float diffused[2 * maxChunk], low[2 * maxChunk], high[2 * maxChunk], wet[2 * maxChunk];
  const float inputScale = reverb.inputScale, dryScale = reverb.dryScale, wetScale = reverb.wetScale;
  const float earlyLow = reverb.earlyLow, earlyHigh = reverb.earlyHigh;
  uint32_t n = 0;
  while (n < frameCount) {
    const uint32_t chunk = std::min(frameCount - n, maxChunk);
    float* frames = samples + 2 * n;
    scaleInto(diffused, frames, inputScale, 2 * chunk);
    runAllpasses<false, false>(reverb.diffusers, diffused, 2 * chunk);
    flushAllpasses(reverb.diffusers);
    split(reverb, diffused, low, high, chunk);
    decorrelate(reverb, high, chunk);
    mixInto(wet, earlyLow, low, earlyHigh, high, 2 * chunk);
    runAllpasses<true, true>(reverb.lowDiffusers, low, 2 * chunk);
    for (uint32_t k = 0; k < chunk; k += reverbNetworkBlock) {
      const uint32_t run = std::min(chunk - k, static_cast<uint32_t>(reverbNetworkBlock));
      runNetwork<lowLanes, lowTaps>(reverb.low, low + 2 * k, wet + 2 * k, run);
      if (reverb.highSounds) runNetwork<highLanes, 0>(reverb.high, high + 2 * k, wet + 2 * k, run);
    }
    mixOutput(frames, inputScale, dryScale, wetScale, wet, 2 * chunk);
    n += chunk;
  }
}

void setReverbAllocator(BufferAllocator allocator) { reverbAllocator = allocator ? allocator : std::malloc; }
