#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "camera/capture_device_ops.h"
#include "camera/capture_library.h"
#include "support/capture_device_fixture.h"
#include "support/fake_camera.h"
#include "support/frame_log.h"

TEST_F(CaptureThread, UnplugIsSaidOnceAndWaitedOutWithoutSpinning) {
  // The layer may look while the driver gives its buffers back flagged (the
  // next QBUF: ENODEV) or only once the device is unregistered (ENODEV,
  // POLLERR | POLLHUP).
  for (const bool unregistered : {false, true}) {
    SCOPED_TRACE(unregistered ? "unregistered when the layer looks"
                              : "buffers given back when the layer looks");
    ASSERT_NO_FATAL_FAILURE(deliverOneFrame(oneCamera()));
    ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
    if (unregistered) {
      fakeUnregister();  // both steps at once
    } else {
      fakeUnplug();
    }
    fakeUnregister("video1");  // the camera's metadata node goes with it
    const bool waiting =
        waitUntil(2000, [&] { return captureActivity(system).state == CaptureState::WaitingForCamera; });
    const int polls = fakePollCalls();
    // The dead device is let go while the thread waits for it.
    const int descriptorsWhileWaiting = fakeOpenDescriptors();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int pollsLater = fakePollCalls();
    const bool running = isCaptureRunning(system);
    // Shutdown still runs cleanly while it waits.
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    EXPECT_GE(CVDevDisconnect(system), 0);
    EXPECT_GE(CVReleaseVidCap(system), 0);
    system = 0;
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(waiting);
    EXPECT_TRUE(running);
    EXPECT_EQ(pollsLater, polls);
    EXPECT_LT(polls, 10);
    EXPECT_EQ(descriptorsWhileWaiting, 0);
    EXPECT_EQ(errors, "camera: Camera unplugged (No such device): waiting for it to come back.\n");
    EXPECT_EQ(fakeOpenDescriptors(), 0);
    EXPECT_EQ(fakeMappedBuffers(), 0);
    EXPECT_EQ(fakeMisuse(), "");
    uninstallFakeCamera();
  }
}

namespace {
// How much the capture thread ("camera" in /proc) ran so far: context
// switches and nanoseconds on a processor. A loop that sleeps 1 ms shows
// hundreds of switches a second however little it does.
struct ThreadUse {
  long switches = -1;
  long long runNanoseconds = -1;
};

ThreadUse cameraThreadUse() {
  ThreadUse use;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (!std::getline(comm, name) || name != "camera") continue;
    std::ifstream status(task.path() / "status");
    use.switches = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos)
        use.switches += std::stol(line.substr(line.find(':') + 1));
    }
    std::ifstream(task.path() / "schedstat") >> use.runNanoseconds;
  }
  return use;
}
}  // namespace

TEST_F(CaptureThread, ACameraThatComesBackCarriesOnOtherwiseTheThreadSleepsUntilStopped) {
  const FakeNode same = oneCamera()[0];
  FakeNode otherModes = same;
  otherModes.formats = {single(V4L2_PIX_FMT_MJPEG, 1280, 720)};
  struct Case {
    const char* what;
    const FakeNode* replug;  // nullptr: never
    const char* lastLine;    // after the unplug line
  };
  const Case cases[] = {
      {"back in its mode", &same, "camera: Fake Cam is back at FOLDER/video0: capture goes on."},
      {"back without its mode", &otherModes,
       "camera: Fake Cam is back at FOLDER/video0 without the mode 320x240 YUYV at 30 fps: capture stays "
       "stopped."},
      {"never back", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(deliverOneFrame(oneCamera()));
    fakeUnplug();
    fakeUnregister("video1");
    ASSERT_TRUE(
        waitUntil(2000, [&] { return captureActivity(system).state == CaptureState::WaitingForCamera; }));
    const ThreadUse before = cameraThreadUse();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ThreadUse after = cameraThreadUse();
    const CaptureActivity asleep = captureActivity(system);
    bool flows = false, ended = false;
    CaptureState endState = CaptureState::NotCapturing;
    if (c.replug == &same) {
      fakeReplug("video0", *c.replug);
      fakeReplug("video1");
      flows = produceWhenReady(yuyvFrame(90)) && waitForFrames(2, 2000);
      endState = captureActivity(system).state;
    } else if (c.replug) {
      fakeReplug("video0", *c.replug);
      ended = waitUntil(2000, [&] { return !isCaptureRunning(system); });
      endState = captureActivity(system).state;
    }
    const auto stopAsked = Clock::now();
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    const auto stopTook = Clock::now() - stopAsked;
    EXPECT_GE(CVReleaseVidCap(system), 0);
    system = 0;
    const std::string lines = testing::internal::GetCapturedStderr();
    const std::string folder = videoDeviceFolder();
    EXPECT_GE(before.switches, 0) << "no thread named camera";
    EXPECT_LE(after.switches - before.switches, 2);
    EXPECT_LT(after.runNanoseconds - before.runNanoseconds, 1000000);
    EXPECT_GE(asleep.millisecondsSinceSign, 250u);
    EXPECT_EQ(asleep.framesDelivered, 1u);
    std::string expected = "camera: Camera unplugged (No such device): waiting for it to come back.\n";
    if (c.lastLine) {
      std::string last = c.lastLine;
      last.replace(last.find("FOLDER"), 6, folder);
      expected += last + "\n";
    }
    EXPECT_EQ(lines, expected);
    if (!c.replug) {
      EXPECT_LT(stopTook, std::chrono::milliseconds(100));
    } else if (c.replug == &same) {
      EXPECT_TRUE(flows);
      EXPECT_EQ(endState, CaptureState::Delivering);
      if (flows) {
        EXPECT_EQ(layoutLuma(loggedFrame(1), 320, 0, 0), 90);
      }
    } else {
      EXPECT_TRUE(ended);
      EXPECT_EQ(endState, CaptureState::Ended);
    }
    EXPECT_EQ(fakeOpenDescriptors(), 0);
    EXPECT_EQ(fakeMisuse(), "");
    uninstallFakeCamera();
  }
}

// A camera is known again by its USB port, or by its name on another port,
// but another camera of the same name that was there all along is not it.
TEST_F(CaptureThread, TheLostCameraIsKnownByItsPortOrNameButNotTakenForItsNamesake) {
  std::vector<FakeNode> nodes = oneCamera();
  nodes[0].busInfo = nodes[1].busInfo = "usb-0000:00:14.0-1";
  nodes.push_back({"video2",
                   "Fake Cam",
                   FakeNodeKind::Capture,
                   {single(V4L2_PIX_FMT_YUYV, 320, 240)},
                   {},
                   "usb-0000:00:14.0-2"});
  installFakeCamera(nodes);
  testing::internal::CaptureStderr();
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 2);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  ASSERT_GE(CVDevStartCap(system, 0, 7, logFrame, 9, &captureId), 0);
  ASSERT_TRUE(produceWhenReady(yuyvFrame(50)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  fakeUnplug();
  fakeUnregister("video1");
  ASSERT_TRUE(
      waitUntil(2000, [&] { return captureActivity(system).state == CaptureState::WaitingForCamera; }));
  fakeReplug("video1");  // the metadata node comes first: not a camera
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const CaptureState besideTheNamesake = captureActivity(system).state;
  FakeNode otherPort = nodes[0];
  otherPort.busInfo = "usb-0000:00:14.0-3";
  fakeReplug("video0", otherPort);
  const bool flows = produceWhenReady(yuyvFrame(90)) && waitForFrames(2, 2000);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_EQ(besideTheNamesake, CaptureState::WaitingForCamera);
  EXPECT_TRUE(flows);
  EXPECT_EQ(lines,
            "camera: Camera unplugged (No such device): waiting for it to come back.\n"
            "camera: Fake Cam is back at " +
                std::string(videoDeviceFolder()) + "/video0: capture goes on.\n");
}

// A camera still booting (or on a bus without bandwidth left) fails its
// start while its node is there: no /dev event will follow, so the layer
// tries again after a growing pause, saying each kind of failure once.
TEST_F(CaptureThread, AStartThatFailsWhileTheCameraIsThereIsTriedAgain) {
  FakeNode booting = oneCamera()[0];
  booting.driver.startErrors = {ENOSPC, ENOSPC};
  struct Case {
    const char* what;
    bool replugged;
    const char* lines;
  };
  const Case cases[] = {
      {"at start-up", false,
       "camera: Camera did not start streaming (No space left on device: the USB bus has no bandwidth left "
       "for "
       "it; plug it into another port, or use a camera fewer on that hub): trying again, at most 30 s "
       "apart.\n"
       "camera: Fake Cam streams at FOLDER/video0 after 3 attempts: capture goes on.\n"},
      {"after a replug", true,
       "camera: Camera unplugged (No such device): waiting for it to come back.\n"
       "camera: Camera did not start streaming (No space left on device: the USB bus has no bandwidth left "
       "for "
       "it; plug it into another port, or use a camera fewer on that hub): trying again, at most 30 s "
       "apart.\n"
       "camera: Fake Cam is back at FOLDER/video0: capture goes on.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FakeNode> nodes = oneCamera();
    if (!c.replugged) nodes[0] = booting;
    installFakeCamera(nodes);
    resetFrameLog();
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    startStreaming(c.replugged ? 4 : 0);
    if (c.replugged) {
      ASSERT_TRUE(fakeProduceFrame(yuyvFrame(50)));
      ASSERT_TRUE(waitForFrames(1, 2000));
      fakeUnplug();
      ASSERT_TRUE(
          waitUntil(2000, [&] { return captureActivity(system).state == CaptureState::WaitingForCamera; }));
      fakeReplug("video0", booting);
    }
    const Frame frame = yuyvFrame(90);
    const bool flows =
        waitUntil(6000, [&] { return fakeProduceFrame(frame); }) && waitForFrames(c.replugged ? 2 : 1, 2000);
    const auto took = Clock::now() - start;
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    EXPECT_GE(CVReleaseVidCap(system), 0);
    system = 0;
    std::string expected = c.lines;
    expected.replace(expected.find("FOLDER"), 6, videoDeviceFolder());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
    EXPECT_TRUE(flows);
    EXPECT_GE(took, std::chrono::milliseconds(3000));  // 1 s, then 2 s
    EXPECT_EQ(fakeMisuse(), "");
    uninstallFakeCamera();
  }
}
