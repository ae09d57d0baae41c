#include "audio/reverb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "support/decay_analysis.h"

namespace {
constexpr double rate = 44100.0;

std::unique_ptr<ReverbState> newReverb(ReverbParameters parameters = defaultReverbParameters) {
  auto reverb = std::make_unique<ReverbState>();
  initReverb(*reverb, 44100);
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
  auto sub = [](float v) { return std::fpclassify(v) == FP_SUBNORMAL; };
  for (float v : reverb.lines) {
    if (sub(v)) return true;
  }
  for (float v : reverb.diffusers) {
    if (sub(v)) return true;
  }
  for (int i = 0; i < reverbLaneCount; ++i) {
    if (sub(reverb.stateA[0][i]) || sub(reverb.stateA[1][i]) || sub(reverb.stateB[i])) return true;
  }
  return false;
}
}  // namespace

// At every rate the layer accepts, the lines are mutually prime, hold enough
// samples for a smooth 3 s tail, and fit the state's storage.
TEST(ReverbDesign, LinesAreMutuallyPrimeHoldEnoughSamplesAndFitAtEveryRate) {
  auto reverb = std::make_unique<ReverbState>();
  for (uint32_t rate : {8000u, 22050u, 44100u, 48000u, 96000u, 192000u}) {
    initReverb(*reverb, rate);
    ASSERT_EQ(reverb->sampleRate, rate);
    int32_t total = 0;
    for (int i = 0; i < reverbLineCount; ++i) {
      total += reverb->lineLengths[i];
      for (int j = i + 1; j < reverbLineCount; ++j) {
        EXPECT_EQ(std::gcd(reverb->lineLengths[i], reverb->lineLengths[j]), 1)
            << rate << ": " << i << " " << j;
      }
    }
    if (rate == 44100) {
      EXPECT_EQ(total, reverbTotalLength);
      for (int i = 0; i < reverbLineCount; ++i) EXPECT_EQ(reverb->lineLengths[i], reverbLineLengths[i]);
    }
    EXPECT_GE(total, 0.15 * 3.0 * rate) << rate;
    EXPECT_LE(2 * total, reverbLineStorage) << rate;
    int32_t diffuserTotal = 0;
    for (int32_t length : reverb->diffuserLengths) {
      EXPECT_GE(length, 1) << rate;
      diffuserTotal += length;
    }
    EXPECT_LE(2 * diffuserTotal, reverbDiffuserStorage) << rate;
  }
}

TEST(ReverbDecay, LowBandDecaysInTheReverbTime) {
  for (float timeMs : {3000.0f, 1000.0f}) {
    auto reverb = newReverb({0.0f, 0.0f, timeMs, 0.001f});
    auto response = impulseResponse(*reverb, 2.5 * timeMs / 1000.0 + 1.0);
    double t30 = bandDecayTime(response, 250.0);
    EXPECT_NEAR(t30, timeMs / 1000.0, 0.05 * timeMs / 1000.0) << "reverb time " << timeMs;
  }
}

TEST(ReverbDecay, HighBandDecaysAtMostHalfAsLongWithTheDefaultRatio) {
  auto reverb = newReverb({0.0f, 0.0f, 3000.0f, defaultReverbParameters.highFreqRatio});
  auto response = impulseResponse(*reverb, 8.0);
  double low = bandDecayTime(response, 250.0);
  double high = bandDecayTime(response, 8000.0);
  ASSERT_GT(low, 0.0);
  ASSERT_GT(high, 0.0);
  EXPECT_LE(high, 0.5 * low);
}

TEST(ReverbDecay, HighBandFollowsLowBandWithRatioNearOne) {
  auto reverb = newReverb({0.0f, 0.0f, 3000.0f, 0.999f});
  auto response = impulseResponse(*reverb, 8.0);
  double low = bandDecayTime(response, 250.0);
  double high = bandDecayTime(response, 8000.0);
  EXPECT_NEAR(high, low, 0.10 * low);
  EXPECT_NEAR(low, 3.0, 0.15);
}

TEST(ReverbMix, ConstantPowerCrossfadeAndInputGain) {
  for (double db : {0.0, -6.0, -96.0}) {
    ReverbMixFactors f = reverbMixFactors(db);
    EXPECT_NEAR(f.dry * f.dry + f.wet * f.wet, 1.0, 1e-12);
  }
  auto wetOnly = newReverb({0.0f, 0.0f, 3000.0f, 0.5f});
  auto half = newReverb({0.0f, -6.0f, 3000.0f, 0.5f});
  auto quieter = newReverb({-6.0f, -6.0f, 3000.0f, 0.5f});
  auto a = impulseResponse(*wetOnly, 0.5);
  auto b = impulseResponse(*half, 0.5);
  auto c = impulseResponse(*quieter, 0.5);
  // The lines delay the wet part, so the first frame is the dry part alone.
  EXPECT_EQ(a[0], 0.0f);
  EXPECT_NEAR(b[0], 0.8653, 5e-4);
  EXPECT_NEAR(b[1], 0.8653, 5e-4);
  // Later frames are wet only, scaled by the wet factor.
  double ea = 0, eb = 0, ec = 0;
  for (size_t i = 2 * 4000; i < a.size(); ++i) {
    ea += double(a[i]) * a[i];
    eb += double(b[i]) * b[i];
    ec += double(c[i]) * c[i];
  }
  ASSERT_GT(ea, 0.0);
  EXPECT_NEAR(std::sqrt(eb / ea), 0.5012, 1e-3);
  // Input gain scales what enters, dry and wet alike.
  EXPECT_NEAR(c[0] / b[0], 0.5012, 1e-3);
  EXPECT_NEAR(std::sqrt(ec / eb), 0.5012, 1e-3);
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

TEST(ReverbStability, ExtremeSettingsStayFinite) {
  const ReverbParameters corners[] = {
      {0.0f, 0.0f, 0.001f, 0.001f},
      {0.0f, 0.0f, 0.001f, 0.999f},
      {0.0f, 0.0f, 3000.0f, 0.001f},
      {-96.0f, -96.0f, 3000.0f, 0.999f},
  };
  for (const ReverbParameters& p : corners) {
    auto reverb = newReverb(p);
    auto response = impulseResponse(*reverb, 2.0);
    for (float v : response) ASSERT_TRUE(std::isfinite(v));
    // Both all-passes stable; and around the loop no frequency gains: the
    // unnormalised mixing doubles what the filters pass, so they may pass at
    // most half, and across the band never more than at one of its ends.
    EXPECT_LT(std::fabs(reverb->allpassB), 1.0f);
    EXPECT_LT(std::fabs(reverb->allpassA2), 1.0f);
    EXPECT_LT(std::fabs(reverb->allpassA1), 1.0f + reverb->allpassA2);
    for (int i = 0; i < reverbLaneCount; ++i) {
      const double wA = reverb->weightA[i], wB = reverb->weightB[i];
      const double ends = std::max(std::fabs(wA + wB), std::fabs(wA - wB));
      ASSERT_LT(ends, 0.5) << "lane " << i;
      for (double hz = 0.0; hz <= 22050.0; hz += 50.0) {
        std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * hz / rate);
        std::complex<double> a = (double(reverb->allpassA2) + double(reverb->allpassA1) * z1 + z1 * z1) /
                                 (1.0 + double(reverb->allpassA1) * z1 + double(reverb->allpassA2) * z1 * z1);
        std::complex<double> b = (double(reverb->allpassB) + z1) / (1.0 + double(reverb->allpassB) * z1);
        ASSERT_LE(std::abs(wA * a + wB * b), ends * (1.0 + 1e-6) + 1e-12) << hz << " Hz, lane " << i;
      }
    }
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
    for (float v : reverb->lines) ASSERT_EQ(v, 0.0f);
  }
}
