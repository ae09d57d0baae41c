#include "vision/motion_analysis.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "support/motion_frames.h"
#include "vision/motion_mask.h"

namespace {

// The per-sample pass written the plain way, sample by sample.
struct ModelPlanes {
  std::vector<uint8_t> grey, difference, previous, next;
};

// With a threshold, a sample moves when the two frames its old difference
// came from differ by that much; with a mask, only where the mask is bright.
MotionCounts modelPass(const TestFrame& frame, ModelPlanes& m, int threshold = 0,
                       const std::vector<uint8_t>& mask = {}) {
  MotionCounts c{};
  const int32_t w = frame.width;
  for (int32_t j = 0; j < frame.height; ++j) {
    for (int32_t k = 0; k < w; ++k) {
      const size_t i = static_cast<size_t>(j) * w + k;
      const int dOld = m.difference[i];
      const bool moves = threshold ? std::abs(m.previous[i] - m.next[i]) >= threshold : dOld >= 159 || dOld <= 97;
      if (moves && (mask.empty() || mask[i] >= 128)) {
        c.count += 1;
        c.sumColumns += k;
        c.sumRows += j;
      }
      for (int t = 0; t < 3; ++t) m.grey[3 * i + t] = static_cast<uint8_t>(dOld);
      const int cur = frame.bytes[static_cast<size_t>(j) * (2 * w + 640) + 2 * k];
      m.difference[i] = static_cast<uint8_t>((cur - m.previous[i] + 255) / 2);
      m.next[i] = static_cast<uint8_t>(cur);
    }
  }
  return c;
}

std::vector<uint8_t> plane(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

// Runs the pass and hands the brightness plane it filled to the next call.
MotionCounts pass(const TestFrame& frame) {
  const MotionCounts c = scanSamples(frame.bytes.data());
  std::swap(frameBuffers.brightnessPrevious, frameBuffers.brightnessNext);
  return c;
}

struct Snapshot {
  float movingFraction, centroidX, centroidY, velocityX, velocityY, speed, leftGain, rightGain, lastCentroidX,
      lastCentroidY;
};
Snapshot snapshot() {
  const MotionState& s = motionState;
  return {s.movingFraction, s.centroidX,       s.centroidY,        s.velocityX.load(), s.velocityY,
          s.speed,          s.leftGain.load(), s.rightGain.load(), s.lastCentroidX,    s.lastCentroidY};
}

void setState(const Snapshot& v) {
  MotionState& s = motionState;
  s.movingFraction = v.movingFraction;
  s.centroidX = v.centroidX;
  s.centroidY = v.centroidY;
  s.velocityX.store(v.velocityX);
  s.velocityY = v.velocityY;
  s.speed = v.speed;
  s.leftGain.store(v.leftGain);
  s.rightGain.store(v.rightGain);
  s.lastCentroidX = v.lastCentroidX;
  s.lastCentroidY = v.lastCentroidY;
}

// Brings the difference plane to "no change" (127 everywhere) for the frame.
void settleOn(const TestFrame& frame, float& timeMs) {
  feed(frame, timeMs += 33.0f);
  feed(frame, timeMs += 33.0f);
  feed(frame, timeMs += 33.0f);
}

}  // namespace

TEST(MotionAnalysisPass, MatchesPlainModelForEveryWidthAndTail) {
  std::mt19937 rng(7);
  for (int32_t w : {1, 2, 15, 16, 17, 31, 32, 33, 47, 640}) {
    for (int32_t h : {1, 3}) {
      ASSERT_TRUE(startMode(w, h));
      const size_t n = samplesOf(w, h);
      ModelPlanes m{std::vector<uint8_t>(3 * n), std::vector<uint8_t>(n), std::vector<uint8_t>(n),
                    std::vector<uint8_t>(n)};
      for (int frameNo = 0; frameNo < 4; ++frameNo) {
        // Mostly small changes with some large ones, so both sides of the band occur.
        const TestFrame frame(w, h, [&](int32_t, int32_t) {
          return static_cast<uint8_t>(rng() % 4 == 0 ? rng() : 100 + rng() % 16);
        });
        const MotionCounts expected = modelPass(frame, m);
        std::swap(m.previous, m.next);
        const MotionCounts got = pass(frame);
        SCOPED_TRACE(testing::Message() << w << "x" << h << " frame " << frameNo);
        EXPECT_EQ(got.count, expected.count);
        EXPECT_EQ(got.sumColumns, expected.sumColumns);
        EXPECT_EQ(got.sumRows, expected.sumRows);
        EXPECT_EQ(plane(frameBuffers.greyImageOut, 3 * n), m.grey);
        EXPECT_EQ(plane(frameBuffers.difference, n), m.difference);
        EXPECT_EQ(plane(frameBuffers.brightnessPrevious, n), m.previous);
      }
    }
  }
}

// A threshold and a mask, alone and together, in block and tail columns.
TEST(MotionAnalysisPass, ThresholdAndMaskMatchThePlainModel) {
  std::mt19937 rng(11);
  for (const int threshold : {0, 1, 40, 255}) {
    for (const bool masked : {false, true}) {
      if (threshold == 0 && !masked) continue;
      for (int32_t w : {1, 15, 16, 17, 33, 640}) {
        const int32_t h = 3;
        const size_t n = samplesOf(w, h);
        MaskPicture mask;
        if (masked) mask = {w, h, std::vector<uint8_t>(n)};
        for (uint8_t& b : mask.brightness) b = static_cast<uint8_t>(rng());
        setMotionMask(mask);
        setMotionTuning(MotionTuning{threshold, 100.0});
        ASSERT_TRUE(startMode(w, h));
        ASSERT_EQ(frameBuffers.mask != nullptr, masked);
        ModelPlanes m{std::vector<uint8_t>(3 * n), std::vector<uint8_t>(n), std::vector<uint8_t>(n),
                      std::vector<uint8_t>(n)};
        for (int frameNo = 0; frameNo < 4; ++frameNo) {
          const TestFrame frame(w, h, [&](int32_t, int32_t) {
            return static_cast<uint8_t>(rng() % 4 == 0 ? rng() : 100 + rng() % 64);
          });
          const MotionCounts expected = modelPass(frame, m, threshold, mask.brightness);
          std::swap(m.previous, m.next);
          const MotionCounts got = pass(frame);
          SCOPED_TRACE(testing::Message() << "threshold " << threshold << (masked ? ", masked " : ", ") << w
                                          << "x" << h << " frame " << frameNo);
          EXPECT_EQ(got.count, expected.count);
          EXPECT_EQ(got.sumColumns, expected.sumColumns);
          EXPECT_EQ(got.sumRows, expected.sumRows);
          EXPECT_EQ(plane(frameBuffers.greyImageOut, 3 * n), m.grey);
          EXPECT_EQ(plane(frameBuffers.difference, n), m.difference);
        }
      }
    }
  }
  setMotionMask(MaskPicture{});
  setMotionTuning(MotionTuning{});
}

// A threshold of N: every brightness pair that differs by N or more either way.
TEST(MotionAnalysisPass, ThresholdCountsEveryPairThatChangedByAtLeastIt) {
  ASSERT_TRUE(startMode(256, 256));
  const TestFrame before(256, 256, [](int32_t j, int32_t) { return static_cast<uint8_t>(j); });
  const TestFrame after(256, 256, [](int32_t, int32_t k) { return static_cast<uint8_t>(k); });
  for (const int threshold : {1, 2, 60, 61, 62, 63, 64, 254, 255}) {
    setMotionTuning(MotionTuning{threshold, 100.0});
    pass(before);
    pass(after);
    int64_t expected = 0;
    for (int prev = 0; prev < 256; ++prev) {
      for (int cur = 0; cur < 256; ++cur) expected += std::abs(cur - prev) >= threshold;
    }
    EXPECT_EQ(pass(after).count, expected) << threshold;
  }
  setMotionTuning(MotionTuning{});
}

// The moving fraction is the share of the watched samples, and only they
// enter the centroid; a frame in which more than the ignore-over share moved
// counts as none and leaves the rest of the record as it was.
TEST(MotionAnalysisSummary, MaskedShareAndIgnoredSweepingChange) {
  setMotionMask(MaskPicture{2, 1, {0, 255}});  // the right half watched
  // Rows 0-4 brighten in columns 10-29 (the ignored ones too), or only in the watched 20-29.
  const auto brighten = [](int32_t firstColumn) {
    return TestFrame(40, 10, [firstColumn](int32_t j, int32_t k) {
      return static_cast<uint8_t>(j < 5 && k >= firstColumn && k < 30 ? 200 : 0);
    });
  };
  for (const double ignoreOver : {30.0, 80.0}) {
    std::vector<Snapshot> records;
    for (const int32_t firstColumn : {10, 20}) {
      setMotionTuning(MotionTuning{0, ignoreOver});
      ASSERT_TRUE(startMode(40, 10));
      EXPECT_EQ(watchedSamples(), 200);
      float timeMs = 0.0f;
      settleOn(uniformFrame(40, 10, 0), timeMs);
      feed(brighten(firstColumn), timeMs += 33.0f);
      feed(brighten(firstColumn), timeMs += 33.0f);
      EXPECT_EQ(motionState.movingFraction, 0.25f) << "50 of the 200 watched samples";
      records.push_back(snapshot());
    }
    EXPECT_EQ(std::memcmp(&records[0], &records[1], sizeof(Snapshot)), 0) << "ignored samples changed the record";
    // Then 150 watched samples change at once: 75 %.
    float timeMs = 1000.0f;
    feed(uniformFrame(40, 10, 255), timeMs);
    feed(uniformFrame(40, 10, 255), timeMs += 33.0f);
    EXPECT_EQ(motionState.movingFraction, ignoreOver < 75.0 ? 0.0f : 0.75f) << ignoreOver;
    if (ignoreOver < 75.0) {
      EXPECT_EQ(motionState.centroidX, records[1].centroidX);
    }
  }
  setMotionMask(MaskPicture{});
  setMotionTuning(MotionTuning{});
}

TEST(MotionAnalysisPass, DifferenceAndBandForEveryBrightnessPair) {
  // Row = previous brightness, column = current brightness: all 65 536 pairs.
  ASSERT_TRUE(startMode(256, 256));
  const TestFrame before(256, 256, [](int32_t j, int32_t) { return static_cast<uint8_t>(j); });
  const TestFrame after(256, 256, [](int32_t, int32_t k) { return static_cast<uint8_t>(k); });
  pass(before);
  pass(after);
  int64_t expectedCount = 0;
  for (int prev = 0; prev < 256; ++prev) {
    for (int cur = 0; cur < 256; ++cur) {
      const size_t i = static_cast<size_t>(prev) * 256 + cur;
      ASSERT_EQ(frameBuffers.difference[i], (cur - prev + 255) / 2) << prev << " -> " << cur;
      expectedCount += (cur - prev >= 63 || cur - prev <= -60) ? 1 : 0;
    }
  }
  EXPECT_EQ(pass(after).count, expectedCount);
}

TEST(MotionAnalysisPass, BandEdgesInBlockAndTailColumns) {
  ASSERT_TRUE(startMode(20, 2));
  const TestFrame steady = uniformFrame(20, 2, 100);
  TestFrame changed = uniformFrame(20, 2, 100);
  for (int32_t j = 0; j < 2; ++j) {
    changed.at(j, 3) = 163;  // +63 moves
    changed.at(j, 5) = 162;  // +62 does not
    changed.at(j, 17) = 40;  // -60 moves
    changed.at(j, 18) = 41;  // -59 does not
  }
  pass(steady);
  pass(changed);
  EXPECT_EQ(frameBuffers.difference[3], 159);
  EXPECT_EQ(frameBuffers.difference[5], 158);
  EXPECT_EQ(frameBuffers.difference[17], 97);
  EXPECT_EQ(frameBuffers.difference[18], 98);
  EXPECT_EQ(frameBuffers.difference[0], 127);
  const MotionCounts c = pass(changed);
  EXPECT_EQ(c.count, 4);
  EXPECT_EQ(c.sumColumns, 2 * (3 + 17));
  EXPECT_EQ(c.sumRows, 2);
  // The grey picture shows the classified values.
  EXPECT_EQ(frameBuffers.greyImageOut[3 * 5 + 2], 158);
  EXPECT_EQ(frameBuffers.greyImageOut[3 * (20 + 17)], 97);
}

TEST(MotionAnalysisPass, SumsStayExactBeyondThirtyTwoBitModes) {
  // 1920 x 1200, all moving: the column sum exceeds 2^31.
  ASSERT_TRUE(startMode(1920, 1200));
  const MotionCounts c = scanSamples(uniformFrame(1920, 1200, 9).bytes.data());
  EXPECT_EQ(c.count, 1920 * 1200);
  EXPECT_EQ(c.sumColumns, int64_t{1200} * 1919 * 1920 / 2);
  EXPECT_EQ(c.sumRows, int64_t{1920} * 1199 * 1200 / 2);
  EXPECT_GT(c.sumColumns, int64_t{INT32_MAX});
  const float x = static_cast<float>(1.0 - 1919.0 / 3840.0);
  publishMotion(c);
  EXPECT_FLOAT_EQ(motionState.movingFraction, 1.0f);
  EXPECT_FLOAT_EQ(motionState.centroidX, static_cast<float>(0.95 * x));
}

TEST(MotionAnalysisCalls, FirstCallCountsEverySampleAndLeavesGreyBlack) {
  const int32_t w = 40, h = 30;
  ASSERT_TRUE(startMode(w, h));
  const TestFrame frame(w, h, [](int32_t j, int32_t k) { return static_cast<uint8_t>(j * 5 + k); });
  EXPECT_EQ(feed(frame, 40.0f), 1);
  const float x = static_cast<float>(1.0 - (w - 1) / (2.0 * w));
  const double y = 1.0 - (h - 1) / (2.0 * h);  // not rounded before the smoothing
  EXPECT_EQ(motionState.movingFraction, 1.0f);
  EXPECT_FLOAT_EQ(motionState.centroidX, static_cast<float>(0.95 * x));
  EXPECT_FLOAT_EQ(motionState.centroidY, static_cast<float>(0.95 * y));
  EXPECT_FLOAT_EQ(motionState.velocityX, static_cast<float>(0.95 * x / 40.0 * 1000.0 * 0.25));
  EXPECT_FLOAT_EQ(motionState.lastCentroidX, motionState.centroidX);
  EXPECT_FLOAT_EQ(motionState.rightGain, std::sqrt(motionState.centroidX));
  const size_t n = samplesOf(w, h);
  EXPECT_EQ(plane(frameBuffers.greyImageOut, 3 * n), std::vector<uint8_t>(3 * n, 0));
  EXPECT_EQ(frameBuffers.brightnessNext[3 * w + 7], 3 * 5 + 7);
}

// The first call's summary, bit for bit. Expected values worked out apart from
// this code, with exact rationals rounded the way the written arithmetic
// rounds: each double operation to double, each stored field to float, x to
// float before the smoothing and y not. An optimiser that dropped x's
// rounding stores centroidX one unit higher (0x3ef3947b, 0x3ef3f5c3); one
// that rounded y as well stores 0x3ef4369e at 320 x 240.
TEST(MotionAnalysisSummary, FirstCallStoresTheBitsOfTheWrittenArithmetic) {
  struct Case {
    int32_t width, height;
    uint32_t centroidX, centroidY, velocityX, velocityY, speed, leftGain, rightGain;
  };
  const Case cases[] = {
      {640, 480, 0x3ef3947a, 0x3ef3b4e8, 0x403e4bff, 0x403e6555, 0x4086985f, 0x3f395bc5, 0x3f3092d8},
      {320, 240, 0x3ef3f5c2, 0x3ef4369d, 0x403e9800, 0x403ecaab, 0x4086d713, 0x3f393a2b, 0x3f30b617},
  };
  const auto bits = [](float v) { return std::bit_cast<uint32_t>(v); };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    ASSERT_TRUE(startMode(c.width, c.height));
    feed(uniformFrame(c.width, c.height, 50), 40.0f);  // the first frame: every sample moves
    const MotionState& s = motionState;
    EXPECT_EQ(bits(s.movingFraction), 0x3f800000u);
    EXPECT_EQ(bits(s.centroidX), c.centroidX);
    EXPECT_EQ(bits(s.centroidY), c.centroidY);
    EXPECT_EQ(bits(s.velocityX.load()), c.velocityX);
    EXPECT_EQ(bits(s.velocityY), c.velocityY);
    EXPECT_EQ(bits(s.speed), c.speed);
    EXPECT_EQ(bits(s.leftGain.load()), c.leftGain);
    EXPECT_EQ(bits(s.rightGain.load()), c.rightGain);
    EXPECT_EQ(bits(s.lastCentroidX), c.centroidX);
    EXPECT_EQ(bits(s.lastCentroidY), c.centroidY);
  }
}

TEST(MotionAnalysisCalls, SecondCallMovesExactlyWhereFirstFrameWasAtLeast63) {
  const int32_t w = 50, h = 6;
  ASSERT_TRUE(startMode(w, h));
  const TestFrame first(w, h,
                        [](int32_t j, int32_t k) { return static_cast<uint8_t>((j * 31 + k * 3) % 90); });
  pass(first);
  int64_t count = 0, sumColumns = 0, sumRows = 0;
  for (int32_t j = 0; j < h; ++j)
    for (int32_t k = 0; k < w; ++k)
      if ((j * 31 + k * 3) % 90 >= 63) ++count, sumColumns += k, sumRows += j;
  ASSERT_GT(count, 0);
  const MotionCounts c = pass(uniformFrame(w, h, 0));
  EXPECT_EQ(c.count, count);
  EXPECT_EQ(c.sumColumns, sumColumns);
  EXPECT_EQ(c.sumRows, sumRows);
}

TEST(MotionAnalysisCalls, IdenticalFramesThenNoMotionKeepsEveryOtherField) {
  const int32_t w = 24, h = 8;
  ASSERT_TRUE(startMode(w, h));
  const TestFrame frame(w, h, [](int32_t j, int32_t k) { return static_cast<uint8_t>(j * k); });
  feed(frame, 33.0f);
  feed(frame, 66.0f);
  EXPECT_EQ(plane(frameBuffers.difference, samplesOf(w, h)), std::vector<uint8_t>(samplesOf(w, h), 127));
  const Snapshot before{0.5f, 0.25f, 0.75f, -1.5f, 2.5f, 3.0f, 0.8f, 0.6f, 0.3f, 0.7f};
  setState(before);
  feed(frame, 99.0f);
  const Snapshot after = snapshot();
  EXPECT_EQ(after.movingFraction, 0.0f);
  EXPECT_EQ(after.centroidX, before.centroidX);
  EXPECT_EQ(after.centroidY, before.centroidY);
  EXPECT_EQ(after.velocityX, before.velocityX);
  EXPECT_EQ(after.velocityY, before.velocityY);
  EXPECT_EQ(after.speed, before.speed);
  EXPECT_EQ(after.leftGain, before.leftGain);
  EXPECT_EQ(after.rightGain, before.rightGain);
  EXPECT_EQ(after.lastCentroidX, before.lastCentroidX);
  EXPECT_EQ(after.lastCentroidY, before.lastCentroidY);
}

TEST(MotionAnalysisSummary, CentroidExtremesAndEqualPowerGains) {
  const int32_t w = 32, h = 8;
  float t = 0.0f;
  {
    // Only sample (0, 0) moves: x = 1 and y = 1.
    ASSERT_TRUE(startMode(w, h));
    const TestFrame steady = uniformFrame(w, h, 100);
    TestFrame changed = uniformFrame(w, h, 100);
    changed.at(0, 0) = 200;
    settleOn(steady, t);
    feed(changed, t += 33.0f);
    setState(Snapshot{0, 1.0f, 1.0f, 0, 0, 0, 0, 0, 1.0f, 1.0f});
    feed(changed, t += 33.0f);
    EXPECT_FLOAT_EQ(motionState.movingFraction, 1.0f / (w * h));
    EXPECT_EQ(motionState.centroidX, 1.0f);
    EXPECT_EQ(motionState.centroidY, 1.0f);
    EXPECT_EQ(motionState.leftGain, 0.0f);
    EXPECT_EQ(motionState.rightGain, 1.0f);
    EXPECT_EQ(motionState.speed, 0.0f);
  }
  {
    // The whole last column moves: x = 1 / W, y = 1 - (H - 1) / 2H.
    ASSERT_TRUE(startMode(w, h));
    const TestFrame steady = uniformFrame(w, h, 100);
    TestFrame changed = uniformFrame(w, h, 100);
    for (int32_t j = 0; j < h; ++j) changed.at(j, w - 1) = 20;
    settleOn(steady, t);
    feed(changed, t += 33.0f);
    resetMotionState();
    feed(changed, t += 33.0f);
    const double c = 5.0 * static_cast<double>(1.0f / w);
    EXPECT_FLOAT_EQ(motionState.centroidX, static_cast<float>(c * static_cast<float>(1.0 / w)));
    EXPECT_FLOAT_EQ(motionState.centroidY, static_cast<float>(c * (1.0 - (h - 1) / (2.0 * h))));
    const float l = motionState.leftGain, r = motionState.rightGain;
    EXPECT_NEAR(l * l + r * r, 1.0f, 1e-6f);
    EXPECT_GT(l, r);  // motion in the last column weights the left channel
  }
}

TEST(MotionAnalysisSummary, WeightFollowsMovingShareUpToItsCap) {
  // 100 x 10 samples; `moving` samples of the first row(s) change.
  struct Case {
    int moving;
    double weight;
  };
  for (const Case& cs : {Case{10, 0.05}, Case{100, 0.5}, Case{190, 0.95}, Case{600, 0.95}}) {
    SCOPED_TRACE(cs.moving);
    ASSERT_TRUE(startMode(100, 10));
    float t = 0.0f;
    const TestFrame steady = uniformFrame(100, 10, 100);
    TestFrame changed = uniformFrame(100, 10, 100);
    double sumColumns = 0, sumRows = 0;
    for (int s = 0; s < cs.moving; ++s) {
      changed.at(s / 100, s % 100) = 250;
      sumColumns += s % 100;
      sumRows += s / 100;
    }
    settleOn(steady, t);
    feed(changed, t += 33.0f);
    setState(Snapshot{0, 0.5f, 0.5f, 0, 0, 0, 0, 0, 0.5f, 0.5f});
    feed(changed, t += 33.0f);
    const float x = static_cast<float>(1.0 - sumColumns / (100.0 * cs.moving));
    const double y = 1.0 - sumRows / (10.0 * cs.moving);
    EXPECT_FLOAT_EQ(motionState.movingFraction, static_cast<float>(cs.moving / 1000.0));
    EXPECT_FLOAT_EQ(motionState.centroidX, static_cast<float>((1 - cs.weight) * 0.5 + cs.weight * x));
    EXPECT_FLOAT_EQ(motionState.centroidY, static_cast<float>((1 - cs.weight) * 0.5 + cs.weight * y));
  }
}

TEST(MotionAnalysisSummary, VelocitySmoothsOverTheFrameIntervalAndSpeedFollows) {
  ASSERT_TRUE(startMode(40, 4));
  float t = 0.0f;
  const TestFrame steady = uniformFrame(40, 4, 100);
  TestFrame changed = uniformFrame(40, 4, 100);
  for (int32_t k = 0; k < 40; ++k) changed.at(0, k) = 0;  // the whole first row: x = 1 - 19.5/40, y = 1
  settleOn(steady, t);
  feed(changed, t += 33.0f);
  setState(Snapshot{0, 0.2f, 0.2f, 4.0f, -2.0f, 0, 0, 0, 0.2f, 0.2f});
  feed(changed, t += 50.0f);
  // Share 0.25: weight 0.95.
  const float cx = static_cast<float>(0.05 * 0.2f + 0.95 * static_cast<float>(1.0 - 19.5 / 40.0));
  const float cy = static_cast<float>(0.05 * 0.2f + 0.95 * 1.0);
  ASSERT_FLOAT_EQ(motionState.centroidX, cx);
  ASSERT_FLOAT_EQ(motionState.centroidY, cy);
  const float vx = static_cast<float>((static_cast<double>(cx) - 0.2f) / 50.0 * 1000.0 * 0.25 + 0.75 * 4.0);
  const float vy = static_cast<float>((static_cast<double>(cy) - 0.2f) / 50.0 * 1000.0 * 0.25 + 0.75 * -2.0);
  EXPECT_FLOAT_EQ(motionState.velocityX, vx);
  EXPECT_FLOAT_EQ(motionState.velocityY, vy);
  EXPECT_FLOAT_EQ(motionState.speed, std::hypot(vx, vy));
  EXPECT_EQ(motionState.lastCentroidX, motionState.centroidX);
  EXPECT_EQ(motionState.lastCentroidY, motionState.centroidY);
}

TEST(MotionAnalysisSummary, UnusableIntervalKeepsVelocitiesSpeedAndLastCentroid) {
  struct Case {
    const char* name;
    float previousTime, time;
  };
  const Case cases[] = {{"zero", 66.0f, 66.0f},
                        {"infinite", 66.0f, INFINITY},
                        {"from infinite", INFINITY, 99.0f},
                        {"not a number", 66.0f, NAN},
                        {"overflowing", 0.0f, 1e-44f}};
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.name);
    ASSERT_TRUE(startMode(40, 4));
    float t = 0.0f;
    const TestFrame steady = uniformFrame(40, 4, 100);
    TestFrame changed = uniformFrame(40, 4, 100);
    for (int32_t k = 0; k < 40; ++k) changed.at(0, k) = 0;
    settleOn(steady, t);
    feed(changed, t += 33.0f);
    const Snapshot before{0, 0.2f, 0.2f, 4.0f, -2.0f, std::hypot(4.0f, -2.0f), 0, 0, 0.2f, 0.2f};
    setState(before);
    frameTiming.frameTime = cs.previousTime;
    frameTiming.exactFrameTime = cs.previousTime;
    feed(changed, cs.time);
    EXPECT_EQ(motionState.velocityX, before.velocityX);
    EXPECT_EQ(motionState.velocityY, before.velocityY);
    EXPECT_EQ(motionState.speed, before.speed);
    // The rest of the summary still runs.
    EXPECT_FLOAT_EQ(motionState.movingFraction, 0.25f);
    EXPECT_GT(motionState.centroidX, 0.4f);
    EXPECT_FLOAT_EQ(motionState.rightGain, std::sqrt(motionState.centroidX));
    // The next usable interval is measured against the last centroid it spans.
    EXPECT_EQ(motionState.lastCentroidX, before.lastCentroidX);
    EXPECT_EQ(motionState.lastCentroidY, before.lastCentroidY);
  }
}

// After about six days a float millisecond clock advances in 64 ms steps, so at
// 47 frames a second two of every three frame intervals read 0. The velocity
// must still come out as with the true intervals, not a third of it.
TEST(MotionAnalysisSummary, CoarseClockGivesTheVelocityOfTheTrueIntervals) {
  constexpr int32_t width = 160, height = 2, frameCount = 150;
  constexpr double period = 64.0 / 3.0;
  const auto velocityAfter = [&](double startMs) {
    EXPECT_TRUE(startMode(width, height));
    float t = static_cast<float>(startMs);
    settleOn(uniformFrame(width, height, 100), t);
    int32_t zeroIntervals = 0;
    for (int32_t n = 0; n < frameCount; ++n) {
      // A dark column walking one step a frame: a steady sideways motion.
      TestFrame frame = uniformFrame(width, height, 100);
      for (int32_t j = 0; j < height; ++j) frame.at(j, 5 + n) = 0;
      feed(frame, static_cast<float>(startMs + 1000.0 + n * period));
      zeroIntervals += frameTiming.frameInterval == 0.0f;
    }
    return std::make_pair(motionState.velocityX.load(), zeroIntervals);
  };
  const auto [exact, exactZeros] = velocityAfter(1000.0);
  const auto [coarse, coarseZeros] = velocityAfter(0x1p29);
  ASSERT_EQ(exactZeros, 0);
  ASSERT_GT(coarseZeros, frameCount / 2);
  // x falls by 1/160 per frame of 64/3 ms: -0.29 per second once smoothed.
  EXPECT_NEAR(exact, -1000.0 / (160.0 * period), 0.01);
  EXPECT_NEAR(coarse, exact, 0.03 * std::fabs(exact));
}

TEST(MotionAnalysisSummary, NegativeFirstIntervalIsUsedAsIs) {
  // A frame stamped before the start mark was set, then the first one after it.
  ASSERT_TRUE(startMode(40, 4));
  float t = 0.0f;
  const TestFrame steady = uniformFrame(40, 4, 100);
  TestFrame changed = uniformFrame(40, 4, 100);
  for (int32_t k = 0; k < 40; ++k) changed.at(0, k) = 0;
  settleOn(steady, t);
  feed(changed, t += 33.0f);
  setState(Snapshot{0, 0.2f, 0.2f, 0, 0, 0, 0, 0, 0.2f, 0.2f});
  frameTiming.frameTime = 500.0f;
  feed(changed, 20.0f);
  EXPECT_EQ(frameTiming.frameInterval, -480.0f);
  const float cx = motionState.centroidX;
  EXPECT_FLOAT_EQ(motionState.velocityX,
                  static_cast<float>((static_cast<double>(cx) - 0.2f) / -480.0 * 1000.0 * 0.25));
  EXPECT_LT(motionState.velocityX, 0.0f);
}
