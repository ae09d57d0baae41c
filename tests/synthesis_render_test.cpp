// What the callback writes: the request's bytes, the interpolated reads, the
// level bounds and the pitch heard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "support/synthesis_fixture.h"

namespace {

using SynthesisRender = SynthesisTest;

int peakOf(const std::vector<int16_t>& samples, int channel = -1) {
  int peak = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (channel >= 0 && static_cast<int>(i % 2) != channel) continue;
    peak = std::max(peak, std::abs(int{samples[i]}));
  }
  return peak;
}

TEST_F(SynthesisRender, ReadFrameInterpolatesCyclicallyForAnyPhase) {
  float samples[16];
  for (int i = 0; i < 8; ++i) {
    samples[2 * i] = static_cast<float>(i);
    samples[2 * i + 1] = static_cast<float>(-10 * i);
  }
  const WaveTable table{samples, 8};
  struct Case {
    double phase, left;
  };
  const Case cases[] = {{0.0, 0.0},       {3.0, 3.0},          {2.25, 2.25},        {6.75, 6.75},
                        {7.5, 3.5},       {7.75, 1.75},        {8.0, 0.0},          {13.5, 5.5},
                        {8e9 + 2.5, 2.5}, {0x1p52 + 5.0, 5.0}, {0x1p62 + 0.0, 0.0}, {1e300, 0.0}};
  for (const Case& c : cases) {
    const StereoValue v = readFrame(table, c.phase);
    EXPECT_DOUBLE_EQ(v.left, c.left) << c.phase;
    EXPECT_DOUBLE_EQ(v.right, -10.0 * c.left) << c.phase;
  }
}

TEST_F(SynthesisRender, SilenceBeforeAnyMotion) {
  for (int call = 0; call < 5; ++call) {
    const std::vector<int16_t> samples = render(4410);
    EXPECT_EQ(peakOf(samples), 0);
  }
}

TEST_F(SynthesisRender, RequestsOfAnySizeAreFilledExactly) {
  setMotion(0.5f, 0.8f, 0.02f, 0.6f, 0.8f);
  render(4410);  // let the voices rise

  // 0 bytes: nothing written, but the note cycle and the phase wrap still run.
  unsigned char guard[8];
  std::fill(std::begin(guard), std::end(guard), 0xAB);
  synthState.tonePhase = 40000.5;
  synthState.strikePhase = 140000.25;
  const float note = synthState.noteAccumulator;
  EXPECT_EQ(synthesisCallback(0, guard, 0, 0), 0u);
  for (unsigned char b : guard) EXPECT_EQ(b, 0xAB);
  EXPECT_NE(synthState.noteAccumulator, note);
  EXPECT_EQ(synthState.tonePhase, 40000.5 - 32768);
  EXPECT_EQ(synthState.strikePhase, 140000.25 - 131072);

  // Not a multiple of 4: whole frames only, the last 1-3 bytes zeroed, nothing
  // beyond the request touched, the full count returned.
  for (uint32_t extra = 1; extra <= 3; ++extra) {
    const uint32_t bytes = 4 * 100 + extra;
    std::vector<unsigned char> buffer(bytes + 16, 0xAB);
    EXPECT_EQ(synthesisCallback(0, buffer.data(), bytes, 0), bytes);
    int nonZero = 0;
    for (uint32_t i = 0; i < 400; ++i) nonZero += buffer[i] != 0;
    EXPECT_GT(nonZero, 300);
    for (uint32_t i = 400; i < bytes; ++i) EXPECT_EQ(buffer[i], 0) << i;
    for (std::size_t i = bytes; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xAB) << i;
  }
}

TEST_F(SynthesisRender, PhasesAreWrappedIntoTheirTablesAfterEveryCall) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int call = 0; call < 300; ++call) {
    setMotion(unit(random), 2.0f * unit(random), 0.0f, 0.7f, 0.7f);
    render(static_cast<uint32_t>(random() % 5000));
    ASSERT_GE(synthState.tonePhase, 0.0);
    ASSERT_LT(synthState.tonePhase, 32768.0);
    ASSERT_GE(synthState.strikePhase, 0.0);
    ASSERT_LT(synthState.strikePhase, 131072.0);
  }
}

TEST_F(SynthesisRender, EachVoiceReachesOnlyTheChannelsItIsPannedTo) {
  // Tone voice alone, fully left.
  setMotion(0.5f, 0.0f, 0.0f, 1.0f, 0.0f);
  std::vector<int16_t> samples = render(8820);
  EXPECT_GT(peakOf(samples, 0), 3000);
  EXPECT_EQ(peakOf(samples, 1), 0);

  // Strike voice alone, fully right; the tone fades out.
  resetSynthState();
  setMotion(0.0f, 1.0f, 1.0f, 0.5f, 0.5f);
  samples = render(8820);
  EXPECT_EQ(peakOf(samples, 0), 0);
  EXPECT_GT(peakOf(samples, 1), 500);
}

// Every smoothed value follows its one-pole recurrence exactly, in double for
// the tone voice and rounded to single precision every frame for the strike
// levels (a level carried in double, or a target used before its rounding,
// drifts off within a few thousand frames).
TEST_F(SynthesisRender, SmoothedValuesFollowTheirRecurrencesExactly) {
  const float motions[][4] = {{0.3f, 0.4f, -0.03f, 0.2f},
                              {0.9f, 0.9f, 0.07f, 0.7f},
                              {0.05f, 0.25f, 0.0f, 0.5f},
                              {0.0f, 0.13f, -0.01f, 1.0f}};
  for (const auto& m : motions) {
    const float leftGain = std::sqrt(1.0f - m[3]), rightGain = std::sqrt(m[3]);
    setMotion(m[0], m[1], m[2], leftGain, rightGain);
    SynthState want = synthState;
    render(3000);
    const SynthTargets& t = synthTargets;
    for (int n = 0; n < 3000; ++n) {
      want.toneLevel = want.toneLevel * (1.0 - 10.0 / 44100) + t.levelTarget * (10.0 / 44100);
      want.toneRightGain = want.toneRightGain * (1.0 - 500.0 / 44100) + rightGain * (500.0 / 44100);
      want.toneLeftGain = want.toneLeftGain * (1.0 - 500.0 / 44100) + leftGain * (500.0 / 44100);
      want.strikeLeftLevel =
          static_cast<float>(want.strikeLeftLevel * (1.0 - 1.0 / 44100) + t.strikeLeftTarget * (1.0 / 44100));
      want.strikeRightLevel = static_cast<float>(want.strikeRightLevel * (1.0 - 1.0 / 44100) +
                                                 t.strikeRightTarget * (1.0 / 44100));
      want.toneIncrement =
          want.toneIncrement * (1.0 - 500.0 / 44100) + t.toneIncrementTarget * (500.0 / 44100);
    }
    EXPECT_EQ(synthState.toneLevel, want.toneLevel) << m[0];
    EXPECT_EQ(synthState.toneLeftGain, want.toneLeftGain) << m[0];
    EXPECT_EQ(synthState.toneRightGain, want.toneRightGain) << m[0];
    EXPECT_EQ(synthState.toneIncrement, want.toneIncrement) << m[0];
    EXPECT_EQ(synthState.strikeLeftLevel, want.strikeLeftLevel) << m[0];
    EXPECT_EQ(synthState.strikeRightLevel, want.strikeRightLevel) << m[0];
  }
}

// After the visitor leaves, the smoothed levels and gains fade towards 0. They
// must reach 0 itself rather than linger as subnormal numbers, on which every
// frame of a silent room computes many times slower.
TEST_F(SynthesisRender, FadedLevelsSettleAtZeroNotInSubnormals) {
  setMotion(0.6f, 0.8f, 0.01f, 0.8f, 0.6f);
  render(44100);
  ASSERT_GT(synthState.toneLevel, 0.1);
  ASSERT_GT(synthState.strikeLeftLevel, 0.0f);
  ASSERT_GT(synthState.strikeRightLevel, 0.0f);
  ASSERT_GT(synthState.toneRightGain, 0.5);

  // Silence with the centroid at the left edge: the right gain fades too.
  setMotion(0.0f, 0.0f, 0.0f, 1.0f, 0.0f);
  const auto normalOrZero = [](auto v) {
    const int kind = std::fpclassify(v);
    return kind == FP_NORMAL || kind == FP_ZERO;
  };
  // 120 s: long past the point where every one of them would be subnormal.
  for (int call = 0; call < 120; ++call) {
    const std::vector<int16_t> samples = render(44100);
    EXPECT_TRUE(normalOrZero(synthState.toneLevel)) << call << " " << synthState.toneLevel;
    EXPECT_TRUE(normalOrZero(synthState.toneRightGain)) << call << " " << synthState.toneRightGain;
    EXPECT_TRUE(normalOrZero(synthState.strikeLeftLevel)) << call << " " << synthState.strikeLeftLevel;
    EXPECT_TRUE(normalOrZero(synthState.strikeRightLevel)) << call << " " << synthState.strikeRightLevel;
    if (call >= 15) {  // the strike fades with a 1 s time constant
      ASSERT_EQ(peakOf(samples), 0) << call;
    }
    if (testing::Test::HasFailure()) break;
  }
  EXPECT_EQ(synthState.toneLevel, 0.0);
  EXPECT_EQ(synthState.toneRightGain, 0.0);
  EXPECT_EQ(synthState.strikeLeftLevel, 0.0f);
  EXPECT_EQ(synthState.strikeRightLevel, 0.0f);
  EXPECT_NEAR(synthState.toneLeftGain, 1.0, 1e-12);  // a live gain is kept
}

// With the tone silent and the strike level held at its target, every sample
// is the interpolated strike frame times the level, times 32764, truncated
// toward zero.
TEST_F(SynthesisRender, SamplesAreScaledBy32764AndTruncatedTowardZero) {
  setMotion(0.0f, 0.7f, 0.0f, 0.5f, 0.5f);  // speed band 0: half a table frame per output frame
  synthesisCallback(0, nullptr, 0, 0);
  ASSERT_EQ(synthState.strikeIncrement, 0.5);
  synthState.strikeLeftLevel = synthTargets.strikeLeftTarget;
  synthState.strikeRightLevel = synthTargets.strikeRightTarget;
  const uint32_t frames = 6000;
  const std::vector<int16_t> samples = render(frames);
  int roundedAwayWouldDiffer = 0;
  for (uint32_t n = 0; n < frames; ++n) {
    const float* a = strikeTable.samples + 2 * (n / 2);
    const double w = (n % 2) * 0.5;
    for (int c = 0; c < 2; ++c) {
      const float level = c == 0 ? synthTargets.strikeLeftTarget : synthTargets.strikeRightTarget;
      const float value = static_cast<float>(level * ((1.0 - w) * a[c] + w * a[c + 2]));
      const double scaled = double{value} * 32764.0;
      ASSERT_EQ(samples[2 * n + c], static_cast<int16_t>(std::trunc(scaled))) << n << " " << c;
      roundedAwayWouldDiffer += scaled < 0.0 && std::floor(scaled) != scaled;
    }
  }
  EXPECT_GT(roundedAwayWouldDiffer, 1000);
}

// The per-frame steps written out plainly, one sample at a time, from the state
// before a call and the targets that call derived: every sample of both voices
// must match exactly, including where each value is narrowed to single
// precision (the tone voice per channel, the strike levels, the mixed frame).
TEST_F(SynthesisRender, EverySampleOfBothVoicesMatchesAPlainModel) {
  struct Pair {
    double left, right;
  };
  const auto read = [](const WaveTable& table, double phase) {
    const int64_t whole = static_cast<int64_t>(phase);
    const double w = phase - static_cast<double>(whole);
    const int64_t at = whole % table.frameCount, next = (at + 1) % table.frameCount;
    const float* s = table.samples;
    return Pair{(1 - w) * s[2 * at] + w * s[2 * next], (1 - w) * s[2 * at + 1] + w * s[2 * next + 1]};
  };
  std::mt19937 random(5);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  int64_t bothSounding = 0;
  for (int call = 0; call < 200; ++call) {
    const float fraction = unit(random), speed = 1.2f * unit(random);
    const float velocityX = 0.2f * unit(random) - 0.1f, centroidX = unit(random);
    const float leftGain = std::sqrt(1.0f - centroidX), rightGain = std::sqrt(centroidX);
    setMotion(fraction, speed, velocityX, leftGain, rightGain);
    SynthState m = synthState;
    const uint32_t frames = 1 + static_cast<uint32_t>(random() % 3000);
    const std::vector<int16_t> out = render(frames);
    const SynthTargets& t = synthTargets;
    for (uint32_t n = 0; n < frames; ++n) {
      m.toneLevel = m.toneLevel * (1 - 10.0 / 44100) + t.levelTarget * (10.0 / 44100);
      m.toneLeftGain = m.toneLeftGain * (1 - 500.0 / 44100) + leftGain * (500.0 / 44100);
      m.toneRightGain = m.toneRightGain * (1 - 500.0 / 44100) + rightGain * (500.0 / 44100);
      const Pair tone = read(toneTable, m.tonePhase);
      const float a = static_cast<float>(m.toneLeftGain * m.toneLevel * tone.left);
      const float b = static_cast<float>(m.toneRightGain * m.toneLevel * tone.right);
      m.strikeLeftLevel =
          static_cast<float>(m.strikeLeftLevel * (1 - 1.0 / 44100) + t.strikeLeftTarget * (1.0 / 44100));
      m.strikeRightLevel =
          static_cast<float>(m.strikeRightLevel * (1 - 1.0 / 44100) + t.strikeRightTarget * (1.0 / 44100));
      const Pair strike = read(strikeTable, m.strikePhase);
      const float left = static_cast<float>(a + m.strikeLeftLevel * strike.left);
      const float right = static_cast<float>(b + m.strikeRightLevel * strike.right);
      ASSERT_EQ(out[2 * n], static_cast<int16_t>(static_cast<int>(left * 32764.0))) << call << " " << n;
      ASSERT_EQ(out[2 * n + 1], static_cast<int16_t>(static_cast<int>(right * 32764.0))) << call << " " << n;
      bothSounding += std::fabs(a) > 0.05f && std::fabs(m.strikeLeftLevel * strike.left) > 0.02;
      m.toneIncrement = m.toneIncrement * (1 - 500.0 / 44100) + t.toneIncrementTarget * (500.0 / 44100);
      m.tonePhase += m.toneIncrement;
      m.strikePhase += synthState.strikeIncrement;
    }
    ASSERT_EQ(synthState.tonePhase, std::fmod(m.tonePhase, 32768.0)) << call;
    ASSERT_EQ(synthState.strikePhase, std::fmod(m.strikePhase, 131072.0)) << call;
  }
  EXPECT_GT(bothSounding, 20000) << "the calls had both voices loud at once";
}

TEST_F(SynthesisRender, NoSampleExceedsTheLevelBound) {
  std::mt19937 random(2024);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_real_distribution<float> wide(-1e30f, 1e30f);
  int peak = 0;
  for (int call = 0; call < 1500; ++call) {
    float fraction = unit(random), speed = 1.5f * unit(random);
    float velocityX = 0.2f * unit(random) - 0.1f, centroidX = unit(random);
    if (call % 10 == 0) {  // stray finite values
      fraction = wide(random);
      speed = wide(random);
      velocityX = wide(random);
    }
    if (call >= 1000) {  // hold the loudest strike, fully left, until it settles
      speed = 1.0f;
      velocityX = -1.0f;
      centroidX = 0.0f;
      fraction = 1.0f;
    }
    setMotion(fraction, speed, velocityX, std::sqrt(1.0f - centroidX), std::sqrt(centroidX));
    peak = std::max(peak, peakOf(render(static_cast<uint32_t>(random() % 4411))));
  }
  EXPECT_LE(peak, 19748);
  EXPECT_GT(peak, 15000);  // the run did get near the bound
}

// With constant motion the tone's fundamental is noteTable[i] x 187.5 x 44100 /
// 32768 Hz; measured from positive-going zero crossings of the rendered left
// channel (the waveform crosses zero exactly where its fundamental does).
TEST_F(SynthesisRender, ToneSoundsAtTheNoteOfItsTableEntry) {
  for (int entry = 0; entry < 4; ++entry) {
    resetSynthState();
    synthState.noteAccumulator = static_cast<float>(entry) + 0.5f;
    synthState.lastNoteStep = entry;
    setMotion(0.05f, 0.0f, 0.0f, 0.7f, 0.7f);  // +0.25: the note holds
    const uint32_t frames = 3 * 44100;
    const std::vector<int16_t> samples = render(frames);
    ASSERT_FALSE(synthTargets.noteJumpDrawn);

    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (uint32_t n = 22050; n < frames; ++n) {  // past the glide and the rise
      const double before = samples[2 * (n - 1)], now = samples[2 * n];
      if (before < 0.0 && now >= 0.0) {
        const double at = (n - 1) + (-before) / (now - before);
        if (first < 0.0) first = at;
        last = at;
        ++crossings;
      }
    }
    ASSERT_GT(crossings, 100);
    const double measured = (crossings - 1) * 44100.0 / (last - first);
    const double expected = noteTable[entry] * 187.5 * 44100.0 / 32768.0;
    EXPECT_NEAR(measured, expected, expected * 0.005) << "entry " << entry;
  }
}

}  // namespace
