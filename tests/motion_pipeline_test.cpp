#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "camera/capture_offline.h"
#include "camera/frame_layout.h"
#include "platform/clock.h"
#include "support/motion_frames.h"
#include "vision/motion_analysis.h"

namespace {

std::vector<uint8_t> plane(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

struct PipelineSnapshot {
  FrameBuffers roles;
  FrameTiming timing;
  std::vector<uint8_t> grey0, grey1, bright0, bright1, difference;
  float movingFraction, centroidX;
};

PipelineSnapshot capture(int32_t w, int32_t h) {
  const size_t n = samplesOf(w, h);
  const FrameBuffers& b = frameBuffers;
  return {b,
          frameTiming,
          plane(b.greyImage[0], 3 * n),
          plane(b.greyImage[1], 3 * n),
          plane(b.brightness[0], n),
          plane(b.brightness[1], n),
          plane(b.difference, n),
          motionState.movingFraction,
          motionState.centroidX};
}

void expectUntouched(const PipelineSnapshot& before, const PipelineSnapshot& after) {
  EXPECT_EQ(std::memcmp(&before.roles, &after.roles, sizeof(FrameBuffers)), 0);
  EXPECT_EQ(after.timing.frameTime, before.timing.frameTime);
  EXPECT_EQ(after.timing.frameInterval, before.timing.frameInterval);
  EXPECT_EQ(after.timing.frameCounter, before.timing.frameCounter);
  EXPECT_EQ(after.grey0, before.grey0);
  EXPECT_EQ(after.grey1, before.grey1);
  EXPECT_EQ(after.bright0, before.bright0);
  EXPECT_EQ(after.bright1, before.bright1);
  EXPECT_EQ(after.difference, before.difference);
  EXPECT_EQ(after.movingFraction, before.movingFraction);
  EXPECT_EQ(after.centroidX, before.centroidX);
}

}  // namespace

TEST(FrameBuffersAllocation, ZeroFilledWithInitialRolesAndCounterReset) {
  ASSERT_TRUE(startMode(24, 10));
  const TestFrame frame(24, 10, [](int32_t j, int32_t k) { return static_cast<uint8_t>(j + k + 1); });
  for (int n = 0; n < 3; ++n) feed(frame, static_cast<float>(33 * (n + 1)));
  motionState.movingFraction = 0.7f;

  // Sizing again starts from a clean slate.
  ASSERT_TRUE(allocateFrameBuffers(24, 10));
  EXPECT_EQ(analysisWidth, 24);
  EXPECT_EQ(analysisHeight, 10);
  EXPECT_EQ(frameTiming.frameCounter, 0);
  EXPECT_EQ(motionState.movingFraction, 0.0f);
  EXPECT_EQ(frameBuffers.greyImageOut, frameBuffers.greyImage[0]);
  EXPECT_EQ(frameBuffers.greyImageReady, frameBuffers.greyImage[1]);
  EXPECT_EQ(frameBuffers.brightnessPrevious, frameBuffers.brightness[0]);
  EXPECT_EQ(frameBuffers.brightnessNext, frameBuffers.brightness[1]);
  const std::vector<uint8_t> zeros3(3 * 240, 0), zeros(240, 0);
  EXPECT_EQ(plane(frameBuffers.greyImage[0], 720), zeros3);
  EXPECT_EQ(plane(frameBuffers.greyImage[1], 720), zeros3);
  EXPECT_EQ(plane(frameBuffers.brightness[0], 240), zeros);
  EXPECT_EQ(plane(frameBuffers.brightness[1], 240), zeros);
  EXPECT_EQ(plane(frameBuffers.difference, 240), zeros);
}

TEST(FrameBuffersAllocation, EmptyOrImpossibleModesAreRefusedWithNothingHeld) {
  struct Mode {
    int32_t w, h;
  };
  for (const Mode m : {Mode{0, 480}, Mode{640, 0}, Mode{-640, 480}, Mode{640, -1}}) {
    ASSERT_TRUE(allocateFrameBuffers(32, 8));
    EXPECT_FALSE(allocateFrameBuffers(m.w, m.h)) << m.w << "x" << m.h;
    EXPECT_EQ(analysisWidth, 0);
    EXPECT_EQ(analysisHeight, 0);
    EXPECT_EQ(frameBuffers.difference, nullptr);
    EXPECT_EQ(frameBuffers.greyImageOut, nullptr);
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Far beyond any address space: the allocation itself fails.
  EXPECT_FALSE(allocateFrameBuffers(1 << 30, 1 << 30));
  EXPECT_EQ(analysisWidth, 0);
  EXPECT_EQ(frameBuffers.greyImage[0], nullptr);
  EXPECT_EQ(frameBuffers.brightnessNext, nullptr);
#endif
}

TEST(FrameBuffersAllocation, WalkLengthOfAMode) {
  EXPECT_EQ(requiredFrameBytes(640, 480), 479u * 1920u + 1279u);
  EXPECT_EQ(requiredFrameBytes(1, 1), 1u);
  EXPECT_EQ(requiredFrameBytes(0, 480), 0u);
}

// A grey plane lands on the luma bytes and leaves the others, for widths on
// either side of a 16-sample block, in a buffer that ends at the last luma byte.
TEST(FrameLayout, AGreyPlaneFillsTheLumaBytesAndNothingElse) {
  for (const int32_t width : {1, 15, 16, 17, 32, 33, 641}) {
    const int32_t height = 3;
    std::vector<uint8_t> plane(size_t(width) * height);
    for (size_t i = 0; i < plane.size(); ++i) plane[i] = uint8_t(i * 7 + 1);
    std::vector<uint8_t> layout(requiredFrameBytes(width, height), 0xAB);
    placeLumaPlane(plane.data(), size_t(width), 1, width, height, {layout.data(), width, height});
    for (size_t at = 0; at < layout.size(); ++at) {
      const size_t row = at / frameLayoutStride(width), column = at % frameLayoutStride(width);
      const bool luma = column < size_t(2 * width) && column % 2 == 0;
      ASSERT_EQ(layout[at], luma ? plane[row * size_t(width) + column / 2] : 0xAB)
          << "width " << width << ", byte " << at;
    }
  }
}

TEST(FramePipeline, RolesAlternateByParityAndEachFrameReadsTheLastOnesPlane) {
  const int32_t w = 20, h = 3;
  ASSERT_TRUE(startMode(w, h));
  std::vector<TestFrame> frames;
  for (int n = 0; n < 5; ++n)
    frames.emplace_back(w, h, [n](int32_t j, int32_t k) { return static_cast<uint8_t>(40 * n + j + k); });

  for (int n = 0; n < 5; ++n) {
    SCOPED_TRACE(n);
    const uint8_t* previousNext = frameBuffers.brightnessNext;
    const uint8_t* previousOut = frameBuffers.greyImageOut;
    EXPECT_EQ(feed(frames[n], static_cast<float>(30 * (n + 1))), 1);
    const int out = n % 2 == 0 ? 1 : 0;
    EXPECT_EQ(frameTiming.frameCounter, n + 1);
    EXPECT_EQ(frameTiming.frameTime, static_cast<float>(30 * (n + 1)));
    EXPECT_EQ(frameTiming.frameInterval, 30.0f);
    EXPECT_EQ(frameBuffers.greyImageOut, frameBuffers.greyImage[out]);
    EXPECT_EQ(frameBuffers.greyImageReady, frameBuffers.greyImage[1 - out]);
    EXPECT_EQ(frameBuffers.brightnessNext, frameBuffers.brightness[out]);
    EXPECT_EQ(frameBuffers.brightnessPrevious, frameBuffers.brightness[1 - out]);
    EXPECT_EQ(frameBuffers.brightnessNext[w + 4], 40 * n + 1 + 4);
    if (n > 0) {
      EXPECT_EQ(frameBuffers.brightnessPrevious, previousNext);
      EXPECT_EQ(frameBuffers.greyImageReady, previousOut);
      EXPECT_EQ(frameBuffers.brightnessPrevious[w + 4], 40 * (n - 1) + 1 + 4);
    }
  }
  // The picture held ready is the previous call's: the differences stored the
  // call before it, +40 everywhere, which is 147.
  EXPECT_EQ(frameBuffers.greyImageReady[3 * (w + 4) + 1], 147);
  EXPECT_EQ(frameBuffers.difference[w + 4], 147);
}

TEST(FramePipeline, ShortOrMissingFramesAreDroppedUntouched) {
  const int32_t w = 20, h = 4;
  ASSERT_TRUE(startMode(w, h));
  const TestFrame frame(w, h, [](int32_t j, int32_t k) { return static_cast<uint8_t>(9 * j + k); });
  feed(frame, 33.0f);
  feed(frame, 66.0f);
  const PipelineSnapshot before = capture(w, h);

  const FrameRecord shortRecord{frame.bytes.data(), frame.bytes.size() - 1};
  EXPECT_EQ(processFrame(&shortRecord, 99.0f), 1);
  expectUntouched(before, capture(w, h));

  const FrameRecord noPixels{nullptr, frame.bytes.size()};
  EXPECT_EQ(processFrame(&noPixels, 99.0f), 1);
  EXPECT_EQ(processFrame(nullptr, 99.0f), 1);
  expectUntouched(before, capture(w, h));

  // Exactly long enough is accepted.
  EXPECT_EQ(feed(frame, 99.0f), 1);
  EXPECT_EQ(frameTiming.frameCounter, 3);
  EXPECT_EQ(frameTiming.frameInterval, 33.0f);
}

TEST(FramePipeline, WithoutAModeFramesAndAnalysisDoNothing) {
  ASSERT_FALSE(startMode(0, 0));
  motionState.centroidX = 0.4f;
  motionState.movingFraction = 0.3f;
  const uint8_t bytes[4096] = {};
  const FrameRecord record{bytes, sizeof bytes};
  EXPECT_EQ(processFrame(&record, 33.0f), 1);
  EXPECT_EQ(frameTiming.frameCounter, 0);
  EXPECT_EQ(frameTiming.frameTime, 0.0f);
  analyseMotion(bytes);
  const MotionCounts c = scanSamples(bytes);
  EXPECT_EQ(c.count, 0);
  EXPECT_EQ(motionState.movingFraction, 0.3f);
  EXPECT_EQ(motionState.centroidX, 0.4f);
}

namespace {
// The clock's counter, in nanoseconds, where a test puts it.
int64_t standingCounter = 0;
bool nanosecondFrequency(int64_t* countsPerSecond) {
  *countsPerSecond = 1000000000;
  return true;
}
int64_t standingCounterValue() { return standingCounter; }
uint32_t unusedTimer() { return 0; }
constexpr ClockSources standingClock{nanosecondFrequency, standingCounterValue, unusedTimer};

// The speed after each of the demo's frames over its first 20 s, through
// the frame callback, with the clock `days` (and a second) after its start
// mark.
std::vector<float> demoSpeeds(double days) {
  setClockSources(&standingClock);
  standingCounter = 0;
  clearClock();
  startClock();
  setStartMark();
  OfflineSource demo{};
  std::string reason;
  std::vector<float> speeds;
  if (!openOfflineSource(demo, "demo", reason) || !startMode(demo.width, demo.height)) return speeds;
  const auto start = static_cast<int64_t>(days * 86400.0) * 1000000000 + 1000000000;
  // As if the camera had been running: a frame came one frame before the first.
  standingCounter = start - 33333333;
  frameTiming.exactFrameTime = exactMsSinceStartMark();
  frameTiming.frameTime = msSinceStartMark();
  FrameRecord frame{};
  double seconds = 0.0;
  while (nextOfflineFrame(demo, frame, seconds) && seconds < 20.0) {
    standingCounter = start + std::llround(seconds * 1e9);
    onFrameCaptured(0, &frame, 0);
    speeds.push_back(motionState.speed);
  }
  closeOfflineSource(demo);
  setClockSources(nullptr);
  return speeds;
}
}  // namespace

// A float millisecond clock steps by 8 ms after a day and 512 ms after 100:
// the frame intervals, and with them the strike voice's speed, must still
// come out as on the first day.
TEST(FramePipeline, DaysOfRunningHearTheDemoAsTheFirstHourDoes) {
  const std::vector<float> firstHour = demoSpeeds(0.0);
  ASSERT_GT(firstHour.size(), 590u);
  double largest = 0.0, mean = 0.0;
  for (const float speed : firstHour) {
    largest = std::max(largest, double(speed));
    mean += speed / double(firstHour.size());
  }
  ASSERT_GT(mean, 0.1);
  for (const double days : {1.0, 7.0, 30.0, 100.0}) {
    SCOPED_TRACE(std::to_string(days) + " days");
    const std::vector<float> later = demoSpeeds(days);
    ASSERT_EQ(later.size(), firstHour.size());
    double worst = 0.0, laterMean = 0.0;
    for (size_t n = 0; n < later.size(); ++n) {
      worst = std::max(worst, std::fabs(double(later[n]) - firstHour[n]));
      laterMean += later[n] / double(later.size());
    }
    EXPECT_LE(worst, 0.001 * largest);
    EXPECT_NEAR(laterMean, mean, 0.001 * mean);
  }
}
