#include "support/fake_camera.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "camera/capture_device_ops.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr uint32_t maxBuffers = 32;  // VIDEO_MAX_FRAME
constexpr auto watchdogLimit = std::chrono::seconds(1);

enum class BufferState : uint8_t { Dequeued, Queued, Done };

struct Buffer {
  BufferState state = BufferState::Dequeued;
  uint32_t bytesUsed = 0;
  uint32_t flags = 0;
  uint32_t field = V4L2_FIELD_NONE;
  uint32_t sequence = 0;
  timeval timestamp{};
};

struct Device {
  FakeNode node;
  std::string busInfo;
  bool registered = true;
  bool queueError = false;    // vb2's q->error: sticks until STREAMOFF
  bool transferDead = false;  // the driver's transfer stopped: nothing completes until STREAMOFF
  bool disconnected = false;  // unplugged, not yet unregistered
  std::deque<int> startErrors;
  std::deque<int> formatErrors;
  v4l2_pix_format format{};
  v4l2_fract interval{};
  int owner = -1;  // descriptor that allocated the buffers
  std::vector<Buffer> buffers;
  size_t bufferBytes = 0;
  int memFd = -1;
  uint32_t generation = 0;  // of the buffers, for the mappings
  std::deque<uint32_t> queued;
  std::deque<uint32_t> done;
  bool streaming = false;
  bool started = false;
  uint32_t sequence = 0;
  std::vector<int32_t> controlValues;  // of node.controls
};

struct OpenFile {
  size_t device;
  bool nonBlocking;
};

struct Mapping {
  size_t device;
  uint32_t generation;
  uint32_t index;
};

struct FakeState {
  std::mutex lock;
  std::condition_variable changed;
  std::string folder;
  std::vector<std::unique_ptr<Device>> devices;
  std::map<std::string, size_t> nodeFiles;  // file name -> its current device
  std::map<int, OpenFile> files;            // eventfd -> open file
  std::map<void*, Mapping> mappings;
  size_t lastFormatDevice = 0;
  int ioctlInterruptions = 0;
  int pollInterruptions = 0;
  std::string misuse;
  bool watchdogFired = false;
  int blockingDequeues = 0;
  int streamStarts = 0;
  int controlCalls = 0;
  std::atomic<int> pollCalls{0};
};
FakeState fake;

int fail(int error) {
  errno = error;
  return -1;
}

// A call the kernel refuses because the caller broke a rule.
int misused(int error, const char* what) {
  fake.misuse += std::string(what) + " (" + std::strerror(error) + ")\n";
  return fail(error);
}

uint32_t bytesPerPixel(uint32_t fourcc) {
  switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY: return 2;
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24: return 3;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG:
    case V4L2_PIX_FMT_H264: return 0;
    default: return 1;
  }
}

bool planar420(uint32_t fourcc) { return fourcc == V4L2_PIX_FMT_NV12 || fourcc == V4L2_PIX_FMT_YUV420; }

uint32_t roundUp(uint32_t value, uint32_t multiple) {
  return multiple > 1 ? (value + multiple - 1) / multiple * multiple : value;
}

// Wakes pollers and blocked dequeues of the device.
void wake(size_t device) {
  for (const auto& [fd, file] : fake.files) {
    const uint64_t one = 1;
    if (file.device == device && write(fd, &one, sizeof one) < 0) std::perror("fake camera wake");
  }
  fake.changed.notify_all();
}

const FakeFormat* findFormat(const FakeNode& node, uint32_t fourcc) {
  for (const FakeFormat& f : node.formats)
    if (f.fourcc == fourcc) return &f;
  return nullptr;
}

// The nearest value of a range's grid.
uint32_t stepped(uint32_t value, uint32_t low, uint32_t high, uint32_t step) {
  value = std::clamp(value, low, high);
  if (step <= 1) return value;
  return std::min(low + (value - low + step / 2) / step * step, high - (high - low) % step);
}

// What the driver makes of a requested format.
void adjustFormat(const Device& device, v4l2_pix_format& p) {
  const FakeNode& node = device.node;
  const FakeDriver& driver = node.driver;
  const FakeFormat* format = findFormat(node, driver.answerFourcc ? driver.answerFourcc : p.pixelformat);
  if (!format) format = &node.formats.front();
  uint32_t width = p.width, height = p.height;
  if (driver.answerWidth) {
    width = driver.answerWidth;
    height = driver.answerHeight;
  } else if (format->sizeRange == FakeRange::Discrete) {
    auto distance = [&](const std::pair<uint32_t, uint32_t>& s) {
      return std::abs(int64_t(s.first) - int64_t(width)) + std::abs(int64_t(s.second) - int64_t(height));
    };
    const auto nearest = std::min_element(format->sizes.begin(), format->sizes.end(),
                                          [&](auto& a, auto& b) { return distance(a) < distance(b); });
    width = nearest->first;
    height = nearest->second;
  } else {
    const uint32_t step = format->sizeRange == FakeRange::Stepwise ? 16 : 1;
    width = stepped(width, format->sizes[0].first, format->sizes[1].first, step);
    height = stepped(height, format->sizes[0].second, format->sizes[1].second, step);
  }
  p = {};
  p.pixelformat = format->fourcc;
  p.width = width;
  p.field = V4L2_FIELD_NONE;
  p.height = height;
  if (format->alternateFields) {
    p.field = V4L2_FIELD_ALTERNATE;
    p.height = height / 2;  // the height of one field
  }
  const uint32_t bpp = bytesPerPixel(format->fourcc);
  p.bytesperline = bpp ? roundUp(width * bpp, driver.lineAlignment) : 0;
  p.sizeimage = bpp ? p.bytesperline * p.height : width * height * 2;
  if (planar420(format->fourcc)) p.sizeimage = p.sizeimage * 3 / 2;  // the chroma after the luma
  p.colorspace = V4L2_COLORSPACE_SRGB;
}

bool sizeListed(const FakeFormat& format, uint32_t width, uint32_t height) {
  if (format.sizeRange != FakeRange::Discrete) {
    return width >= format.sizes[0].first && width <= format.sizes[1].first &&
           height >= format.sizes[0].second && height <= format.sizes[1].second;
  }
  return std::find(format.sizes.begin(), format.sizes.end(), std::pair{width, height}) != format.sizes.end();
}

double seconds(const v4l2_fract& f) { return f.denominator ? double(f.numerator) / f.denominator : 0; }

v4l2_fract nearestInterval(const Device& device, v4l2_fract wanted) {
  if (device.node.driver.answerInterval.denominator) return device.node.driver.answerInterval;
  const FakeFormat* format = findFormat(device.node, device.format.pixelformat);
  if (!format || format->intervals.empty()) return {1, 30};
  if (wanted.numerator == 0 || wanted.denominator == 0) return format->intervals.front();
  if (format->rateRange != FakeRange::Discrete) {
    if (seconds(wanted) < seconds(format->intervals[0])) return format->intervals[0];
    if (seconds(wanted) > seconds(format->intervals[1])) return format->intervals[1];
    return wanted;
  }
  return *std::min_element(format->intervals.begin(), format->intervals.end(), [&](auto& a, auto& b) {
    return std::abs(seconds(a) - seconds(wanted)) < std::abs(seconds(b) - seconds(wanted));
  });
}

int enumerate(const Device& device, unsigned long request, void* argument) {
  const FakeNode& node = device.node;
  if (request == VIDIOC_ENUM_FMT) {
    auto* d = static_cast<v4l2_fmtdesc*>(argument);
    const uint32_t ownType = node.kind == FakeNodeKind::Capture       ? V4L2_BUF_TYPE_VIDEO_CAPTURE
                             : node.kind == FakeNodeKind::MultiPlanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE
                                                                      : V4L2_BUF_TYPE_META_CAPTURE;
    if (d->type != ownType) return misused(EINVAL, "ENUM_FMT of a buffer type the node does not have");
    if (node.kind == FakeNodeKind::Metadata || d->index >= node.formats.size()) return fail(EINVAL);
    const uint32_t fourcc = node.formats[d->index].fourcc;
    const uint32_t index = d->index, type = d->type;
    *d = {};
    d->index = index;
    d->type = type;
    d->pixelformat = fourcc;
    d->flags = bytesPerPixel(fourcc) ? 0 : V4L2_FMT_FLAG_COMPRESSED;
    std::snprintf(reinterpret_cast<char*>(d->description), sizeof d->description, "%.4s",
                  reinterpret_cast<const char*>(&fourcc));
    return 0;
  }
  if (node.kind != FakeNodeKind::Capture) return fail(EINVAL);
  if (request == VIDIOC_ENUM_FRAMESIZES) {
    auto* s = static_cast<v4l2_frmsizeenum*>(argument);
    const FakeFormat* format = findFormat(node, s->pixel_format);
    if (!format) return fail(EINVAL);
    if (format->sizeRange != FakeRange::Discrete) {
      if (s->index > 0) return fail(EINVAL);
      const bool stepwise = format->sizeRange == FakeRange::Stepwise;
      s->type = stepwise ? V4L2_FRMSIZE_TYPE_STEPWISE : V4L2_FRMSIZE_TYPE_CONTINUOUS;
      s->stepwise = {format->sizes[0].first,  format->sizes[1].first,  stepwise ? 16u : 1u,
                     format->sizes[0].second, format->sizes[1].second, stepwise ? 16u : 1u};
      return 0;
    }
    if (s->index >= format->sizes.size()) return fail(EINVAL);
    s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
    s->discrete = {format->sizes[s->index].first, format->sizes[s->index].second};
    return 0;
  }
  auto* v = static_cast<v4l2_frmivalenum*>(argument);
  const FakeFormat* format = findFormat(node, v->pixel_format);
  if (!format || !sizeListed(*format, v->width, v->height)) return fail(EINVAL);
  if (format->rateRange != FakeRange::Discrete) {
    if (v->index > 0) return fail(EINVAL);
    v->type =
        format->rateRange == FakeRange::Stepwise ? V4L2_FRMIVAL_TYPE_STEPWISE : V4L2_FRMIVAL_TYPE_CONTINUOUS;
    v->stepwise = {format->intervals[0], format->intervals[1], {1, 1}};
    return 0;
  }
  if (v->index >= format->intervals.size()) return fail(EINVAL);
  v->type = V4L2_FRMIVAL_TYPE_DISCRETE;
  v->discrete = format->intervals[v->index];
  return 0;
}

void freeBuffers(Device& device) {
  if (device.memFd >= 0) close(device.memFd);  // mappings keep their memory
  device.memFd = -1;
  device.buffers.clear();
  device.queued.clear();
  device.done.clear();
  device.bufferBytes = 0;
  device.owner = -1;
  device.streaming = device.started = false;
  ++device.generation;
}

void stopStreaming(Device& device) {
  device.streaming = device.started = false;
  device.queueError = false;
  device.transferDead = false;
  for (Buffer& b : device.buffers) b = {};
  device.queued.clear();
  device.done.clear();
}

// The driver gives back every buffer it holds, done and flagged as damaged
// (uvc_queue_return_buffers() with UVC_BUF_STATE_ERROR).
void cancelQueued(Device& device) {
  for (const uint32_t index : device.queued) {
    Buffer& buffer = device.buffers[index];
    buffer.state = BufferState::Done;
    buffer.flags = V4L2_BUF_FLAG_ERROR;
    buffer.sequence = device.sequence++;
    device.done.push_back(index);
  }
  device.queued.clear();
}

void unregister(size_t index) {
  Device& device = *fake.devices[index];
  if (!device.registered) return;
  device.registered = false;
  for (auto& [file, current] : fake.nodeFiles) {
    if (current == index) std::filesystem::remove(fake.folder + "/" + file);
  }
  wake(index);
}

void fillBuffer(const Device& device, uint32_t index, v4l2_buffer& b) {
  const Buffer& buffer = device.buffers[index];
  b.index = index;
  b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b.memory = V4L2_MEMORY_MMAP;
  b.length = uint32_t(device.bufferBytes);
  b.m.offset = uint32_t(index * device.bufferBytes);
  b.bytesused = buffer.bytesUsed;
  b.field = buffer.field;
  b.sequence = buffer.sequence;
  b.timestamp = buffer.timestamp;
  b.flags = buffer.flags | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
  if (buffer.state == BufferState::Queued) b.flags |= V4L2_BUF_FLAG_QUEUED;
  if (buffer.state == BufferState::Done) b.flags |= V4L2_BUF_FLAG_DONE;
  for (const auto& [address, mapping] : fake.mappings) {
    if (fake.devices[mapping.device].get() == &device && mapping.generation == device.generation &&
        mapping.index == index) {
      b.flags |= V4L2_BUF_FLAG_MAPPED;
    }
  }
}

bool ownsQueue(const Device& device, int fd) { return device.owner < 0 || device.owner == fd; }

int requestBuffers(size_t index, int fd, v4l2_requestbuffers& r) {
  Device& device = *fake.devices[index];
  if (r.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return misused(EINVAL, "REQBUFS of another buffer type");
  if (r.memory != V4L2_MEMORY_MMAP) return fail(EINVAL);  // the only I/O method modelled
  if (!ownsQueue(device, fd)) return misused(EBUSY, "REQBUFS on a queue another descriptor owns");
  if (device.streaming) return misused(EBUSY, "REQBUFS while streaming");
  freeBuffers(device);  // mapped ones are orphaned: their mappings keep the memory
  r.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
  if (r.count == 0) return 0;
  const uint32_t count = std::min(std::max(r.count, device.node.driver.minimumBuffers), maxBuffers);
  device.bufferBytes = (device.format.sizeimage + 4095) / 4096 * 4096;
  device.memFd = memfd_create("fake-camera", MFD_CLOEXEC);
  if (device.memFd < 0 || ftruncate(device.memFd, off_t(device.bufferBytes * count)) < 0) return fail(ENOMEM);
  device.buffers.assign(count, Buffer{});
  device.owner = fd;
  r.count = count;
  return 0;
}

int queueBuffer(size_t index, int fd, v4l2_buffer& b) {
  Device& device = *fake.devices[index];
  if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.memory != V4L2_MEMORY_MMAP) {
    return misused(EINVAL, "QBUF of another buffer type or memory");
  }
  if (!ownsQueue(device, fd)) return misused(EBUSY, "QBUF on a queue another descriptor owns");
  if (device.queueError) return fail(EIO);
  if (device.disconnected) {  // the disconnect has unregistered the node by now
    unregister(index);
    return fail(ENODEV);
  }
  if (b.index >= device.buffers.size()) return misused(EINVAL, "QBUF of an index out of range");
  Buffer& buffer = device.buffers[b.index];
  if (buffer.state != BufferState::Dequeued)
    return misused(EINVAL, "QBUF of a buffer already queued or done");
  buffer = {};
  buffer.state = BufferState::Queued;
  device.queued.push_back(b.index);
  if (device.streaming && device.queued.size() >= device.node.driver.queuedToStart) device.started = true;
  fillBuffer(device, b.index, b);
  wake(index);
  return 0;
}

int dequeueBuffer(size_t index, int fd, bool nonBlocking, v4l2_buffer& b,
                  std::unique_lock<std::mutex>& held) {
  Device& device = *fake.devices[index];
  if (b.type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b.memory != V4L2_MEMORY_MMAP) {
    return misused(EINVAL, "DQBUF of another buffer type or memory");
  }
  if (!ownsQueue(device, fd)) return misused(EBUSY, "DQBUF on a queue another descriptor owns");
  if (!device.streaming) return misused(EINVAL, "DQBUF while not streaming");
  bool counted = false;
  const auto deadline = Clock::now() + watchdogLimit;
  for (;;) {
    // __vb2_wait_for_done_vb(): not streaming, then the queue's error, before any done buffer.
    if (!device.streaming) return fail(EINVAL);  // stopped while waiting
    if (device.queueError) return fail(EIO);
    if (!device.done.empty()) break;
    if (nonBlocking) return fail(EAGAIN);
    if (!counted) ++fake.blockingDequeues, counted = true;
    if (fake.changed.wait_until(held, deadline) == std::cv_status::timeout && device.done.empty() &&
        device.streaming && !device.queueError) {
      fake.watchdogFired = true;
      device.queueError = true;
    }
  }
  const uint32_t done = device.done.front();
  device.done.pop_front();
  device.buffers[done].state = BufferState::Dequeued;
  fillBuffer(device, done, b);
  return 0;
}

// --- controls, as uvcvideo answers them ---
int controlIndex(const Device& device, uint32_t id) {
  for (size_t i = 0; i < device.node.controls.size(); ++i)
    if (device.node.controls[i].id == id) return int(i);
  return -1;
}

bool masterManual(const Device& device, const FakeControl& control) {
  const int master = controlIndex(device, control.master);
  return master < 0 || device.controlValues[size_t(master)] == control.masterManual;
}

bool menuOffers(const FakeControl& control, int64_t index) {
  return index >= control.minimum && index <= control.maximum && size_t(index) < control.menu.size() &&
         !control.menu[size_t(index)].empty();
}

int queryControl(const Device& device, v4l2_query_ext_ctrl& q) {
  const auto& controls = device.node.controls;
  int found = -1;
  if (q.id & V4L2_CTRL_FLAG_NEXT_CTRL) {
    const uint32_t after = q.id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
    for (size_t i = 0; i < controls.size() && found < 0; ++i)
      if (controls[i].id > after) found = int(i);
  } else {
    found = controlIndex(device, q.id);
  }
  if (found < 0) return fail(EINVAL);
  const FakeControl& c = controls[size_t(found)];
  q = {};
  q.id = c.id;
  q.type = c.type;
  std::snprintf(q.name, sizeof q.name, "%s", c.name.c_str());
  q.minimum = c.minimum;
  q.maximum = c.maximum;
  q.step = uint64_t(c.step);
  q.default_value = c.defaultValue;
  if (c.readOnly) q.flags |= V4L2_CTRL_FLAG_READ_ONLY;
  if (!masterManual(device, c)) q.flags |= V4L2_CTRL_FLAG_INACTIVE;
  q.elem_size = sizeof(int32_t);
  q.elems = 1;
  return 0;
}

// uvc_ctrl_is_accessible(): S_EXT_CTRLS of a control whose automatic is
// on is refused, unless the same call sets the automatic to manual (its
// last occurrence counts).
int accessible(const Device& device, const v4l2_ext_controls& list, uint32_t id, bool set) {
  const int index = controlIndex(device, id);
  if (index < 0) return EINVAL;
  const FakeControl& control = device.node.controls[size_t(index)];
  if (!set) return 0;
  if (control.readOnly) return EACCES;
  if (!control.master) return 0;
  for (uint32_t i = list.count; i-- > 0;)
    if (list.controls[i].id == control.master)
      return list.controls[i].value == control.masterManual ? 0 : EACCES;
  return masterManual(device, control) ? 0 : EACCES;
}

// uvc_ctrl_set(): what the driver makes of a value, or the errno.
int adjustValue(const FakeControl& control, int32_t& value) {
  switch (control.type) {
    case V4L2_CTRL_TYPE_INTEGER: {
      const uint32_t step = control.step ? uint32_t(control.step) : 1;
      const uint32_t offset = uint32_t(value) - uint32_t(control.minimum);
      value = int32_t(uint32_t(control.minimum) + (offset + step / 2) / step * step);
      value = std::clamp(value, control.minimum, control.maximum);
      return 0;
    }
    case V4L2_CTRL_TYPE_BOOLEAN: value = std::clamp(value, 0, 1); return 0;
    case V4L2_CTRL_TYPE_MENU:
      if (value < control.minimum || value > control.maximum) return ERANGE;
      return menuOffers(control, value) ? 0 : EINVAL;
    default: return EINVAL;
  }
}

int extControls(Device& device, unsigned long request, v4l2_ext_controls& list) {
  const bool set = request == VIDIOC_S_EXT_CTRLS;
  if (list.which != V4L2_CTRL_WHICH_CUR_VAL) return misused(EINVAL, "EXT_CTRLS of other than current values");
  for (uint32_t i = 0; i < list.count; ++i) {
    if (const int error = accessible(device, list, list.controls[i].id, set)) {
      list.error_idx = list.count;
      return fail(error);
    }
  }
  if (!set) {
    for (uint32_t i = 0; i < list.count; ++i)
      list.controls[i].value = device.controlValues[size_t(controlIndex(device, list.controls[i].id))];
    return 0;
  }
  std::vector<int32_t> values = device.controlValues;  // committed only when every one is good
  for (uint32_t i = 0; i < list.count; ++i) {
    const size_t index = size_t(controlIndex(device, list.controls[i].id));
    int32_t value = list.controls[i].value;  // the struct is packed
    if (const int error = adjustValue(device.node.controls[index], value)) {
      list.error_idx = list.count;
      return fail(error);
    }
    list.controls[i].value = values[index] = value;
  }
  device.controlValues = values;
  list.error_idx = 0;
  return 0;
}

int controlIoctl(Device& device, unsigned long request, void* argument) {
  ++fake.controlCalls;
  if (request == VIDIOC_QUERY_EXT_CTRL) return queryControl(device, *static_cast<v4l2_query_ext_ctrl*>(argument));
  if (request == VIDIOC_QUERYMENU) {
    auto* entry = static_cast<v4l2_querymenu*>(argument);
    const int index = controlIndex(device, entry->id);
    if (index < 0) return fail(EINVAL);
    const FakeControl& control = device.node.controls[size_t(index)];
    if (control.type != V4L2_CTRL_TYPE_MENU || !menuOffers(control, entry->index)) return fail(EINVAL);
    std::snprintf(reinterpret_cast<char*>(entry->name), sizeof entry->name, "%s",
                  control.menu[entry->index].c_str());
    return 0;
  }
  return extControls(device, request, *static_cast<v4l2_ext_controls*>(argument));
}

int streamIoctl(size_t index, int fd, bool nonBlocking, unsigned long request, void* argument,
                std::unique_lock<std::mutex>& held) {
  Device& device = *fake.devices[index];
  switch (request) {
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
      auto* f = static_cast<v4l2_format*>(argument);
      if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return misused(EINVAL, "a format of another buffer type");
      if (request == VIDIOC_G_FMT) {
        f->fmt.pix = device.format;
        return 0;
      }
      if (request == VIDIOC_S_FMT && !device.buffers.empty()) {
        return misused(EBUSY, "S_FMT while the queue has buffers");
      }
      if (request == VIDIOC_S_FMT && !device.formatErrors.empty()) {  // its probe control failed
        const int error = device.formatErrors.front();
        device.formatErrors.pop_front();
        return fail(error);
      }
      adjustFormat(device, f->fmt.pix);
      if (request == VIDIOC_S_FMT) {
        device.format = f->fmt.pix;
        device.interval = nearestInterval(device, device.interval);
        fake.lastFormatDevice = index;
      }
      return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      auto* p = static_cast<v4l2_streamparm*>(argument);
      if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return misused(EINVAL, "PARM of another buffer type");
      if (request == VIDIOC_S_PARM) device.interval = nearestInterval(device, p->parm.capture.timeperframe);
      p->parm.capture = {};
      p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      p->parm.capture.timeperframe = device.interval;
      p->parm.capture.readbuffers = 0;
      return 0;
    }
    case VIDIOC_REQBUFS: return requestBuffers(index, fd, *static_cast<v4l2_requestbuffers*>(argument));
    case VIDIOC_QUERYBUF: {
      auto* b = static_cast<v4l2_buffer*>(argument);
      if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return misused(EINVAL, "QUERYBUF of another buffer type");
      if (b->index >= device.buffers.size()) return misused(EINVAL, "QUERYBUF of an index out of range");
      fillBuffer(device, b->index, *b);
      return 0;
    }
    case VIDIOC_QBUF: return queueBuffer(index, fd, *static_cast<v4l2_buffer*>(argument));
    case VIDIOC_DQBUF:
      return dequeueBuffer(index, fd, nonBlocking, *static_cast<v4l2_buffer*>(argument), held);
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      const bool on = request == VIDIOC_STREAMON;
      if (*static_cast<const int*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return misused(EINVAL, "STREAMON/STREAMOFF of another buffer type");
      }
      if (!ownsQueue(device, fd))
        return misused(EBUSY, "STREAMON/STREAMOFF on a queue another descriptor owns");
      if (!on) {
        stopStreaming(device);
        wake(index);
        return 0;
      }
      if (device.buffers.empty()) return misused(EINVAL, "STREAMON without buffers");
      if (!device.streaming) {
        if (device.node.mediaController) return fail(EPIPE);  // link validation of an unset pipeline
        if (!device.startErrors.empty()) {  // the driver's start_streaming failed: nothing streams
          const int error = device.startErrors.front();
          device.startErrors.pop_front();
          return fail(error);
        }
        device.streaming = true;
        device.started = device.queued.size() >= device.node.driver.queuedToStart;
        device.sequence = 0;
        ++fake.streamStarts;
        wake(index);
      }
      return 0;
    }
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS: return controlIoctl(device, request, argument);
    default: return fail(ENOTTY);
  }
}

int fakeOpen(const char* path, int flags) {
  std::lock_guard guard(fake.lock);
  const std::filesystem::path node(path);
  const auto found = fake.nodeFiles.find(node.filename());
  if (node.parent_path() != fake.folder || found == fake.nodeFiles.end() ||
      !fake.devices[found->second]->registered) {
    return fail(ENOENT);
  }
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return -1;
  fake.files[fd] = {found->second, (flags & O_NONBLOCK) != 0};
  return fd;
}

int fakeIoctl(int fd, unsigned long request, void* argument) {
  std::unique_lock held(fake.lock);
  const auto file = fake.files.find(fd);
  if (file == fake.files.end()) return misused(EBADF, "ioctl on a descriptor that is not open");
  if (fake.ioctlInterruptions > 0) {
    --fake.ioctlInterruptions;
    return fail(EINTR);
  }
  const size_t index = file->second.device;
  Device& device = *fake.devices[index];
  if (!device.registered) return fail(ENODEV);
  const FakeNode& node = device.node;
  if (request == VIDIOC_QUERYCAP) {
    auto* caps = static_cast<v4l2_capability*>(argument);
    *caps = {};
    std::snprintf(reinterpret_cast<char*>(caps->driver), sizeof caps->driver, "fakecam");
    std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "%s", node.card.c_str());
    std::snprintf(reinterpret_cast<char*>(caps->bus_info), sizeof caps->bus_info, "%s",
                  device.busInfo.c_str());
    caps->version = (6u << 16) | (1u << 8);  // 6.1.0
    switch (node.kind) {
      case FakeNodeKind::Capture:
        caps->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
        if (node.mediaController) caps->device_caps |= V4L2_CAP_IO_MC;
        caps->capabilities = caps->device_caps | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
        break;
      case FakeNodeKind::Metadata:  // UVC: the device captures video, this node only metadata
        caps->device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
        caps->capabilities =
            V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
        break;
      case FakeNodeKind::MultiPlanar:
        caps->device_caps = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
        caps->capabilities = caps->device_caps | V4L2_CAP_DEVICE_CAPS;
        break;
    }
    return 0;
  }
  if (request == VIDIOC_ENUM_FMT || request == VIDIOC_ENUM_FRAMESIZES ||
      request == VIDIOC_ENUM_FRAMEINTERVALS) {
    return enumerate(device, request, argument);
  }
  if (node.kind != FakeNodeKind::Capture) {
    return request == VIDIOC_G_FMT || request == VIDIOC_S_FMT || request == VIDIOC_TRY_FMT ||
                   request == VIDIOC_REQBUFS || request == VIDIOC_QBUF || request == VIDIOC_DQBUF ||
                   request == VIDIOC_STREAMON
               ? misused(EINVAL, "a video capture call on a node without single-planar capture")
               : fail(ENOTTY);
  }
  return streamIoctl(index, fd, file->second.nonBlocking, request, argument, held);
}

void* fakeMmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  std::lock_guard guard(fake.lock);
  auto refuse = [](int error, const char* what) {
    if (what) misused(error, what);
    else fail(error);
    return MAP_FAILED;
  };
  const auto file = fake.files.find(fd);
  if (file == fake.files.end()) return refuse(EBADF, "mmap of a descriptor that is not open");
  const size_t index = file->second.device;
  Device& device = *fake.devices[index];
  if (!device.registered) return refuse(ENODEV, nullptr);
  if (device.buffers.empty()) return refuse(EINVAL, "mmap without buffers");
  if (!(flags & MAP_SHARED) || !(protection & PROT_READ)) {
    return refuse(EINVAL, "mmap without MAP_SHARED and PROT_READ");
  }
  if (offset < 0 || size_t(offset) % device.bufferBytes != 0 ||
      size_t(offset) / device.bufferBytes >= device.buffers.size()) {
    return refuse(EINVAL, "mmap of an offset QUERYBUF did not give");
  }
  if (length == 0 || length > device.bufferBytes) return refuse(EINVAL, "mmap beyond a buffer");
  void* mapped = mmap(address, length, protection, flags, device.memFd, offset);
  if (mapped != MAP_FAILED) {
    fake.mappings[mapped] = {index, device.generation, uint32_t(size_t(offset) / device.bufferBytes)};
  }
  return mapped;
}

int fakeMunmap(void* address, size_t length) {
  std::lock_guard guard(fake.lock);
  fake.mappings.erase(address);
  return munmap(address, length);
}

// What poll() reports for an open file, from the device's state.
short deviceEvents(const OpenFile& file) {
  const Device& device = *fake.devices[file.device];
  if (!device.registered) return POLLERR | POLLHUP | POLLPRI;
  if (!device.streaming || device.queueError) return POLLERR;
  if (!device.done.empty()) return POLLIN | POLLRDNORM;
  if (device.queued.empty()) return POLLERR;  // nothing the driver could fill
  return 0;
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
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<pollfd> waits(fds, fds + count);
  for (;;) {
    // A device's events come from its state; its eventfd only says the state
    // changed. As the kernel does, POLLPRI is reported only when asked for.
    int ready = 0;
    {
      std::lock_guard guard(fake.lock);
      for (nfds_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
        const auto file = fake.files.find(fds[i].fd);
        if (file == fake.files.end()) continue;
        uint64_t value;
        while (read(fds[i].fd, &value, sizeof value) > 0) {
        }
        fds[i].revents = short(deviceEvents(file->second) & (fds[i].events | POLLERR | POLLHUP));
        ready += fds[i].revents != 0;
      }
    }
    int remaining = -1;
    if (ready > 0) {
      remaining = 0;  // only the other descriptors still to look at
    } else if (timeoutMs >= 0) {
      remaining = int(std::max<int64_t>(
          0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
    }
    for (nfds_t i = 0; i < count; ++i) waits[i] = {fds[i].fd, fds[i].events, 0};
    const int woken = poll(waits.data(), count, remaining);
    if (woken < 0) return -1;
    {
      std::lock_guard guard(fake.lock);
      for (nfds_t i = 0; i < count; ++i) {
        if (fake.files.count(fds[i].fd) || !waits[i].revents) continue;
        fds[i].revents = waits[i].revents;
        ++ready;
      }
    }
    if (ready > 0) return ready;
    if (woken == 0) return 0;  // timed out
    // Only a device's state changed, to nothing to report: wait again.
  }
}

int fakeClose(int fd) {
  std::lock_guard guard(fake.lock);
  const auto file = fake.files.find(fd);
  if (file == fake.files.end()) return misused(EBADF, "close of a descriptor that is not open");
  Device& device = *fake.devices[file->second.device];
  if (device.owner == fd) {  // the owner's queue goes with it
    freeBuffers(device);
    wake(file->second.device);
  }
  fake.files.erase(file);
  return close(fd);
}

// The nodes are files standing in for character devices: said so, as stat()
// says of /dev/videoN.
int fakeStat(const char* path, struct stat* status) {
  if (::stat(path, status) < 0) return -1;
  std::lock_guard guard(fake.lock);
  const std::filesystem::path node(path);
  if (node.parent_path() == fake.folder && fake.nodeFiles.count(node.filename())) {
    status->st_mode = S_IFCHR | 0660;
    status->st_rdev = makedev(81u, unsigned(fake.nodeFiles[node.filename()]));
  }
  return 0;
}

const CaptureDeviceOps fakeOps = {fakeOpen, fakeIoctl, fakeMmap, fakeMunmap, fakePoll, fakeClose, fakeStat};

size_t addDevice(const FakeNode& node) {
  auto device = std::make_unique<Device>();
  device->node = node;
  device->busInfo = node.busInfo.empty() ? "usb-fake-" + node.card : node.busInfo;
  device->startErrors.assign(node.driver.startErrors.begin(), node.driver.startErrors.end());
  device->formatErrors.assign(node.driver.formatErrors.begin(), node.driver.formatErrors.end());
  for (const FakeControl& control : node.controls) device->controlValues.push_back(control.defaultValue);
  if (node.kind == FakeNodeKind::Capture && !node.formats.empty()) {
    const FakeFormat& first = node.formats.front();
    device->format.pixelformat = first.fourcc;
    device->format.width = first.sizes.front().first;
    device->format.height = first.sizes.front().second;
    adjustFormat(*device, device->format);
    device->interval = nearestInterval(*device, {0, 0});
  }
  fake.devices.push_back(std::move(device));
  return fake.devices.size() - 1;
}

// The device the tests drive: the one whose queue has buffers, else the one
// whose format was set last.
Device* activeDevice() {
  for (auto& device : fake.devices)
    if (!device->buffers.empty()) return device.get();
  return fake.devices.empty() ? nullptr : fake.devices[fake.lastFormatDevice].get();
}

size_t deviceIndex(const Device* device) {
  for (size_t i = 0; i < fake.devices.size(); ++i)
    if (fake.devices[i].get() == device) return i;
  return 0;
}
}  // namespace

std::vector<FakeControl> webcamControls() {
  return {
      {V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, -64, 64, 1, 0},
      {V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 1},
      {V4L2_CID_GAIN, "Gain", V4L2_CTRL_TYPE_INTEGER, 0, 255, 1, 32},
      {V4L2_CID_WHITE_BALANCE_TEMPERATURE, "White Balance Temperature", V4L2_CTRL_TYPE_INTEGER, 2800, 6500, 10,
       4600, {}, V4L2_CID_AUTO_WHITE_BALANCE, 0},
      {V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", V4L2_CTRL_TYPE_MENU, 1, 3, 1, 3,
       {"", "Manual Mode", "", "Aperture Priority Mode"}},
      {V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", V4L2_CTRL_TYPE_INTEGER, 3, 2047, 1, 250, {},
       V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
  };
}

void installFakeCamera(const std::vector<FakeNode>& nodes) {
  std::lock_guard guard(fake.lock);
  char folder[] = "/tmp/tessaro-fake-dev-XXXXXX";
  fake.folder = mkdtemp(folder);
  fake.devices.clear();
  fake.nodeFiles.clear();
  for (const FakeNode& node : nodes) {
    if (std::FILE* f = std::fopen((fake.folder + "/" + node.file).c_str(), "w")) std::fclose(f);
    fake.nodeFiles[node.file] = addDevice(node);
  }
  fake.lastFormatDevice = 0;
  fake.ioctlInterruptions = fake.pollInterruptions = 0;
  fake.misuse.clear();
  fake.watchdogFired = false;
  fake.blockingDequeues = 0;
  fake.streamStarts = 0;
  fake.controlCalls = 0;
  fake.pollCalls = 0;
  setCaptureDeviceOps(&fakeOps);
  setVideoDeviceFolder(fake.folder.c_str());
}

void uninstallFakeCamera() {
  setCaptureDeviceOps(nullptr);
  setVideoDeviceFolder(nullptr);
  std::lock_guard guard(fake.lock);
  std::filesystem::remove_all(fake.folder);
  for (auto& device : fake.devices) freeBuffers(*device);
  for (const auto& [fd, file] : fake.files) close(fd);
  fake.files.clear();
  fake.mappings.clear();
  fake.devices.clear();
  fake.nodeFiles.clear();
}

void setFakeInterruptions(int ioctls, int polls) {
  std::lock_guard guard(fake.lock);
  fake.ioctlInterruptions = ioctls;
  fake.pollInterruptions = polls;
}

namespace {
// Fills the oldest queued buffer of the device and marks it done.
bool produceLocked(Device& device, const std::vector<uint8_t>& bytes, uint32_t flags, uint32_t bytesUsed) {
  if (!device.registered || device.queueError || device.transferDead || device.disconnected ||
      !device.started || device.queued.empty() || bytes.size() > device.bufferBytes) {
    return false;
  }
  const uint32_t index = device.queued.front();
  if (pwrite(device.memFd, bytes.data(), bytes.size(), off_t(index * device.bufferBytes)) !=
      ssize_t(bytes.size())) {
    return false;
  }
  device.queued.pop_front();
  Buffer& buffer = device.buffers[index];
  buffer.state = BufferState::Done;
  buffer.bytesUsed = bytesUsed ? bytesUsed : uint32_t(bytes.size());
  buffer.flags = flags;
  buffer.sequence = device.sequence++;
  buffer.field = device.format.field == V4L2_FIELD_ALTERNATE
                     ? (buffer.sequence % 2 ? V4L2_FIELD_BOTTOM : V4L2_FIELD_TOP)
                     : V4L2_FIELD_NONE;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  buffer.timestamp = {now.tv_sec, now.tv_nsec / 1000};
  device.done.push_back(index);
  return true;
}
}  // namespace

bool fakeProduceFrame(const std::vector<uint8_t>& bytes, uint32_t flags, uint32_t bytesUsed) {
  return fakeProduceFrames({bytes}, flags, bytesUsed);
}

bool fakeProduceFrames(const std::vector<std::vector<uint8_t>>& frames, uint32_t flags, uint32_t bytesUsed) {
  std::lock_guard guard(fake.lock);
  Device* device = activeDevice();
  if (!device || device->queued.size() < frames.size()) return false;
  bool produced = true;
  for (const std::vector<uint8_t>& bytes : frames)
    produced = produced && produceLocked(*device, bytes, flags, bytesUsed);
  wake(deviceIndex(device));
  return produced;
}

namespace {
// Applies `change` to the device behind `file` and wakes its waiters.
template <typename Change>
void changeDevice(const std::string& file, Change change) {
  std::lock_guard guard(fake.lock);
  const auto found = fake.nodeFiles.find(file);
  if (found == fake.nodeFiles.end()) return;
  change(*fake.devices[found->second]);
  wake(found->second);
}
}  // namespace

void fakeQueueError(const std::string& file) {
  changeDevice(file, [](Device& device) { device.queueError = true; });
}

void fakeTransferError(const std::string& file) {
  changeDevice(file, [](Device& device) {
    cancelQueued(device);
    device.transferDead = true;
  });
}

void fakeUnplug(const std::string& file) {
  changeDevice(file, [](Device& device) {
    cancelQueued(device);
    device.disconnected = true;
  });
}

void fakeUnregister(const std::string& file) {
  std::lock_guard guard(fake.lock);
  const auto found = fake.nodeFiles.find(file);
  if (found != fake.nodeFiles.end()) unregister(found->second);
}

void fakeReplug(const std::string& file) {
  FakeNode node;
  {
    std::lock_guard guard(fake.lock);
    const auto found = fake.nodeFiles.find(file);
    if (found == fake.nodeFiles.end()) return;
    node = fake.devices[found->second]->node;
  }
  fakeReplug(file, node);
}

void fakeReplug(const std::string& file, const FakeNode& as) {
  std::lock_guard guard(fake.lock);
  const auto found = fake.nodeFiles.find(file);
  if (found == fake.nodeFiles.end()) return;
  unregister(found->second);
  FakeNode node = as;
  node.file = file;
  found->second = addDevice(node);
  if (std::FILE* f = std::fopen((fake.folder + "/" + file).c_str(), "w")) std::fclose(f);
}

int32_t fakeControlValue(uint32_t id, const std::string& file) {
  std::lock_guard guard(fake.lock);
  const auto found = fake.nodeFiles.find(file);
  if (found == fake.nodeFiles.end()) return -1;
  const Device& device = *fake.devices[found->second];
  const int index = controlIndex(device, id);
  return index < 0 ? -1 : device.controlValues[size_t(index)];
}

void fakeSetControl(uint32_t id, int32_t value, const std::string& file) {
  changeDevice(file, [&](Device& device) {
    if (const int index = controlIndex(device, id); index >= 0) device.controlValues[size_t(index)] = value;
  });
}

int fakeControlCalls() {
  std::lock_guard guard(fake.lock);
  return fake.controlCalls;
}

v4l2_pix_format fakeCurrentFormat() {
  std::lock_guard guard(fake.lock);
  return fake.devices.empty() ? v4l2_pix_format{} : fake.devices[fake.lastFormatDevice]->format;
}

v4l2_fract fakeCurrentInterval() {
  std::lock_guard guard(fake.lock);
  return fake.devices.empty() ? v4l2_fract{} : fake.devices[fake.lastFormatDevice]->interval;
}

int fakeBufferCount() {
  std::lock_guard guard(fake.lock);
  const Device* device = activeDevice();
  return device ? int(device->buffers.size()) : 0;
}

int fakeQueuedBuffers() {
  std::lock_guard guard(fake.lock);
  const Device* device = activeDevice();
  return device ? int(device->queued.size()) : 0;
}

int fakeMappedBuffers() {
  std::lock_guard guard(fake.lock);
  return int(fake.mappings.size());
}

int fakePollCalls() { return fake.pollCalls.load(); }

int fakeStreamStarts() {
  std::lock_guard guard(fake.lock);
  return fake.streamStarts;
}

int fakeOpenDescriptors() {
  std::lock_guard guard(fake.lock);
  return int(fake.files.size());
}

int fakeBlockingDequeues() {
  std::lock_guard guard(fake.lock);
  return fake.blockingDequeues;
}

std::string fakeMisuse() {
  std::lock_guard guard(fake.lock);
  return fake.misuse;
}

bool fakeWatchdogFired() {
  std::lock_guard guard(fake.lock);
  return fake.watchdogFired;
}
