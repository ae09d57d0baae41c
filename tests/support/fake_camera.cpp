#include "support/fake_camera.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>

#include "vision/capture_device_ops.h"

namespace {
struct Ready {
  uint32_t index, bytesUsed, flags;
};

struct FakeState {
  std::mutex lock;
  std::vector<FakeNode> nodes;
  std::string folder;
  std::map<int, size_t> openNodes;  // eventfd -> node
  int streamFd = -1;
  int memFd = -1;
  uint32_t bufferCount = 0;
  size_t bufferBytes = 0;
  v4l2_pix_format format{};
  uint32_t rowPadding = 0;
  std::deque<uint32_t> queued;
  std::deque<Ready> ready;
  bool unplugged = false;
  FakeUnplug unplugHow = FakeUnplug::PollError;
  int ioctlInterruptions = 0;
  int pollInterruptions = 0;
  int dequeueFailures = 0;
  int dequeueError = 0;
  std::atomic<int> pollCalls{0};
};
FakeState fake;

uint32_t bytesPerPixel(uint32_t fourcc) {
  switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY: return 2;
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24: return 3;
    case V4L2_PIX_FMT_MJPEG: return 0;
    default: return 1;
  }
}

void clearEvent(int fd) {
  uint64_t value;
  while (read(fd, &value, sizeof value) > 0) {
  }
}

int fail(int error) {
  errno = error;
  return -1;
}

int fakeOpen(const char* path, int) {
  std::lock_guard guard(fake.lock);
  const std::string name = std::filesystem::path(path).filename();
  for (size_t i = 0; i < fake.nodes.size(); ++i) {
    if (fake.nodes[i].file != name) continue;
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    fake.openNodes[fd] = i;
    return fd;
  }
  return fail(ENOENT);
}

int enumerate(const FakeNode& node, unsigned long request, void* argument) {
  if (request == VIDIOC_ENUM_FMT) {
    auto* d = static_cast<v4l2_fmtdesc*>(argument);
    if (d->index >= node.formats.size()) return fail(EINVAL);
    d->pixelformat = node.formats[d->index].fourcc;
    return 0;
  }
  const FakeFormat* format = nullptr;
  const uint32_t fourcc = request == VIDIOC_ENUM_FRAMESIZES
                              ? static_cast<v4l2_frmsizeenum*>(argument)->pixel_format
                              : static_cast<v4l2_frmivalenum*>(argument)->pixel_format;
  for (const FakeFormat& f : node.formats)
    if (f.fourcc == fourcc) format = &f;
  if (!format) return fail(EINVAL);
  if (request == VIDIOC_ENUM_FRAMESIZES) {
    auto* s = static_cast<v4l2_frmsizeenum*>(argument);
    if (format->stepwiseSizes) {
      if (s->index > 0) return fail(EINVAL);
      s->type = V4L2_FRMSIZE_TYPE_STEPWISE;
      s->stepwise = {format->sizes[0].first,  format->sizes[1].first,  16,
                     format->sizes[0].second, format->sizes[1].second, 16};
      return 0;
    }
    if (s->index >= format->sizes.size()) return fail(EINVAL);
    s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
    s->discrete = {format->sizes[s->index].first, format->sizes[s->index].second};
    return 0;
  }
  auto* v = static_cast<v4l2_frmivalenum*>(argument);
  if (format->stepwiseRates) {
    if (v->index > 0) return fail(EINVAL);
    v->type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
    v->stepwise = {format->intervals[0], format->intervals[1], {1, 1}};
    return 0;
  }
  if (v->index >= format->intervals.size()) return fail(EINVAL);
  v->type = V4L2_FRMIVAL_TYPE_DISCRETE;
  v->discrete = format->intervals[v->index];
  return 0;
}

int stream(int fd, unsigned long request, void* argument) {
  switch (request) {
    case VIDIOC_S_FMT: {
      auto* f = static_cast<v4l2_format*>(argument);
      v4l2_pix_format& p = f->fmt.pix;
      const uint32_t bpp = bytesPerPixel(p.pixelformat);
      p.bytesperline = bpp ? p.width * bpp + fake.rowPadding : 0;
      p.sizeimage = bpp ? p.bytesperline * p.height * 2 : p.width * p.height * 2;  // room for any chroma
      fake.format = p;
      return 0;
    }
    case VIDIOC_S_PARM: return 0;
    case VIDIOC_REQBUFS: {
      auto* r = static_cast<v4l2_requestbuffers*>(argument);
      if (fake.memFd >= 0) close(fake.memFd);
      fake.memFd = -1;
      fake.queued.clear();
      fake.ready.clear();
      fake.bufferCount = r->count > 4 ? 4 : r->count;
      r->count = fake.bufferCount;
      if (fake.bufferCount == 0) return 0;
      fake.bufferBytes = (fake.format.sizeimage + 4095) / 4096 * 4096;
      fake.memFd = memfd_create("fake-camera", MFD_CLOEXEC);
      if (ftruncate(fake.memFd, off_t(fake.bufferBytes * fake.bufferCount)) < 0) return fail(ENOMEM);
      fake.streamFd = fd;
      return 0;
    }
    case VIDIOC_QUERYBUF: {
      auto* b = static_cast<v4l2_buffer*>(argument);
      if (b->index >= fake.bufferCount) return fail(EINVAL);
      b->length = uint32_t(fake.bufferBytes);
      b->m.offset = uint32_t(b->index * fake.bufferBytes);
      return 0;
    }
    case VIDIOC_QBUF: {
      auto* b = static_cast<v4l2_buffer*>(argument);
      if (b->index >= fake.bufferCount) return fail(EINVAL);
      fake.queued.push_back(b->index);
      return 0;
    }
    case VIDIOC_DQBUF: {
      if (fake.dequeueFailures != 0) {
        if (fake.dequeueFailures > 0) --fake.dequeueFailures;
        return fail(fake.dequeueError);
      }
      if (fake.ready.empty()) {
        clearEvent(fd);
        return fail(EAGAIN);
      }
      auto* b = static_cast<v4l2_buffer*>(argument);
      const Ready r = fake.ready.front();
      fake.ready.pop_front();
      b->index = r.index;
      b->bytesused = r.bytesUsed;
      b->flags = r.flags;
      b->length = uint32_t(fake.bufferBytes);
      return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: return 0;
    default: return fail(ENOTTY);
  }
}

int fakeIoctl(int fd, unsigned long request, void* argument) {
  std::lock_guard guard(fake.lock);
  auto node = fake.openNodes.find(fd);
  if (node == fake.openNodes.end()) return fail(EBADF);
  if (fake.ioctlInterruptions > 0) {
    --fake.ioctlInterruptions;
    return fail(EINTR);
  }
  if (fake.unplugged) return fail(ENODEV);
  const FakeNode& n = fake.nodes[node->second];
  if (request == VIDIOC_QUERYCAP) {
    auto* caps = static_cast<v4l2_capability*>(argument);
    *caps = {};
    std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "%s", n.card.c_str());
    caps->capabilities =
        V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
    caps->device_caps =
        (n.metadataOnly ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
    return 0;
  }
  if (request == VIDIOC_ENUM_FMT || request == VIDIOC_ENUM_FRAMESIZES ||
      request == VIDIOC_ENUM_FRAMEINTERVALS) {
    return enumerate(n, request, argument);
  }
  return stream(fd, request, argument);
}

void* fakeMmap(void* address, size_t length, int protection, int flags, int, off_t offset) {
  std::lock_guard guard(fake.lock);
  return mmap(address, length, protection, flags, fake.memFd, offset);
}

int fakePoll(pollfd* fds, nfds_t count, int timeoutMs) {
  ++fake.pollCalls;
  {
    std::lock_guard guard(fake.lock);
    if (fake.pollInterruptions > 0) {
      --fake.pollInterruptions;
      return fail(EINTR);
    }
  }
  const int ready = poll(fds, count, timeoutMs);
  // A vanished device reports an error and a hang-up to every poll.
  std::lock_guard guard(fake.lock);
  if (ready < 0 || !fake.unplugged || fake.unplugHow != FakeUnplug::PollError) return ready;
  for (nfds_t i = 0; i < count; ++i) {
    if (fake.openNodes.count(fds[i].fd)) fds[i].revents = short(POLLERR | POLLHUP);
  }
  return ready > 0 ? ready : 1;
}

int fakeClose(int fd) {
  std::lock_guard guard(fake.lock);
  fake.openNodes.erase(fd);
  if (fd == fake.streamFd) {
    if (fake.memFd >= 0) close(fake.memFd);
    fake.memFd = -1;
    fake.streamFd = -1;
  }
  return close(fd);
}

const CaptureDeviceOps fakeOps = {fakeOpen, fakeIoctl, fakeMmap, munmap, fakePoll, fakeClose};
}  // namespace

void installFakeCamera(const std::vector<FakeNode>& nodes) {
  std::lock_guard guard(fake.lock);
  char folder[] = "/tmp/tessaro-fake-dev-XXXXXX";
  fake.folder = mkdtemp(folder);
  for (const FakeNode& node : nodes) {
    if (std::FILE* f = std::fopen((fake.folder + "/" + node.file).c_str(), "w")) std::fclose(f);
  }
  fake.nodes = nodes;
  fake.rowPadding = 0;
  fake.unplugged = false;
  fake.ioctlInterruptions = fake.pollInterruptions = 0;
  fake.dequeueFailures = 0;
  fake.pollCalls = 0;
  fake.queued.clear();
  fake.ready.clear();
  setCaptureDeviceOps(&fakeOps);
  setVideoDeviceFolder(fake.folder.c_str());
}

void uninstallFakeCamera() {
  setCaptureDeviceOps(nullptr);
  setVideoDeviceFolder(nullptr);
  std::lock_guard guard(fake.lock);
  std::filesystem::remove_all(fake.folder);
  if (fake.memFd >= 0) close(fake.memFd);
  fake.memFd = -1;
  fake.nodes.clear();
}

void setFakeRowPadding(uint32_t bytes) {
  std::lock_guard guard(fake.lock);
  fake.rowPadding = bytes;
}

void setFakeInterruptions(int ioctls, int polls) {
  std::lock_guard guard(fake.lock);
  fake.ioctlInterruptions = ioctls;
  fake.pollInterruptions = polls;
}

void setFakeDequeueFailures(int count, int error) {
  std::lock_guard guard(fake.lock);
  fake.dequeueFailures = count;
  fake.dequeueError = error;
}

bool fakeProduceFrame(const std::vector<uint8_t>& bytes, uint32_t flags, uint32_t bytesUsed, bool signal) {
  std::lock_guard guard(fake.lock);
  if (fake.queued.empty() || fake.memFd < 0 || bytes.size() > fake.bufferBytes) return false;
  const uint32_t index = fake.queued.front();
  fake.queued.pop_front();
  if (pwrite(fake.memFd, bytes.data(), bytes.size(), off_t(index * fake.bufferBytes)) !=
      ssize_t(bytes.size())) {
    return false;
  }
  fake.ready.push_back({index, bytesUsed ? bytesUsed : uint32_t(bytes.size()), flags});
  if (signal) {
    const uint64_t one = 1;
    if (write(fake.streamFd, &one, sizeof one) < 0) return false;
  }
  return true;
}

void fakeSignal() {
  std::lock_guard guard(fake.lock);
  const uint64_t one = 1;
  if (fake.streamFd >= 0 && write(fake.streamFd, &one, sizeof one) < 0) std::perror("fake signal");
}

void fakeUnplug(FakeUnplug how) {
  std::lock_guard guard(fake.lock);
  fake.unplugged = true;
  fake.unplugHow = how;
  const uint64_t one = 1;
  if (fake.streamFd >= 0 && write(fake.streamFd, &one, sizeof one) < 0) std::perror("fake unplug");
}

v4l2_pix_format fakeCurrentFormat() {
  std::lock_guard guard(fake.lock);
  return fake.format;
}

int fakeQueuedBuffers() {
  std::lock_guard guard(fake.lock);
  return int(fake.queued.size());
}

int fakePollCalls() { return fake.pollCalls.load(); }

int fakeOpenDescriptors() {
  std::lock_guard guard(fake.lock);
  return int(fake.openNodes.size());
}
