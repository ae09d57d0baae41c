#include "platform/clock.h"
#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {
bool counterPresent = true;
int64_t counterNow = 0;
uint32_t timerNow = 0;

bool fakeFrequency(int64_t* countsPerSecond) {
  if (!counterPresent) return false;
  *countsPerSecond = 1000000000;
  return true;
}
int64_t fakeCounter() { return counterNow; }
uint32_t fakeTimer() { return timerNow; }
constexpr ClockSources fakeSources{fakeFrequency, fakeCounter, fakeTimer};

std::vector<std::string> boxes;
void recordBox(SDL_Window*, const char* caption, const char* text) {
  boxes.push_back(std::string(caption) + "|" + text);
}

constexpr int64_t nsPerMs = 1000000;

class ClockTest : public testing::Test {
 protected:
  void SetUp() override {
    counterPresent = true;
    counterNow = 7'000'000'000'123;  // an arbitrary counter value at start
    timerNow = 123456;
    boxes.clear();
    setClockSources(&fakeSources);
    setMessageBoxHook(recordBox);
    clearClock();
  }
  void TearDown() override {
    setClockSources(nullptr);
    setMessageBoxHook(nullptr);
    clearClock();
  }
  // Starts the clock without the high-resolution counter; returns stdout.
  std::string startWithoutCounter() {
    counterPresent = false;
    testing::internal::CaptureStdout();
    startClock();
    return testing::internal::GetCapturedStdout();
  }
};
}  // namespace

TEST_F(ClockTest, CounterBranchReadsFloatMillisecondsFromNanoseconds) {
  testing::internal::CaptureStdout();
  startClock();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(appClockRecord().counterAvailable);
  EXPECT_EQ(appClockRecord().countsPerSecond, 1000000000);
  EXPECT_EQ(appClockRecord().secondsPerCount, static_cast<float>(1e-9));

  EXPECT_EQ(elapsedMs(), 0.0f);
  counterNow += 1500 * 1000;  // 1.5 ms
  const double expected = 1.5e6 * static_cast<double>(static_cast<float>(1e-9)) * 1000.0;
  EXPECT_EQ(elapsedMs(), static_cast<float>(expected));
  EXPECT_NEAR(elapsedMs(), 1.5f, 1e-6f);
  counterNow += 3600LL * 1000 * nsPerMs;  // one hour later
  EXPECT_NEAR(elapsedMs(), 3600001.5f, 0.5f);
}

TEST_F(ClockTest, StartMarkIsZeroUntilSetAndReadingsCountFromIt) {
  startClock();
  counterNow += 1000 * nsPerMs;
  // Before the mark, readings since the mark are readings since the start.
  EXPECT_EQ(msSinceStartMark(), elapsedMs());
  setStartMark();
  EXPECT_NEAR(appClockRecord().startMark.load(), 1000.0f, 1e-3f);
  counterNow += 250 * nsPerMs;
  EXPECT_NEAR(msSinceStartMark(), 250.0f, 1e-3f);
  EXPECT_NEAR(elapsedMs(), 1250.0f, 1e-3f);
}

TEST_F(ClockTest, MarkIsSubtractedBeforeRoundingToFloat) {
  startWithoutCounter();
  // Past 2^24 ms a float cannot hold the fraction; the difference from the
  // mark keeps it because it is taken before rounding.
  const double scale = static_cast<double>(0.001f) * 1000.0;
  timerNow += 16777216u;
  setStartMark();
  EXPECT_EQ(appClockRecord().startMark.load(), 16777216.0f);
  timerNow += 1u;
  const double exact = 16777217.0 * scale - 16777216.0;  // 1.797 ms
  EXPECT_EQ(msSinceStartMark(), static_cast<float>(exact));
  EXPECT_NE(msSinceStartMark(), elapsedMs() - appClockRecord().startMark.load());
}

TEST_F(ClockTest, WithoutCounterWarnsThenUsesMillisecondTimer) {
  const std::string out = startWithoutCounter();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "Warning:|No performance timer found!");
  EXPECT_EQ(out, "No performance timer found!\n");
  EXPECT_FALSE(appClockRecord().counterAvailable);
  EXPECT_EQ(appClockRecord().countsPerSecond, 1000);
  EXPECT_EQ(appClockRecord().secondsPerCount, 0.001f);
  EXPECT_EQ(appClockRecord().startMs, 123456u);

  EXPECT_EQ(elapsedMs(), 0.0f);
  timerNow += 1;
  // Whole milliseconds scaled by the float 0.001 times 1000.
  EXPECT_EQ(elapsedMs(), static_cast<float>(1.0000000474974513));
  timerNow += 1999999;
  // 2 000 000.095 ms rounds to the float 2 000 000.125, not 2 000 000.
  EXPECT_EQ(elapsedMs(), 2000000.125f);
}

TEST_F(ClockTest, MillisecondTimerWrapBetweenStartAndReading) {
  timerNow = 0xFFFFFF00u;
  startWithoutCounter();
  timerNow = 0x00000100u;  // the 32-bit timer wrapped
  EXPECT_NEAR(elapsedMs(), 512.0f, 1e-3f);
  setStartMark();
  timerNow += 88;
  EXPECT_NEAR(msSinceStartMark(), 88.0f, 1e-3f);
}

TEST_F(ClockTest, ReadingsStepCoarserPastTwoToTheTwentyFourMilliseconds) {
  timerNow = 0;
  startWithoutCounter();
  const auto readingsFrom = [](uint32_t first) {
    std::vector<float> readings;
    for (uint32_t ms = first; ms < first + 16; ++ms) {
      timerNow = ms;
      readings.push_back(elapsedMs());
    }
    return readings;
  };
  for (float r : readingsFrom(1u << 23)) EXPECT_EQ(std::fmod(r, 1.0f), 0.0f);
  const auto below = readingsFrom((1u << 23) + 100);
  EXPECT_EQ(below.back() - below.front(), 15.0f);  // every millisecond shows

  for (const auto& [first, step] : {std::pair{1u << 24, 2.0f}, std::pair{1u << 25, 4.0f}}) {
    const auto readings = readingsFrom(first + 40);
    float previous = readings.front();
    for (float r : readings) {
      EXPECT_EQ(std::fmod(r, step), 0.0f) << r;
      EXPECT_GE(r, previous);
      EXPECT_LE(r - previous, step);
      previous = r;
    }
    EXPECT_GE(readings.back() - readings.front(), 16.0f - 2 * step);
  }
}

TEST(ClockSystem, FirstReadingAfterStartIsNearZero) {
  clearClock();
  startClock();
  EXPECT_TRUE(appClockRecord().counterAvailable);
  EXPECT_EQ(appClockRecord().countsPerSecond, 1000000000);
  const float first = elapsedMs();
  EXPECT_GE(first, 0.0f);
  EXPECT_LT(first, 1000.0f);
  EXPECT_GE(elapsedMs(), first);  // monotonic
  clearClock();
}

// The mark is written once on the main thread while the capture thread is
// already reading: a reader sees 0 or the mark, never a torn value.
TEST(ClockThread, StartMarkSetWhileAnotherThreadReads) {
  clearClock();
  startClock();
  std::vector<float> readings(20000);
  std::thread reader([&readings] {
    for (float& r : readings) r = msSinceStartMark();
  });
  std::this_thread::yield();
  setStartMark();
  reader.join();
  for (float r : readings) {
    ASSERT_TRUE(std::isfinite(r));
    ASSERT_GE(r, 0.0f);
    ASSERT_LT(r, 60000.0f);
  }
  clearClock();
}
