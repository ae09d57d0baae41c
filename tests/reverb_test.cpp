#include "audio/reverb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <numbers>
#include <numeric>
#include <random>
#include <vector>

#include "audio/audio_library.h"
#include "support/decay_analysis.h"

namespace {
constexpr double rate = 44100.0;

std::unique_ptr<ReverbState> newReverb(ReverbParameters parameters = defaultReverbParameters) {
  auto reverb = std::make_unique<ReverbState>();
  EXPECT_TRUE(initReverb(*reverb, 44100));
  EXPECT_TRUE(setReverbParameters(*reverb, parameters));
  return reverb;
}

// Impulse on both channels, then silence; returns interleaved output.
std::vector<float> impulseResponse(ReverbState& reverb, double seconds) {
  std::vector<float> samples(static_cast<size_t>(seconds * rate) * 2, 0.0f);
  samples[0] = samples[1] = 1.0f;
  processReverb(reverb, samples.data(), static_cast<uint32_t>(samples.size() / 2));
  return samples;
}

// Decay time of one octave band of an impulse response (both channels).
double bandDecayTime(const std::vector<float>& response, double centreHz) {
  std::vector<double> left(response.size() / 2), right(response.size() / 2);
  for (size_t i = 0; i < left.size(); ++i) {
    left[i] = response[2 * i];
    right[i] = response[2 * i + 1];
  }
  octaveBandPass(left, centreHz, rate);
  octaveBandPass(right, centreHz, rate);
  std::vector<double> energy(left.size());
  for (size_t i = 0; i < energy.size(); ++i) energy[i] = left[i] * left[i] + right[i] * right[i];
  return schroederDecayTime(energy, rate);
}

bool holdsSubnormal(const ReverbState& reverb) {
  return std::any_of(reverb.memory, reverb.memory + reverb.memoryFloats,
                     [](float v) { return std::fpclassify(v) == FP_SUBNORMAL; });
}

bool isPrime(int32_t v) {
  if (v < 2) return false;
  for (int32_t d = 2; d * d <= v; ++d) {
    if (v % d == 0) return false;
  }
  return true;
}
}  // namespace

// At every rate the layer accepts, for every reverb time and in both places
// of a chain: each network's lanes are distinct primes (so no two share a
// mode), every lane and tap fits its memory, the low network follows the
// reverb time, and at the longest time it holds four seconds per channel:
// three modes per mode width (2.2 / 3 s) at every frequency.
TEST(ReverbDesign, LanesAreDistinctPrimesThatFitAndHoldFourSecondsAtTheLongestTime) {
  auto reverb = std::make_unique<ReverbState>();
  for (uint32_t sampleRate : {8000u, 22050u, 44100u, 48000u, 96000u, 192000u}) {
    for (uint32_t variant : {0u, 1u}) {
      ASSERT_TRUE(initReverb(*reverb, sampleRate, variant));
      ASSERT_EQ(reverb->sampleRate, sampleRate);
      double longest = 0.0;
      for (float timeMs : {3000.0f, 1000.0f, 100.0f, 0.001f}) {
        ASSERT_TRUE(setReverbParameters(*reverb, {0.0f, 0.0f, timeMs, 0.5f}));
        for (const ReverbNetwork* net : {&reverb->low, &reverb->high}) {
          for (int32_t i = 0; i < net->laneCount; ++i) {
            const int32_t length = net->lengths[i];
            EXPECT_TRUE(isPrime(length)) << sampleRate << " Hz, lane " << i;
            EXPECT_LE(length, net->capacities[i]);
            EXPECT_GE(net->lanes[i], reverb->memory);
            EXPECT_LE(net->lanes[i] + 2 * (net->capacities[i] + reverbNetworkBlock + 1),
                      reverb->memory + reverb->memoryFloats);
            for (int32_t j = i + 1; j < net->laneCount; ++j) EXPECT_NE(length, net->lengths[j]);
            for (int32_t k = 0; k < net->tapsPerLane; ++k) {
              const int32_t delay = net->tapDelays[i * net->tapsPerLane + k];
              EXPECT_GE(delay, reverbNetworkBlock) << sampleRate << " Hz, lane " << i;
              EXPECT_LE(delay, length - reverbNetworkBlock) << sampleRate << " Hz, lane " << i;
            }
          }
        }
        const double seconds =
            std::accumulate(reverb->low.lengths, reverb->low.lengths + reverb->low.laneCount, 0.0) /
            sampleRate;
        if (timeMs == 3000.0f) {
          longest = seconds;
          EXPECT_GE(seconds * 2.2 / 3.0, 2.9) << sampleRate << " Hz";
        } else if (timeMs == 1000.0f) {
          EXPECT_NEAR(seconds, longest / 3.0, 0.01 * longest) << sampleRate << " Hz";
        }
      }
    }
  }
}

TEST(ReverbDecay, LowBandDecaysInTheReverbTime) {
  for (float timeMs : {3000.0f, 1000.0f}) {
    auto reverb = newReverb({0.0f, 0.0f, timeMs, 0.001f});
    auto response = impulseResponse(*reverb, 2.0 * timeMs / 1000.0 + 0.3);
    double t30 = bandDecayTime(response, 250.0);
    EXPECT_NEAR(t30, timeMs / 1000.0, 0.05 * timeMs / 1000.0) << "reverb time " << timeMs;
  }
}

TEST(ReverbDecay, HighBandDecaysAtMostHalfAsLongWithTheDefaultRatio) {
  auto reverb = newReverb({0.0f, 0.0f, 3000.0f, defaultReverbParameters.highFreqRatio});
  auto response = impulseResponse(*reverb, 6.3);
  double low = bandDecayTime(response, 250.0);
  double high = bandDecayTime(response, 8000.0);
  ASSERT_GT(low, 0.0);
  ASSERT_GT(high, 0.0);
  EXPECT_LE(high, 0.5 * low);
}

TEST(ReverbDecay, HighBandFollowsLowBandWithRatioNearOne) {
  auto reverb = newReverb({0.0f, 0.0f, 3000.0f, 0.999f});
  auto response = impulseResponse(*reverb, 6.3);
  double low = bandDecayTime(response, 250.0);
  double high = bandDecayTime(response, 8000.0);
  EXPECT_NEAR(high, low, 0.10 * low);
  EXPECT_NEAR(low, 3.0, 0.15);
}

// The mix is a constant-power crossfade: with a mix of -6 dB every output
// sample is the dry factor times the input plus the wet factor times what the
// all-wet reverb gives, to the bit, with both factors from the formula. The
// input gain scales what enters, dry and wet alike.
TEST(ReverbMix, ConstantPowerCrossfadeAndInputGain) {
  for (double db : {0.0, -6.0, -96.0}) {
    ReverbMixFactors f = reverbMixFactors(db);
    EXPECT_NEAR(f.dry * f.dry + f.wet * f.wet, 1.0, 1e-12);
  }
  std::mt19937 random(3);
  std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
  std::vector<float> input(2 * 30000);
  for (float& v : input) v = noise(random);
  auto run = [&](ReverbParameters p) {
    auto reverb = newReverb(p);
    std::vector<float> out = input;
    processReverb(*reverb, out.data(), static_cast<uint32_t>(out.size() / 2));
    return out;
  };
  const auto wetOnly = run({0.0f, 0.0f, 3000.0f, 0.5f});
  const auto half = run({0.0f, -6.0f, 3000.0f, 0.5f});
  const auto quieter = run({-6.0f, -6.0f, 3000.0f, 0.5f});
  const double m = std::pow(10.0, -0.6);
  const auto dry = static_cast<float>(std::sqrt(1.0 - m)), wet = static_cast<float>(std::sqrt(m));
  for (size_t i = 0; i < input.size(); ++i) {
    const float expected = dry * (input[i] * 1.0f) + wet * wetOnly[i];
    ASSERT_EQ(std::bit_cast<uint32_t>(half[i]), std::bit_cast<uint32_t>(expected)) << "sample " << i;
  }
  double eb = 0, ec = 0;
  for (size_t i = 0; i < input.size(); ++i) {
    eb += double(half[i]) * half[i];
    ec += double(quieter[i]) * quieter[i];
  }
  EXPECT_NEAR(std::sqrt(ec / eb), 0.5012, 2e-3);
}

TEST(ReverbStability, LongLoudInputStaysFiniteAndBounded) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  for (float ratio : {0.001f, 0.5f, 0.999f}) {
    auto reverb = newReverb({0.0f, 0.0f, 3000.0f, ratio});
    std::vector<float> block(4410 * 2);
    float peak = 0.0f;
    bool finite = true;
    for (int b = 0; b < 600; ++b) {  // 60 s: noise, then a full-scale square wave
      for (size_t i = 0; i < block.size(); i += 2) {
        float v = b < 300 ? noise(random) : (((i / 2) / 50) % 2 ? 1.0f : -1.0f);
        block[i] = v;
        block[i + 1] = b % 2 ? v : -v;
      }
      processReverb(*reverb, block.data(), 4410);
      for (float v : block) {
        finite = finite && std::isfinite(v);
        peak = std::max(peak, std::fabs(v));
      }
    }
    EXPECT_TRUE(finite) << "ratio " << ratio;
    EXPECT_LT(peak, 16.0f) << "ratio " << ratio;
    EXPECT_GT(peak, 0.1f) << "ratio " << ratio;
  }
}

// At the corners of the parameter ranges the output stays finite and every
// lane loses energy on each pass: the mixing is orthogonal once its gain of
// sqrt(lanes) is taken out, so a lane gain below 1 / sqrt(lanes) cannot grow.
TEST(ReverbStability, ExtremeSettingsStayFiniteAndEveryLaneLosesEnergy) {
  const ReverbParameters corners[] = {
      {0.0f, 0.0f, 0.001f, 0.001f},  {0.0f, 0.0f, 0.001f, 0.999f},      {0.0f, 0.0f, 3000.0f, 0.001f},
      {0.0f, 0.0f, 3000.0f, 0.999f}, {-96.0f, -96.0f, 3000.0f, 0.999f},
  };
  for (const ReverbParameters& p : corners) {
    auto reverb = newReverb(p);
    auto response = impulseResponse(*reverb, 2.0);
    for (float v : response) ASSERT_TRUE(std::isfinite(v));
    for (const ReverbNetwork* net : {&reverb->low, &reverb->high}) {
      for (int32_t i = 0; i < net->laneCount; ++i) {
        EXPECT_GE(net->laneGains[i], 0.0f);
        EXPECT_LT(net->laneGains[i] * std::sqrt(static_cast<float>(net->laneCount)), 1.0f) << p.reverbTime;
      }
    }
  }
}

// The split into the two bands, from its coefficients: the powers of the two
// outputs sum to one at every frequency, half each at 2 kHz, and each band is
// far down where the other's decay is measured (the 8 kHz octave's lower edge
// for the low band, the 250 Hz octave's upper edge for the high band).
TEST(ReverbSplit, BandsArePowerComplementaryAndSteep) {
  for (uint32_t sampleRate : {22050u, 44100u, 96000u}) {
    auto reverb = std::make_unique<ReverbState>();
    ASSERT_TRUE(initReverb(*reverb, sampleRate));
    auto bands = [&](double hz) {
      const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * hz / sampleRate);
      std::complex<double> branch[2] = {1.0, 1.0};
      for (int s = 0; s < 2; ++s) {
        for (int b = 0; b < 2; ++b) {
          const float* c[5];
          for (int k = 0; k < 5; ++k) c[k] = &reverb->crossover[s][k][2 * b];
          // Back from y = b0 x + s1, s1' = k1 x + s2 - a1 s1, s2' = k2 x - a2 s1 to
          // b1 = k1 + a1 b0, b2 = k2 + a2 b0.
          const double b0 = *c[0], a1 = *c[3], a2 = *c[4];
          const double b1 = *c[1] + a1 * b0, b2 = *c[2] + a2 * b0;
          branch[b] *= (b0 + b1 * z1 + b2 * z1 * z1) / (1.0 + a1 * z1 + a2 * z1 * z1);
        }
      }
      return std::pair{std::norm(0.5 * (branch[0] + branch[1])), std::norm(0.5 * (branch[1] - branch[0]))};
    };
    for (double hz = 20.0; hz < 0.45 * sampleRate; hz *= 1.1) {
      const auto [low, high] = bands(hz);
      ASSERT_NEAR(low + high, 1.0, 1e-4) << sampleRate << " Hz: " << hz;
    }
    EXPECT_NEAR(bands(2000.0).first, 0.5, 1e-3) << sampleRate;
    EXPECT_LT(bands(8000.0 / std::numbers::sqrt2).first, 1e-6) << sampleRate;
    EXPECT_LT(bands(250.0 * std::numbers::sqrt2).second, 1e-9) << sampleRate;
  }
}

TEST(ReverbSilence, SilenceInGivesExactSilenceOut) {
  auto fresh = newReverb({0.0f, -6.0f, 3000.0f, 0.001f});
  std::vector<float> block(4410 * 2, 0.0f);
  for (int b = 0; b < 20; ++b) {
    processReverb(*fresh, block.data(), 4410);
    for (float v : block) ASSERT_EQ(v, 0.0f);
  }

  // After a loud impulse the tail dies away to exact zeros without passing
  // through denormal numbers.
  for (float ratio : {0.001f, 0.999f}) {
    auto reverb = newReverb({0.0f, 0.0f, 3000.0f, ratio});
    std::fill(block.begin(), block.end(), 0.0f);
    block[0] = block[1] = 1.0f;
    int lastNonZeroBlock = -1;
    for (int b = 0; b < 400; ++b) {  // 40 s
      processReverb(*reverb, block.data(), 4410);
      for (float v : block) {
        if (v != 0.0f) lastNonZeroBlock = b;
      }
      std::fill(block.begin(), block.end(), 0.0f);
      if (b % 10 == 0) {
        ASSERT_FALSE(holdsSubnormal(*reverb)) << "block " << b;
      }
    }
    EXPECT_GT(lastNonZeroBlock, 20) << "ratio " << ratio;
    EXPECT_LT(lastNonZeroBlock, 300) << "ratio " << ratio;
    for (size_t i = 0; i < reverb->memoryFloats; ++i) ASSERT_EQ(reverb->memory[i], 0.0f);
  }
}

// Without its memory a reverb passes sound through untouched, and the layer
// refuses to add such an effect, naming the reason; the stream plays on.
TEST(ReverbMemory, WithoutItsMemoryAReverbPassesSoundAndTheLayerRefusesIt) {
  struct Restore {
    ~Restore() {
      setReverbAllocator(nullptr);
      BASS_Free();
    }
  } restore;
  BASS_Free();
  setReverbAllocator([](std::size_t) -> void* { return nullptr; });
  auto reverb = std::make_unique<ReverbState>();
  EXPECT_FALSE(initReverb(*reverb, 44100));
  std::vector<float> samples = {0.25f, -0.5f, 0.125f, 1.0f};
  const std::vector<float> before = samples;
  processReverb(*reverb, samples.data(), 2);
  EXPECT_EQ(samples, before);

  ASSERT_TRUE(initAudioLibraryOffline(44100));
  const uint32_t stream = BASS_StreamCreate(
      44100, 2, 0, [](uint32_t, void*, uint32_t length, uint32_t) { return length; }, 0);
  EXPECT_EQ(BASS_ChannelSetFX(stream, audioEffectReverb), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), AUDIO_ERROR_MEMORY);
  setReverbAllocator(nullptr);
  EXPECT_NE(BASS_ChannelSetFX(stream, audioEffectReverb), 0u);
}
