#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "camera/capture_library.h"
#include "support/capture_device_fixture.h"
#include "support/fake_camera.h"
#include "support/frame_log.h"

TEST_F(CaptureThread, PaddedRowsArriveInTheAnalysisLayout) {
  installFakeCamera(oneCamera({.lineAlignment = 256}));  // 640 bytes of pixels a row, 768 with padding
  startStreaming();
  ASSERT_EQ(fakeCurrentFormat().bytesperline, 768u);
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(100)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  const std::vector<uint8_t> layout = loggedFrame(0);
  EXPECT_EQ(layout.size(), captureLayoutBytes(320, 240));
  EXPECT_EQ(lastTag(), 7u);
  EXPECT_EQ(lastUser(), 9u);
  int wrong = 0;
  for (int j = 0; j < 240; ++j)
    for (int k = 0; k < 320; ++k) wrong += layoutLuma(layout, 320, j, k) != 100 + (k & 7);
  EXPECT_EQ(wrong, 0);
}

TEST_F(CaptureThread, ShortAndErrorFramesAreDroppedAndRequeued) {
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

// A camera buffer as webcams fill it, and whether the analysis gets it.
struct MjpegCase {
  const char* what;
  std::function<Frame(const Frame& jpeg)> buffer;
  bool delivered;
};

TEST_F(CaptureThread, MjpegFramesAreTakenAsDecodersTakeThem) {
  installFakeCamera(oneCamera({}, {single(V4L2_PIX_FMT_MJPEG, 320, 240)}));
  startStreaming();
  auto cut = [](const Frame& jpeg, size_t keep) { return Frame(jpeg.begin(), jpeg.begin() + long(keep)); };
  const std::vector<MjpegCase> cases = {
      {"whole", [](const Frame& jpeg) { return jpeg; }, true},
      {"without Huffman tables", withoutHuffmanTables, true},
      {"zeros after the end marker",
       [](const Frame& jpeg) {
         Frame padded = jpeg;
         padded.resize(jpeg.size() + 16, 0);
         return padded;
       },
       true},
      {"an older frame's bytes after the end marker",
       [](const Frame& jpeg) {
         Frame stale = jpeg;
         stale.insert(stale.end(), jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2));
         return stale;
       },
       true},
      {"two zeros before the start marker",
       [](const Frame& jpeg) {
         Frame led = {0, 0};
         led.insert(led.end(), jpeg.begin(), jpeg.end());
         return led;
       },
       true},
      {"without its end marker", [&](const Frame& jpeg) { return cut(jpeg, jpeg.size() - 2); }, true},
      {"truncated in its scan", [&](const Frame& jpeg) { return cut(jpeg, jpeg.size() * 3 / 5); }, false},
      {"truncated, then an end marker",
       [&](const Frame& jpeg) {
         Frame ended = cut(jpeg, jpeg.size() * 3 / 5);
         ended.insert(ended.end(), {0xff, 0xd9});
         return ended;
       },
       false},
      {"truncated, then the next frame",
       [&](const Frame& jpeg) {
         Frame both = cut(jpeg, jpeg.size() * 3 / 5);
         both.insert(both.end(), jpeg.begin(), jpeg.end());
         return both;
       },
       false},
      {"damage the decoder would conceal", withDamagedScan, false},
  };
  int delivered = 0, level = 20;
  for (const MjpegCase& c : cases) {
    SCOPED_TRACE(c.what);
    const int caseLevel = level += 5;
    ASSERT_TRUE(produceWhenReady(c.buffer(jpegFrame(caseLevel))));
    // A whole frame after it shows whether this one got through.
    const int marker = level += 5;
    ASSERT_TRUE(produceWhenReady(jpegFrame(marker)));
    delivered += c.delivered ? 2 : 1;
    ASSERT_TRUE(waitForFrames(delivered, 2000));
    ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
    EXPECT_EQ(loggedFrames(), delivered);
    if (c.delivered) {
      EXPECT_EQ(offSmooth(loggedFrame(delivered - 2), 320, 240, caseLevel), 0);
    }
    EXPECT_EQ(offSmooth(loggedFrame(delivered - 1), 320, 240, marker), 0);
  }
}

TEST_F(CaptureThread, ACameraWithNoUsableFrameForTwoSecondsIsSaidOnceAndAgainWhenItRecovers) {
  installFakeCamera(oneCamera({}, {single(V4L2_PIX_FMT_MJPEG, 320, 240)}));
  testing::internal::CaptureStderr();
  startStreaming();
  ASSERT_TRUE(produceWhenReady(jpegFrame(40)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  // Then, for two and a half seconds, frames none of which can be used.
  const Frame jpeg = jpegFrame(50);
  const Frame unusable[] = {Frame(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2)), withDamagedScan(jpeg),
                            jpeg};
  const auto start = Clock::now();
  bool produced = true;
  for (int i = 0; produced && Clock::now() - start < std::chrono::milliseconds(2500); ++i) {
    const bool flagged = i % 3 == 2;
    produced = produceWhenReady(unusable[i % 3], 4, flagged ? V4L2_BUF_FLAG_ERROR : 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
  const int framesWhileSilent = loggedFrames();
  produced = produced && produceWhenReady(jpegFrame(60));
  const bool recovered = produced && waitForFrames(2, 2000);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(produced);
  EXPECT_EQ(framesWhileSilent, 1);
  EXPECT_TRUE(recovered);
  ASSERT_EQ(lineCount(lines), 2) << lines;
  const std::string silence = lines.substr(0, lines.find('\n'));
  const std::string back = lines.substr(lines.find('\n') + 1);
  EXPECT_EQ(silence.find("camera: none of the "), 0u) << silence;
  double seconds = 0;
  EXPECT_EQ(std::sscanf(silence.c_str(), "camera: none of the %*u frames of the last %lf s", &seconds), 1);
  EXPECT_GE(seconds, 2.0);
  EXPECT_LT(seconds, 2.5);
  EXPECT_EQ(back.find("camera: usable frames again after "), 0u) << back;
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

namespace {
std::atomic<bool> holdCallback{false};
std::atomic<int> heldCallbacks{0};
int32_t holdingCallback(uint32_t, const FrameRecord*, uint32_t) {
  ++heldCallbacks;
  while (holdCallback.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return 1;
}
}  // namespace

TEST_F(CaptureThread, ActivityTellsAStuckCallbackFromALiveCapture) {
  installFakeCamera(oneCamera());
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 1);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  const CaptureActivity idle = captureActivity(system);
  heldCallbacks = 0;
  holdCallback = false;
  ASSERT_GE(CVDevStartCap(system, 0, 0, holdingCallback, 0, &captureId), 0);
  ASSERT_TRUE(produceWhenReady(yuyvFrame(10)));
  ASSERT_TRUE(waitUntil(2000, [] { return heldCallbacks == 1; }));
  ASSERT_TRUE(waitUntil(2000, [&] { return captureActivity(system).framesDelivered == 1; }));
  const CaptureActivity live = captureActivity(system);
  holdCallback = true;
  ASSERT_TRUE(produceWhenReady(yuyvFrame(20)));
  ASSERT_TRUE(waitUntil(2000, [] { return heldCallbacks == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(captureStallMs + 200));
  const CaptureActivity stuck = captureActivity(system);
  holdCallback = false;
  const bool freed = waitUntil(2000, [&] { return captureActivity(system).framesDelivered == 2; });
  const CaptureActivity again = captureActivity(system);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const CaptureActivity stopped = captureActivity(system);
  EXPECT_EQ(idle.state, CaptureState::NotCapturing);
  EXPECT_EQ(live.state, CaptureState::Delivering);
  EXPECT_LT(live.millisecondsSinceSign, captureStallMs);
  EXPECT_EQ(stuck.state, CaptureState::Stalled);
  EXPECT_GE(stuck.millisecondsSinceSign, captureStallMs);
  EXPECT_EQ(stuck.framesDelivered, 1u);
  EXPECT_TRUE(freed);
  EXPECT_EQ(again.state, CaptureState::Delivering);
  EXPECT_EQ(stopped.state, CaptureState::NotCapturing);
}

// videobuf2's q->error sticks until STREAMOFF: the stream is restarted,
// once, and frames flow again.
TEST_F(CaptureThread, AFailedQueueIsRestartedAndFramesFlowAgain) {
  ASSERT_NO_FATAL_FAILURE(deliverOneFrame(oneCamera(), 40));
  ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
  fakeQueueError();
  const Frame frame = yuyvFrame(50);
  const bool flows = waitUntil(2000, [&] { return fakeProduceFrame(frame); }) && waitForFrames(2, 2000);
  const bool running = isCaptureRunning(system);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(flows);
  EXPECT_TRUE(running);
  ASSERT_EQ(lineCount(lines), 2) << lines;
  EXPECT_EQ(lines.substr(0, lines.find('\n')),
            "camera: the frame queue of Fake Cam failed (Input/output error): restarting its stream");
  EXPECT_EQ(lines.find("camera: frames from Fake Cam again after ", lines.find('\n')), lines.find('\n') + 1)
      << lines;
  if (flows) {
    EXPECT_EQ(layoutLuma(loggedFrame(1), 320, 0, 0), 50);
  }
}

// After a USB transfer error the video class driver completes nothing and
// says nothing. Two seconds without a buffer restart the stream; when that
// does not help either, the camera is opened again.
TEST_F(CaptureThread, AStreamThatStallsIsRestartedThenReopened) {
  for (const bool restartHelps : {true, false}) {
    SCOPED_TRACE(restartHelps ? "the restart helps" : "only reopening helps");
    ASSERT_NO_FATAL_FAILURE(deliverOneFrame(oneCamera(), 40));
    fakeTransferError();
    const auto stalled = Clock::now();
    if (!restartHelps) {  // it dies again as soon as it is restarted
      ASSERT_TRUE(waitUntil(4000, [] { return fakeStreamStarts() == 2; }));
      fakeTransferError();
    }
    const Frame frame = yuyvFrame(60);
    const bool produced = waitUntil(6000, [&] { return fakeProduceFrame(frame); });
    const auto recovered = Clock::now() - stalled;
    const bool flows = produced && waitForFrames(2, 2000);
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(flows);
    EXPECT_EQ(fakeStreamStarts(), restartHelps ? 2 : 3);
    EXPECT_GE(recovered, std::chrono::milliseconds(restartHelps ? 2000 : 4000));
    EXPECT_EQ(lines.find("camera: no frame from Fake Cam for 2.0 s: restarting its stream\n"), 0u) << lines;
    const size_t reopened = lines.find("camera: still no frame from Fake Cam: opening it again\n");
    EXPECT_EQ(reopened != std::string::npos, !restartHelps) << lines;
    EXPECT_NE(lines.find("camera: frames from Fake Cam again after "), std::string::npos) << lines;
    EXPECT_EQ(lineCount(lines), restartHelps ? 2 : 3) << lines;
    EXPECT_EQ(fakeMisuse(), "");
    uninstallFakeCamera();
  }
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
