#pragma once
// The V4L2 camera layer's tests share these: a fake device's formats and
// frames, what the analysis layout holds after a frame, and a fixture that
// holds every test to the rules of the API and to never blocking.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camera/capture_library.h"
#include "support/fake_camera.h"
#include "support/frame_log.h"
#include "support/test_media.h"

using Clock = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;
using Layout = std::vector<uint8_t>;

inline FakeFormat discreteYuyv() {
  return {V4L2_PIX_FMT_YUYV,
          FakeRange::Discrete,
          {{640, 480}, {320, 240}},
          FakeRange::Discrete,
          {{1, 30}, {1001, 15000}}};
}
inline FakeFormat stepwiseMjpeg() {
  return {V4L2_PIX_FMT_MJPEG,
          FakeRange::Stepwise,
          {{160, 120}, {1280, 720}},
          FakeRange::Continuous,
          {{1, 60}, {1, 5}}};
}
inline FakeFormat h264() {
  return {V4L2_PIX_FMT_H264, FakeRange::Discrete, {{1920, 1080}}, FakeRange::Discrete, {{1, 30}}};
}
inline FakeFormat single(uint32_t fourcc, uint32_t width, uint32_t height) {
  return {fourcc, FakeRange::Discrete, {{width, height}}, FakeRange::Discrete, {{1, 30}, {1, 15}}};
}

// One camera (a UVC pair: capture node and metadata node) whose first mode
// is `format` (320 x 240 YUYV unless said otherwise).
inline std::vector<FakeNode> oneCamera(FakeDriver driver = {}, std::vector<FakeFormat> formats = {
                                                                   single(V4L2_PIX_FMT_YUYV, 320, 240)},
                                       std::vector<FakeControl> controls = {}) {
  return {{"video0", "Fake Cam", FakeNodeKind::Capture, formats, driver, "", false, controls},
          {"video1", "Fake Cam", FakeNodeKind::Metadata, {}, {}}};
}

struct Modes {
  int32_t width, height, rate;
  std::string format;
};

inline std::vector<Modes> listModes(uint32_t system) {
  std::vector<Modes> modes;
  const int32_t count = CVDevGetNumModes(system);
  for (int32_t i = 0; i < count; ++i) {
    int32_t w = 0, h = 0, rate = 0, code = 0;
    EXPECT_GE(CVDevGetModeInfo(system, i, &w, &h, &rate, &code), 0);
    char name[32] = {};
    uint32_t capacity = sizeof name;
    CVDevGetFormatName(system, code, name, &capacity);
    modes.push_back({w, h, rate, name});
  }
  return modes;
}

// A YUYV frame of the fake's current format whose luma is `level` plus the
// column's low bits, with padding bytes of 0xee.
inline Frame yuyvFrame(uint8_t level) {
  const v4l2_pix_format f = fakeCurrentFormat();
  Frame frame(size_t(f.bytesperline) * f.height, 0xee);
  for (uint32_t j = 0; j < f.height; ++j)
    for (uint32_t k = 0; k < f.width; ++k) {
      frame[j * f.bytesperline + 2 * k] = uint8_t(level + (k & 7));
      frame[j * f.bytesperline + 2 * k + 1] = 128;
    }
  return frame;
}

// A YUYV frame of the current format: dark (40) left half, bright (200) right.
inline Frame halvesFrame() {
  const v4l2_pix_format f = fakeCurrentFormat();
  Frame frame(size_t(f.bytesperline) * f.height, 128);
  for (uint32_t j = 0; j < f.height; ++j)
    for (uint32_t k = 0; k < f.width; ++k) frame[j * f.bytesperline + 2 * k] = k < f.width / 2 ? 40 : 200;
  return frame;
}

inline uint8_t smoothLuma(int j, int k, int width, int level) {
  return uint8_t(level + (100 * k) / width + j / 8);
}

// A JPEG, made by FFmpeg's encoder, of a smooth picture of the current size.
inline Frame jpegFrame(int level) {
  const v4l2_pix_format f = fakeCurrentFormat();
  const int width = int(f.width), height = int(f.height);
  std::vector<uint8_t> luma(size_t(width) * size_t(height));
  for (int j = 0; j < height; ++j)
    for (int k = 0; k < width; ++k) luma[size_t(j * width + k)] = smoothLuma(j, k, width, level);
  return encodeJpeg(luma, width, height);
}

inline uint8_t layoutLuma(const Layout& layout, int width, int j, int k) {
  return layout.at(size_t(j) * size_t(2 * width + 640) + 2 * size_t(k));
}

// Samples of the layout off the smooth picture by more than JPEG's few steps.
inline int offSmooth(const Layout& layout, int width, int height, int level) {
  int wrong = 0;
  for (int j = 0; j < height; ++j)
    for (int k = 0; k < width; ++k)
      wrong += std::abs(layoutLuma(layout, width, j, k) - smoothLuma(j, k, width, level)) > 3;
  return wrong;
}

inline bool waitUntil(int timeoutMs, auto condition) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

inline int lineCount(const std::string& text) { return int(std::count(text.begin(), text.end(), '\n')); }

class CaptureDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("TESSARO_CAMERA");
    resetFrameLog();
  }
  void TearDown() override {
    if (system) CVReleaseVidCap(system);
    // Every test holds the layer to the rules of the API, and to never block.
    EXPECT_EQ(fakeMisuse(), "");
    EXPECT_FALSE(fakeWatchdogFired());
    uninstallFakeCamera();
  }
  // Acquires, connects device 0 and starts mode 0; waits for the layer to
  // queue `buffers`.
  void startStreaming(int buffers = 4) {
    ASSERT_GE(CVAcquireVidCap(&system), 0);
    ASSERT_EQ(CVGetNumDevices(system), 1);
    ASSERT_GE(CVDevConnect(system, 0), 0);
    ASSERT_GE(CVDevStartCap(system, 0, 7, logFrame, 9, &captureId), 0);
    ASSERT_TRUE(waitUntil(2000, [&] { return fakeQueuedBuffers() == buffers; }));
  }
  // A fake camera of `nodes` streaming, its lines captured, and one frame
  // of `level` delivered.
  void deliverOneFrame(const std::vector<FakeNode>& nodes, uint8_t level = 50) {
    installFakeCamera(nodes);
    resetFrameLog();
    testing::internal::CaptureStderr();
    startStreaming();
    ASSERT_TRUE(fakeProduceFrame(yuyvFrame(level)));
    ASSERT_TRUE(waitForFrames(1, 2000));
  }
  // Produces a frame once the layer has every buffer back.
  bool produceWhenReady(const Frame& frame, int buffers = 4, uint32_t flags = 0, uint32_t bytesUsed = 0) {
    return waitUntil(2000, [&] { return fakeQueuedBuffers() == buffers; }) &&
           fakeProduceFrame(frame, flags, bytesUsed);
  }
  uint32_t system = 0;
  uint32_t captureId = 0;
};
using CaptureThread = CaptureDevice;
