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
  // Mapped: shared, readable, at an offset QUERYBUF gave; not freed while mapped.
  b = buffer(0);
  ASSERT_EQ(call(fd, VIDIOC_QUERYBUF, &b), 0);
  EXPECT_EQ(device().mmap(nullptr, b.length, PROT_READ, MAP_PRIVATE, fd, b.m.offset), MAP_FAILED);
  EXPECT_EQ(device().mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset + 1), MAP_FAILED);
  void* mapped = device().mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset);
  ASSERT_NE(mapped, MAP_FAILED);
  EXPECT_EQ(requestBuffers(fd, 0), EBUSY);
  EXPECT_EQ(device().munmap(mapped, b.length), 0);
  EXPECT_EQ(requestBuffers(fd, 0), 0);
  EXPECT_EQ(device().close(fd), 0);
  const std::string misuse = fakeMisuse();
  EXPECT_EQ(std::count(misuse.begin(), misuse.end(), '\n'), 11) << misuse;
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
    EXPECT_EQ(result, unplug ? EIO : 0);
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

TEST_F(FakeCameraDevice, UnplugFailsTheQueueThenUnregistersAndReplugIsANewDevice) {
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
  // First the queue fails, done buffer or not...
  EXPECT_EQ(pollNow(fd, POLLIN | POLLPRI), POLLERR);
  EXPECT_EQ(call(fd, VIDIOC_QUERYCAP, &caps), 0);
  v4l2_buffer b = buffer(0);
  EXPECT_EQ(call(fd, VIDIOC_DQBUF, &b), EIO);
  // ...then the device is gone.
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
