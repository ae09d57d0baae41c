#include "sound/wave_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "support/synthesis_fixture.h"

namespace {

double signedPower(double s, double e) {
  if (s == 0.0) return 0.0;
  return s > 0.0 ? std::pow(s, e) : -std::pow(-s, e);
}

// The strike table's time counter after each frame, accumulated as the table
// defines it: single precision, rounded after every addition.
std::vector<float> strikeTimes() {
  std::vector<float> t(strikeFrameCount);
  float now = 0.0f;
  for (int i = 0; i < strikeFrameCount; ++i) {
    t[i] = now;
    now = static_cast<float>(now + 2.0 * std::numbers::pi / strikeFrameCount);
  }
  return t;
}

// Envelopes from integer arithmetic: a ramp restarting 2 (left) or 3 (right)
// times per table; the right one jumps back to 1 - 1/131072 at frame 43 691
// and to 1 - 1/65536 at frame 87 382.
float envelope(int frame, int restarts) {
  const auto step = static_cast<double>((int64_t{restarts} * frame) % strikeFrameCount);
  return static_cast<float>(1.0 - step / strikeFrameCount);
}

float strikeLeft(int i) { return strikeTable.samples[2 * i]; }
float strikeRight(int i) { return strikeTable.samples[2 * i + 1]; }

using WaveTables = SynthesisTest;

TEST_F(WaveTables, ToneTableIsOneCycleEqualInBothChannels) {
  ASSERT_EQ(toneTable.frameCount, 32768);
  const float* s = toneTable.samples;
  EXPECT_EQ(s[0], 0.0f);
  EXPECT_EQ(s[1], 0.0f);
  EXPECT_EQ(s[2 * 8192], 0.5f);
  float peak = 0.0f;
  int peakFrame = 0;
  for (int i = 0; i < toneFrameCount; ++i) {
    ASSERT_EQ(s[2 * i], s[2 * i + 1]) << "frame " << i;
    if (std::fabs(s[2 * i]) > peak) {
      peak = std::fabs(s[2 * i]);
      peakFrame = i;
    }
  }
  EXPECT_NEAR(peak, 0.550458683, 1e-7);
  // The peak lies near 1.196 rad, where cos x = (sqrt 3 - 1) / 2.
  EXPECT_NEAR(peakFrame * 2.0 * std::numbers::pi / toneFrameCount, std::acos((std::sqrt(3.0) - 1) / 2), 1e-3);
  // Half a cycle on, the waveform mirrors: v(x + pi) = -sin x (1 - cos x / 2) / 2.
  EXPECT_NEAR(s[2 * 16384], 0.0f, 1e-6);
  EXPECT_NEAR(s[2 * 24576], -0.5f, 1e-7);

  // Every frame from an angle accumulated in double; a multiplied-out angle
  // would differ in a few frames.
  double x = 0.0;
  for (int i = 0; i < toneFrameCount; ++i) {
    ASSERT_EQ(s[2 * i], static_cast<float>((std::sin(2.0 * x) * 0.25 + std::sin(x)) * 0.5)) << i;
    x += 2.0 * std::numbers::pi / toneFrameCount;
  }
}

// The table is made from the drifting single-precision time counter: at the
// left tone's 2250 rad per unit of t, i x step instead would sound different
// late in the table.
TEST_F(WaveTables, StrikeTableFollowsItsDriftingCounterAndRestartingRamps) {
  ASSERT_EQ(strikeTable.frameCount, 131072);
  EXPECT_EQ(strikeLeft(0), 0.0f);
  EXPECT_EQ(strikeRight(0), 0.0f);
  const std::vector<float> t = strikeTimes();
  const double step = 2.0 * std::numbers::pi / strikeFrameCount;
  EXPECT_NEAR(t[65536] - 65536 * step, -0.00089, 0.00001);
  EXPECT_NEAR(t[131071], 6.2926292, 1e-6);
  for (int i : {65535, 100000, 131071}) {
    const float exact = static_cast<float>(envelope(i, 2) * signedPower(std::sin(2250.0 * i * step), 5));
    EXPECT_NE(strikeLeft(i), exact) << "frame " << i;
  }
  std::vector<int> frames = {1,     2,     43689, 43690, 43691, 43692,  65535,
                             65536, 65537, 87381, 87382, 87383, 131070, 131071};
  for (int i = 3; i < strikeFrameCount; i += 997) frames.push_back(i);
  for (int i : frames) {
    const float left = static_cast<float>(envelope(i, 2) * signedPower(std::sin(2250.0 * t[i]), 5.0));
    const float right = static_cast<float>(envelope(i, 3) * signedPower(std::sin(1500.0 * t[i]), 0.8));
    ASSERT_EQ(strikeLeft(i), left) << "frame " << i;
    ASSERT_EQ(strikeRight(i), right) << "frame " << i;
  }
}

TEST_F(WaveTables, TuningTablesHoldTheChainOfFifths) {
  EXPECT_EQ(semitoneRatioTable()[0], 1.0);
  EXPECT_EQ(semitoneRatioTable()[1], 1.0594630943592953);
  EXPECT_EQ(semitoneRatioTable()[11], 1.8877486253633868);
  EXPECT_EQ(noteTable[0], 0.25);
  EXPECT_EQ(noteTable[1], 0.7491535384383408);
  EXPECT_EQ(noteTable[2], 1.122462048309373);
  EXPECT_EQ(noteTable[3], 1.681792830507429);
}

// Heap failure -------------------------------------------------------------

int allocations = 0;
void* failEverything(std::size_t) {
  ++allocations;
  return nullptr;
}
void* failSecond(std::size_t bytes) { return ++allocations == 2 ? nullptr : std::malloc(bytes); }

TEST_F(WaveTables, AllocationRejectsCountsThatAreNotPowersOfTwo) {
  allocations = 0;
  setWaveTableAllocator(failEverything);
  WaveTable table{reinterpret_cast<float*>(&allocations), 99};
  for (int32_t count : {0, -8, 3, 32767}) {
    EXPECT_EQ(allocateWaveTable(table, count), nullptr);
    EXPECT_EQ(table.samples, nullptr);
    EXPECT_EQ(table.frameCount, 0);
  }
  EXPECT_EQ(allocations, 0);
  setWaveTableAllocator(nullptr);
  float* samples = allocateWaveTable(table, 16);
  ASSERT_NE(samples, nullptr);
  EXPECT_EQ(table.samples, samples);
  EXPECT_EQ(table.frameCount, 16);
  samples[31] = 1.0f;  // the whole 16 x 2 floats are ours
  std::free(samples);
}

TEST_F(WaveTables, FailedHeapLeavesNoTablesAndTheCallbackSilent) {
  for (WaveTableAllocator allocator : {failEverything, failSecond}) {
    allocations = 0;
    setWaveTableAllocator(allocator);
    EXPECT_FALSE(buildWaveTables());
    EXPECT_EQ(toneTable.samples, nullptr);
    EXPECT_EQ(strikeTable.samples, nullptr);
    EXPECT_EQ(toneTable.frameCount, 0);
    EXPECT_EQ(strikeTable.frameCount, 0);

    setMotion(0.5f, 1.0f, 0.05f, 0.6f, 0.8f);
    std::vector<int16_t> samples(8820, int16_t{0x5555});
    EXPECT_EQ(synthesisCallback(0, samples.data(), 17640, 0), 17640u);
    for (int16_t v : samples) ASSERT_EQ(v, 0);
  }
  setWaveTableAllocator(nullptr);
  ASSERT_TRUE(buildWaveTables());
  EXPECT_EQ(toneTable.samples[2 * 8192], 0.5f);
  const std::vector<int16_t> sound = render(4410);
  int nonZero = 0;
  for (int16_t v : sound) nonZero += v != 0;
  EXPECT_GT(nonZero, 4000);
}

}  // namespace
