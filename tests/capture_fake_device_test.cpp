// The fake V4L2 device against the kernel's documented rules: the camera
// tests can only be as strict as it is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera/capture_device_ops.h"
#include "support/fake_camera.h"

namespace {
using Clock = std::chrono::steady_clock;

const CaptureDeviceOps& device() { return captureDeviceOps(); }

// 0, or the errno of the refused call.
int call(int fd, unsigned long request, void* argument) {
  return device().ioctl(fd, request, argument) == 0 ? 0 : errno;
}

v4l2_buffer buffer(uint32_t index) {
  v4l2_buffer b{};
  b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b.memory = V4L2_MEMORY_MMAP;
  b.index = index;
  return b;
}

int requestBuffers(int fd, uint32_t count) {
  v4l2_requestbuffers request{};
  request.count = count;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  return call(fd, VIDIOC_REQBUFS, &request);
}

int queue(int fd, uint32_t index) {
  v4l2_buffer b = buffer(index);
  return call(fd, VIDIOC_QBUF, &b);
}

int stream(int fd, bool on) {
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  return call(fd, on ? VIDIOC_STREAMON : VIDIOC_STREAMOFF, &type);
}

short pollNow(int fd, short events = POLLIN) {
  pollfd wait{fd, events, 0};
  return device().poll(&wait, 1, 0) < 0 ? short(-1) : wait.revents;
}

std::string node() { return std::string(videoDeviceFolder()) + "/video0"; }

class FakeCameraDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    installFakeCamera(
        {{"video0",
          "Fake Cam",
          FakeNodeKind::Capture,
          {{V4L2_PIX_FMT_YUYV, FakeRange::Discrete, {{320, 240}}, FakeRange::Discrete, {{1, 30}}}},
          {}}});
  }
  void TearDown() override { uninstallFakeCamera(); }
  const std::vector<uint8_t> frame = std::vector<uint8_t>(320 * 240 * 2, 90);
};
}  // namespace

TEST_F(FakeCameraDevice, RefusesWhatTheKernelRefuses) {
  const int fd = device().open(node().c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  v4l2_buffer b = buffer(0);
  EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EINVAL);  // before STREAMON
  EXPECT_EQ(stream(fd, true), EINVAL);            // without buffers
  EXPECT_EQ(pollNow(fd), POLLERR);                // not streaming
  ASSERT_EQ(requestBuffers(fd, 2), 0);
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  EXPECT_EQ(call(fd, VIDIOC_S_FMT, &format), EBUSY);  // buffers allocated
  EXPECT_EQ(queue(fd, 0), 0);
  EXPECT_EQ(queue(fd, 0), EINVAL);  // already queued
  EXPECT_EQ(queue(fd, 2), EINVAL);  // out of range
  EXPECT_EQ(stream(fd, true), 0);
  EXPECT_EQ(requestBuffers(fd, 2), EBUSY);  // streaming
  EXPECT_EQ(pollNow(fd), 0);                // waiting for the driver
  EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EAGAIN);
  ASSERT_TRUE(fakeProduceFrame(frame));
  EXPECT_EQ(pollNow(fd), POLLIN);
  ASSERT_EQ(call(fd, VIDIOC_DQBUF, &b), 0);
  EXPECT_EQ(b.index, 0u);
  EXPECT_EQ(b.bytesused, frame.size());
  EXPECT_EQ(pollNow(fd), POLLERR);  // the driver holds no buffer
  // STREAMOFF hands every buffer back, done or queued, unfilled.
  ASSERT_EQ(queue(fd, 0), 0);
  ASSERT_EQ(queue(fd, 1), 0);
  ASSERT_TRUE(fakeProduceFrame(frame));
  EXPECT_EQ(stream(fd, false), 0);
  for (uint32_t i = 0; i < 2; ++i) {
    b = buffer(i);
    ASSERT_EQ(call(fd, VIDIOC_QUERYBUF, &b), 0);
    EXPECT_EQ(b.flags & (V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE), 0u) << i;
  }
  EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EINVAL);  // stopped
  // The queue belongs to the descriptor that allocated it.
  const int other = device().open(node().c_str(), O_RDWR | O_NONBLOCK);
  EXPECT_EQ(requestBuffers(other, 2), EBUSY);
  EXPECT_EQ(device().close(other), 0);
  // Mapped: shared, readable, at an offset QUERYBUF gave; freed while mapped,
  // the mapping keeps its memory (orphaned, as since Linux 5.0).
  b = buffer(0);
  ASSERT_EQ(call(fd, VIDIOC_QUERYBUF, &b), 0);
  EXPECT_EQ(device().mmap(nullptr, b.length, PROT_READ, MAP_PRIVATE, fd, b.m.offset), MAP_FAILED);
  EXPECT_EQ(device().mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset + 1), MAP_FAILED);
  void* mapped = device().mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset);
  ASSERT_NE(mapped, MAP_FAILED);
  v4l2_requestbuffers freeing{0, V4L2_BUF_TYPE_VIDEO_CAPTURE, V4L2_MEMORY_MMAP, 0, 0, {}};
  EXPECT_EQ(call(fd, VIDIOC_REQBUFS, &freeing), 0);
  EXPECT_NE(freeing.capabilities & V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS, 0u);
  EXPECT_EQ(static_cast<const uint8_t*>(mapped)[0], 90);  // the last frame's, still there
  EXPECT_EQ(device().munmap(mapped, b.length), 0);
  EXPECT_EQ(device().close(fd), 0);
  const std::string misuse = fakeMisuse();
  EXPECT_EQ(std::count(misuse.begin(), misuse.end(), '\n'), 10) << misuse;
}

TEST_F(FakeCameraDevice, ABlockingDequeueWaitsForAFrameOrTheUnplug) {
  const int fd = device().open(node().c_str(), O_RDWR);  // blocking
  ASSERT_GE(fd, 0);
  ASSERT_EQ(requestBuffers(fd, 2), 0);
  ASSERT_EQ(queue(fd, 0), 0);
  ASSERT_EQ(queue(fd, 1), 0);
  ASSERT_EQ(stream(fd, true), 0);
  for (const bool unplug : {false, true}) {
    SCOPED_TRACE(unplug ? "unplugged meanwhile" : "a frame meanwhile");
    std::thread driver([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (unplug) fakeUnplug();
      else fakeProduceFrame(frame);
    });
    const auto before = Clock::now();
    v4l2_buffer b = buffer(0);
    const int result = call(fd, VIDIOC_DQBUF, &b);
    const auto waited = Clock::now() - before;
    driver.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(b.flags & V4L2_BUF_FLAG_ERROR, unplug ? V4L2_BUF_FLAG_ERROR : 0u);  // given back unfilled
    EXPECT_GE(waited, std::chrono::milliseconds(80));
  }
  EXPECT_EQ(fakeBlockingDequeues(), 2);
  EXPECT_FALSE(fakeWatchdogFired());
  EXPECT_EQ(fakeMisuse(), "");
  EXPECT_EQ(device().close(fd), 0);
}

TEST_F(FakeCameraDevice, ADequeueBlockedForASecondIsAHangTheWatchdogBreaks) {
  const int fd = device().open(node().c_str(), O_RDWR);
  ASSERT_EQ(requestBuffers(fd, 2), 0);
  ASSERT_EQ(queue(fd, 0), 0);
  ASSERT_EQ(stream(fd, true), 0);
  v4l2_buffer b = buffer(0);
  EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EIO);
  EXPECT_TRUE(fakeWatchdogFired());
  device().close(fd);
}

TEST_F(FakeCameraDevice, UnplugGivesTheBuffersBackThenUnregistersAndReplugIsANewDevice) {
  const int fd = device().open(node().c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_EQ(requestBuffers(fd, 2), 0);
  ASSERT_EQ(queue(fd, 0), 0);
  ASSERT_EQ(queue(fd, 1), 0);
  ASSERT_EQ(stream(fd, true), 0);
  ASSERT_TRUE(fakeProduceFrame(frame));
  v4l2_capability caps{};
  ASSERT_EQ(call(fd, VIDIOC_QUERYCAP, &caps), 0);
  const std::string bus = reinterpret_cast<const char*>(caps.bus_info);
  fakeUnplug();
  // First every buffer comes back, the one the driver held flagged...
  EXPECT_EQ(pollNow(fd, POLLIN | POLLPRI), POLLIN);
  EXPECT_EQ(call(fd, VIDIOC_QUERYCAP, &caps), 0);
  v4l2_buffer b = buffer(0);
  ASSERT_EQ(call(fd, VIDIOC_DQBUF, &b), 0);
  EXPECT_EQ(b.flags & V4L2_BUF_FLAG_ERROR, 0u);
  ASSERT_EQ(call(fd, VIDIOC_DQBUF, &b), 0);
  EXPECT_EQ(b.flags & V4L2_BUF_FLAG_ERROR, V4L2_BUF_FLAG_ERROR);
  // ...the next QBUF finds the device gone, and so does everything after it.
  EXPECT_EQ(queue(fd, 0), ENODEV);
  EXPECT_EQ(call(fd, VIDIOC_QUERYCAP, &caps), ENODEV);
  EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), ENODEV);
  EXPECT_EQ(pollNow(fd), POLLERR | POLLHUP);
  EXPECT_EQ(pollNow(fd, POLLIN | POLLPRI), POLLERR | POLLHUP | POLLPRI);
  EXPECT_LT(device().open(node().c_str(), O_RDWR | O_NONBLOCK), 0);
  EXPECT_EQ(errno, ENOENT);
  // Plugged in again: a new device behind the same node, on the same bus.
  fakeReplug();
  const int again = device().open(node().c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(again, 0);
  ASSERT_EQ(call(again, VIDIOC_QUERYCAP, &caps), 0);
  EXPECT_EQ(reinterpret_cast<const char*>(caps.bus_info), bus);
  EXPECT_EQ(requestBuffers(again, 2), 0);
  EXPECT_EQ(call(fd, VIDIOC_QUERYCAP, &caps), ENODEV);  // the old descriptor stays dead
  EXPECT_EQ(requestBuffers(again, 0), 0);
  EXPECT_EQ(device().close(fd), 0);
  EXPECT_EQ(device().close(again), 0);
  EXPECT_EQ(fakeMisuse(), "");
}

TEST_F(FakeCameraDevice, AFailedQueueOrAStoppedTransferLastsUntilStreamoff) {
  const int fd = device().open(node().c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_EQ(requestBuffers(fd, 2), 0);
  for (const bool queueError : {true, false}) {
    SCOPED_TRACE(queueError ? "vb2_queue_error" : "a USB transfer error");
    ASSERT_EQ(queue(fd, 0), 0);
    ASSERT_EQ(queue(fd, 1), 0);
    ASSERT_EQ(stream(fd, true), 0);
    ASSERT_TRUE(fakeProduceFrame(frame));
    v4l2_buffer b = buffer(0);
    if (queueError) {
      fakeQueueError();
      EXPECT_EQ(pollNow(fd), POLLERR);
      EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EIO);  // a done buffer or not
      EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EIO);
      EXPECT_EQ(stream(fd, true), 0);  // streaming already: nothing changes
      EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EIO);
    } else {
      fakeTransferError();
      ASSERT_EQ(call(fd, VIDIOC_DQBUF, &b), 0);  // the frame, then the buffer the driver held
      ASSERT_EQ(call(fd, VIDIOC_DQBUF, &b), 0);
      EXPECT_EQ(b.flags & V4L2_BUF_FLAG_ERROR, V4L2_BUF_FLAG_ERROR);
      ASSERT_EQ(queue(fd, b.index), 0);
      EXPECT_FALSE(fakeProduceFrame(frame));  // nothing completes, and nothing says so
      EXPECT_EQ(pollNow(fd), 0);
      EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EAGAIN);
    }
    EXPECT_EQ(stream(fd, false), 0);
    ASSERT_EQ(queue(fd, 0), 0);
    ASSERT_EQ(queue(fd, 1), 0);
    ASSERT_EQ(stream(fd, true), 0);
    EXPECT_TRUE(fakeProduceFrame(frame));
    EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), 0);
    EXPECT_EQ(stream(fd, false), 0);
  }
  EXPECT_EQ(device().close(fd), 0);
  EXPECT_EQ(fakeMisuse(), "");
}

TEST_F(FakeCameraDevice, AFailedStartLeavesTheBuffersQueuedAndNothingStreaming) {
  FakeNode booting = {
      "video0",
      "Fake Cam",
      FakeNodeKind::Capture,
      {{V4L2_PIX_FMT_YUYV, FakeRange::Discrete, {{320, 240}}, FakeRange::Discrete, {{1, 30}}}},
      {}};
  booting.driver.formatErrors = {EIO};
  booting.driver.startErrors = {ENOSPC, EPIPE};
  FakeNode pipeline = booting;
  pipeline.driver = {};
  pipeline.mediaController = true;
  for (const FakeNode& as : {booting, pipeline}) {
    SCOPED_TRACE(as.mediaController ? "a media-controller node" : "a camera still booting");
    fakeReplug("video0", as);
    const int fd = device().open(node().c_str(), O_RDWR | O_NONBLOCK);
    v4l2_capability caps{};
    ASSERT_EQ(call(fd, VIDIOC_QUERYCAP, &caps), 0);
    EXPECT_EQ((caps.device_caps & V4L2_CAP_IO_MC) != 0, as.mediaController);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix = {320, 240, V4L2_PIX_FMT_YUYV, V4L2_FIELD_NONE, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<int> errors =
        as.mediaController ? std::vector<int>{EPIPE, EPIPE} : std::vector<int>{ENOSPC, EPIPE, 0};
    EXPECT_EQ(call(fd, VIDIOC_S_FMT, &format), as.mediaController ? 0 : EIO);
    ASSERT_EQ(requestBuffers(fd, 2), 0);
    ASSERT_EQ(queue(fd, 0), 0);
    ASSERT_EQ(queue(fd, 1), 0);
    for (const int error : errors) {
      EXPECT_EQ(stream(fd, true), error);
      EXPECT_EQ(fakeQueuedBuffers(), 2);
      EXPECT_EQ(pollNow(fd), error ? POLLERR : 0);
    }
    EXPECT_EQ(device().close(fd), 0);
  }
  EXPECT_EQ(fakeMisuse(), "");
}

// Controls as uvcvideo answers them: S_EXT_CTRLS checks every control before
// it sets any (a refusal there gives error_idx = count), rounds and clamps a
// number, and refuses a value whose automatic is on.
TEST_F(FakeCameraDevice, ControlsAnswerAsTheVideoClassDriverDoes) {
  uninstallFakeCamera();
  FakeNode camera{"video0", "Fake Cam", FakeNodeKind::Capture, {}, {}};
  camera.controls = webcamControls();
  camera.controls.push_back({V4L2_CID_EXPOSURE_AUTO_PRIORITY, "Exposure, Dynamic Framerate",
                             V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 0, {}, 0, 0, true});
  installFakeCamera({camera});
  const int fd = device().open(node().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  struct Case {
    std::vector<v4l2_ext_control> set;
    int error;
    uint32_t errorIndex;
    int32_t last;  // the last control's value as the driver gives it back
  };
  auto control = [](uint32_t id, int32_t value) {
    v4l2_ext_control c{};
    c.id = id;
    c.value = value;
    return c;
  };
  const uint32_t unknown = V4L2_CID_ZOOM_ABSOLUTE;
  const std::vector<Case> cases = {
      {{control(V4L2_CID_BRIGHTNESS, 1000)}, 0, 0, 64},
      {{control(V4L2_CID_WHITE_BALANCE_TEMPERATURE, 4567)}, EACCES, 1, 4567},
      {{control(V4L2_CID_AUTO_WHITE_BALANCE, 0), control(V4L2_CID_WHITE_BALANCE_TEMPERATURE, 4567)}, 0, 0, 4570},
      {{control(V4L2_CID_EXPOSURE_AUTO, 2)}, EINVAL, 1, 2},
      {{control(V4L2_CID_EXPOSURE_AUTO, 4)}, ERANGE, 1, 4},
      {{control(V4L2_CID_EXPOSURE_AUTO_PRIORITY, 1)}, EACCES, 1, 1},
      {{control(V4L2_CID_GAIN, 40), control(unknown, 1)}, EINVAL, 2, 1},
  };
  for (const Case& c : cases) {
    std::vector<v4l2_ext_control> values = c.set;
    v4l2_ext_controls list{};
    list.count = uint32_t(values.size());
    list.controls = values.data();
    EXPECT_EQ(call(fd, VIDIOC_S_EXT_CTRLS, &list), c.error) << values.back().id;
    if (c.error) {
      EXPECT_EQ(list.error_idx, c.errorIndex) << values.back().id;
    }
    EXPECT_EQ(values.back().value, c.last) << values.back().id;
  }
  EXPECT_EQ(fakeControlValue(V4L2_CID_GAIN), 32);  // nothing of a refused call is set
  v4l2_query_ext_ctrl query{};
  query.id = V4L2_CID_EXPOSURE_ABSOLUTE;
  ASSERT_EQ(call(fd, VIDIOC_QUERY_EXT_CTRL, &query), 0);
  EXPECT_EQ(query.flags, uint32_t(V4L2_CTRL_FLAG_INACTIVE));  // auto_exposure is in Aperture Priority Mode
  query.id = unknown;
  EXPECT_EQ(call(fd, VIDIOC_QUERY_EXT_CTRL, &query), EINVAL);
  v4l2_querymenu entry{};
  entry.id = V4L2_CID_EXPOSURE_AUTO;
  entry.index = 2;  // left out of the camera's menu
  EXPECT_EQ(call(fd, VIDIOC_QUERYMENU, &entry), EINVAL);
  entry.index = 1;
  ASSERT_EQ(call(fd, VIDIOC_QUERYMENU, &entry), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(entry.name), "Manual Mode");
  EXPECT_EQ(device().close(fd), 0);
}
