#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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
