#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_camera.h"
#include "support/frame_log.h"
#include "vision/capture_library.h"

namespace {
using Clock = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;

FakeFormat discreteYuyv() {
  return {V4L2_PIX_FMT_YUYV,
          FakeRange::Discrete,
          {{640, 480}, {320, 240}},
          FakeRange::Discrete,
          {{1, 30}, {1001, 15000}}};
}
FakeFormat stepwiseMjpeg() {
  return {V4L2_PIX_FMT_MJPEG,
          FakeRange::Stepwise,
          {{160, 120}, {1280, 720}},
          FakeRange::Continuous,
          {{1, 60}, {1, 5}}};
}
FakeFormat h264() {
  return {V4L2_PIX_FMT_H264, FakeRange::Discrete, {{1920, 1080}}, FakeRange::Discrete, {{1, 30}}};
}
FakeFormat single(uint32_t fourcc, uint32_t width, uint32_t height) {
  return {fourcc, FakeRange::Discrete, {{width, height}}, FakeRange::Discrete, {{1, 30}, {1, 15}}};
}

// One camera (a UVC pair: capture node and metadata node) whose first mode
// is `format` (320 x 240 YUYV unless said otherwise).
std::vector<FakeNode> oneCamera(FakeDriver driver = {},
                                std::vector<FakeFormat> formats = {single(V4L2_PIX_FMT_YUYV, 320, 240)}) {
  return {{"video0", "Fake Cam", FakeNodeKind::Capture, formats, driver},
          {"video1", "Fake Cam", FakeNodeKind::Metadata, {}, {}}};
}

struct Modes {
  int32_t width, height, rate;
  std::string format;
};

std::vector<Modes> listModes(uint32_t system) {
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
Frame yuyvFrame(uint8_t level) {
  const v4l2_pix_format f = fakeCurrentFormat();
  Frame frame(size_t(f.bytesperline) * f.height, 0xee);
  for (uint32_t j = 0; j < f.height; ++j)
    for (uint32_t k = 0; k < f.width; ++k) {
      frame[j * f.bytesperline + 2 * k] = uint8_t(level + (k & 7));
      frame[j * f.bytesperline + 2 * k + 1] = 128;
    }
  return frame;
}

uint8_t layoutLuma(const std::vector<uint8_t>& layout, int width, int j, int k) {
  return layout.at(size_t(j) * size_t(2 * width + 640) + 2 * size_t(k));
}

bool waitUntil(int timeoutMs, auto condition) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

int lineCount(const std::string& text) { return int(std::count(text.begin(), text.end(), '\n')); }

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
  // Produces a frame once the layer has every buffer back.
  bool produceWhenReady(const Frame& frame, int buffers = 4, uint32_t flags = 0, uint32_t bytesUsed = 0) {
    return waitUntil(2000, [&] { return fakeQueuedBuffers() == buffers; }) &&
           fakeProduceFrame(frame, flags, bytesUsed);
  }
  uint32_t system = 0;
  uint32_t captureId = 0;
};
using CaptureThread = CaptureDevice;
}  // namespace

TEST_F(CaptureDevice, ListsCaptureNodesInNumericOrderWithoutMetadataNodes) {
  installFakeCamera({{"video10", "Cam C", FakeNodeKind::Capture, {discreteYuyv()}, {}},
                     {"video2", "Cam B", FakeNodeKind::Capture, {discreteYuyv()}, {}},
                     {"video1", "Cam A", FakeNodeKind::Metadata, {}, {}},
                     {"video0", "Cam A", FakeNodeKind::Capture, {discreteYuyv()}, {}}});
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 3);
  const char* expected[] = {"Cam A", "Cam B", "Cam C"};
  for (int32_t i = 0; i < 3; ++i) {
    char name[256] = {};
    uint32_t capacity = 255;
    ASSERT_GE(CVGetDeviceName(system, i, name, &capacity), 0);
    EXPECT_STREQ(name, expected[i]);
  }
  char name[256] = "untouched";
  uint32_t capacity = 255;
  EXPECT_LT(CVGetDeviceName(system, 3, name, &capacity), 0);
  EXPECT_LT(CVGetDeviceName(system, -1, name, &capacity), 0);
  EXPECT_STREQ(name, "untouched");
  // A small capacity truncates and still terminates the text.
  capacity = 4;
  ASSERT_GE(CVGetDeviceName(system, 2, name, &capacity), 0);
  EXPECT_STREQ(name, "Cam");
  EXPECT_EQ(fakeOpenDescriptors(), 0);
}

TEST_F(CaptureDevice, NoNodesMeansNoDevices) {
  installFakeCamera({{"video0", "Meta", FakeNodeKind::Metadata, {}, {}}});
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  EXPECT_EQ(CVGetNumDevices(system), 0);
  EXPECT_LT(CVDevConnect(system, 0), 0);
}

TEST_F(CaptureDevice, ModesFollowDriverOrderWithRangeEnds) {
  installFakeCamera(
      {{"video0", "Cam", FakeNodeKind::Capture, {discreteYuyv(), h264(), stepwiseMjpeg()}, {}}});
  setFakeInterruptions(5, 0);  // enumeration survives signals
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 1);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  const std::vector<Modes> modes = listModes(system);
  const std::vector<Modes> expected = {
      {640, 480, 30, "YUYV"}, {640, 480, 15, "YUYV"}, {320, 240, 30, "YUYV"},  {320, 240, 15, "YUYV"},
      {160, 120, 60, "MJPG"}, {160, 120, 5, "MJPG"},  {1280, 720, 60, "MJPG"}, {1280, 720, 5, "MJPG"},
  };
  ASSERT_EQ(modes.size(), expected.size());
  for (size_t i = 0; i < modes.size(); ++i) {
    EXPECT_EQ(modes[i].width, expected[i].width) << i;
    EXPECT_EQ(modes[i].height, expected[i].height) << i;
    EXPECT_EQ(modes[i].rate, expected[i].rate) << i;
    EXPECT_EQ(modes[i].format, expected[i].format) << i;
  }
  int32_t w = -5;
  EXPECT_LT(CVDevGetModeInfo(system, 8, &w, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(w, -5);
  EXPECT_EQ(fakeOpenDescriptors(), 1);
  CVDevDisconnect(system);
  EXPECT_EQ(fakeOpenDescriptors(), 0);
  EXPECT_LT(CVDevGetNumModes(system), 0);
}

TEST_F(CaptureDevice, HandlesAreCheckedAndReleased) {
  installFakeCamera(oneCamera());
  EXPECT_LT(CVGetNumDevices(0), 0);
  EXPECT_LT(CVGetNumDevices(99), 0);
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  EXPECT_GT(system, 0u);
  EXPECT_LT(CVDevGetNumModes(system), 0);  // not connected yet
  EXPECT_LT(CVDevStartCap(system, 0, 0, logFrame, 0, &captureId), 0);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  EXPECT_LT(CVDevConnect(system, 0), 0);                               // already connected
  EXPECT_LT(CVDevStartCap(system, 2, 0, logFrame, 0, &captureId), 0);  // no such mode
  EXPECT_GE(CVReleaseVidCap(system), 0);
  EXPECT_LT(CVGetNumDevices(system), 0);
  EXPECT_EQ(fakeOpenDescriptors(), 0);
  system = 0;
}

TEST_F(CaptureThread, FramesThatCannotBeWholeAreDroppedAndRequeued) {
  installFakeCamera(oneCamera());
  startStreaming();
  const Frame good = yuyvFrame(60);
  struct Bad {
    const char* what;
    uint32_t flags, bytesUsed;
  };
  const Bad bad[] = {
      {"bytesused short of the picture", 0, uint32_t(good.size() / 2)},
      {"damaged in transfer, whole length", V4L2_BUF_FLAG_ERROR, 0},
      {"damaged in transfer, partial data", V4L2_BUF_FLAG_ERROR, uint32_t(good.size() / 3)},
  };
  int delivered = 0;
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.what);
    ASSERT_TRUE(produceWhenReady(yuyvFrame(uint8_t(10 + delivered)), 4, b.flags, b.bytesUsed));
    // A whole frame after it shows whether the bad one got through.
    ASSERT_TRUE(produceWhenReady(yuyvFrame(uint8_t(80 + delivered))));
    ASSERT_TRUE(waitForFrames(++delivered, 2000));
    EXPECT_EQ(loggedFrames(), delivered);
    EXPECT_EQ(layoutLuma(loggedFrame(delivered - 1), 320, 5, 8), 80 + delivered - 1);
  }
  // Keeps going: every buffer came back.
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(produceWhenReady(yuyvFrame(uint8_t(90 + i))));
    ASSERT_TRUE(waitForFrames(delivered + 1 + i, 2000));
  }
}

TEST_F(CaptureThread, OnlyTheNewestReadyFrameIsDelivered) {
  installFakeCamera(oneCamera());
  startStreaming();
  ASSERT_TRUE(fakeProduceFrames({yuyvFrame(20), yuyvFrame(40), yuyvFrame(60)}));
  ASSERT_TRUE(waitForFrames(1, 2000));
  ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(loggedFrames(), 1);
  EXPECT_EQ(layoutLuma(loggedFrame(0), 320, 0, 0), 60);
}

TEST_F(CaptureThread, InterruptedCallsAreRetried) {
  installFakeCamera(oneCamera());
  startStreaming();
  setFakeInterruptions(3, 3);
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(30)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  EXPECT_EQ(layoutLuma(loggedFrame(0), 320, 10, 0), 30);
  EXPECT_TRUE(isCaptureRunning(system));
}

TEST_F(CaptureThread, DequeuesNeverWait) {
  // Waiting is poll's: a dequeue that blocked would keep the thread from
  // seeing a stop until the next frame, which may never come.
  installFakeCamera(oneCamera());
  startStreaming();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(produceWhenReady(yuyvFrame(uint8_t(10 * i))));
    ASSERT_TRUE(waitForFrames(i + 1, 2000));
  }
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  EXPECT_EQ(fakeBlockingDequeues(), 0);
}

TEST_F(CaptureThread, UnplugEndsTheThreadWithOneLineAndNoSpinning) {
  // The layer may look while the queue has failed (DQBUF: EIO, poll: POLLERR)
  // or only once the device is unregistered (ENODEV, POLLERR | POLLHUP).
  for (const bool unregistered : {false, true}) {
    SCOPED_TRACE(unregistered ? "unregistered when the layer looks" : "queue failed when the layer looks");
    installFakeCamera(oneCamera());
    resetFrameLog();
    testing::internal::CaptureStderr();
    startStreaming();
    ASSERT_TRUE(fakeProduceFrame(yuyvFrame(50)));
    ASSERT_TRUE(waitForFrames(1, 2000));
    ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
    if (unregistered) {
      fakeUnregister();  // both steps at once
    } else {
      fakeUnplug();
    }
    const bool ended = waitUntil(2000, [&] { return !isCaptureRunning(system); });
    const int polls = fakePollCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int pollsLater = fakePollCalls();
    // Shutdown still runs cleanly on the dead camera.
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    EXPECT_GE(CVDevDisconnect(system), 0);
    EXPECT_GE(CVReleaseVidCap(system), 0);
    system = 0;
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ended);
    EXPECT_EQ(pollsLater, polls);
    EXPECT_LT(polls, 10);
    EXPECT_NE(errors.find("unplugged"), std::string::npos) << errors;
    EXPECT_EQ(lineCount(errors), 1) << errors;
    EXPECT_EQ(fakeOpenDescriptors(), 0);
    EXPECT_EQ(fakeMappedBuffers(), 0);
    EXPECT_EQ(fakeMisuse(), "");
    uninstallFakeCamera();
  }
}

TEST_F(CaptureThread, ALostSignalIsRiddenOut) {
  installFakeCamera(oneCamera());
  testing::internal::CaptureStderr();
  startStreaming();
  setFakeDequeueFailures(1, EIO);
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(40)));
  const bool first = waitForFrames(1, 2000);
  bool kept = first;  // and the frames after it
  for (int i = 0; i < 4 && kept; ++i) {
    kept = produceWhenReady(yuyvFrame(uint8_t(50 + i))) && waitForFrames(2 + i, 2000);
  }
  const bool running = isCaptureRunning(system);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(first);
  EXPECT_TRUE(kept);
  EXPECT_TRUE(running);
  EXPECT_EQ(errors, "");
  if (kept) {
    EXPECT_EQ(layoutLuma(loggedFrame(4), 320, 0, 0), 53);
  }
}

TEST_F(CaptureThread, ASignalThatNeverReturnsEndsTheThreadWithOneLineAndNoSpinning) {
  installFakeCamera(oneCamera());
  testing::internal::CaptureStderr();
  startStreaming();
  setFakeDequeueFailures(-1, EIO);
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(40)));  // ready, but never to be dequeued
  // It pauses between attempts rather than giving up at the first error.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const bool stillTrying = isCaptureRunning(system);
  const int pollsWhileTrying = fakePollCalls();
  const bool ended = waitUntil(10000, [&] { return !isCaptureRunning(system); });
  const int polls = fakePollCalls();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int pollsLater = fakePollCalls();
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(stillTrying);
  EXPECT_LT(pollsWhileTrying, 20);
  EXPECT_TRUE(ended);
  EXPECT_EQ(pollsLater, polls);
  EXPECT_LT(polls, 60);
  EXPECT_NE(errors.find("Input/output error"), std::string::npos) << errors;
  EXPECT_EQ(lineCount(errors), 1) << errors;
}

TEST_F(CaptureThread, StopDuringAWaitReturnsPromptly) {
  installFakeCamera(oneCamera());
  startStreaming();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the thread sits in poll
  const auto before = Clock::now();
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
  EXPECT_FALSE(isCaptureRunning(system));
  EXPECT_LT(CVDevStopCap(system, captureId), 0);  // only once
  EXPECT_EQ(fakeMappedBuffers(), 0);
  // The camera can be started again.
  resetFrameLog();
  ASSERT_GE(CVDevStartCap(system, 0, 0, logFrame, 0, &captureId), 0);
  ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(10)));
  EXPECT_TRUE(waitForFrames(1, 2000));
}

TEST_F(CaptureThread, NoCallbackRunsAfterStopAndNeverTwoAtOnce) {
  installFakeCamera(oneCamera());
  startStreaming();
  std::atomic<bool> producing{true};
  std::thread producer([&] {
    uint8_t level = 0;
    while (producing.load()) {
      fakeProduceFrame(yuyvFrame(level++));
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  ASSERT_TRUE(waitForFrames(20, 5000));
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  markCaptureStopped();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  producing = false;
  producer.join();
  EXPECT_EQ(lateFrames(), 0);
  EXPECT_EQ(overlappingFrames(), 0);
}
