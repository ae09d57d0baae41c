#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/diagnostics.h"
#include "vision/capture_device_ops.h"
#include "vision/capture_system.h"

namespace {
using Clock = std::chrono::steady_clock;

const CaptureDeviceOps& ops() { return captureDeviceOps(); }

std::string formatName(uint32_t fourcc) {
  char text[5];
  fourCodeText(fourcc, text);
  return text;
}

// Why frames of this field order cannot be read as whole pictures; null
// when they can.
const char* fieldProblem(uint32_t field) {
  switch (field) {
    case V4L2_FIELD_ALTERNATE: return "each field in a buffer of its own, half a picture high";
    case V4L2_FIELD_TOP:
    case V4L2_FIELD_BOTTOM: return "a single field, half a picture high";
    case V4L2_FIELD_SEQ_TB:
    case V4L2_FIELD_SEQ_BT: return "its two fields one after the other";
    default: return nullptr;
  }
}

// Whether the driver sends whole frames of the format (asked for
// progressive frames at a size it has); a driver that cannot say is believed.
const char* fieldProblemOf(int fd, uint32_t fourcc, uint32_t width, uint32_t height) {
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.pixelformat = fourcc;
  format.fmt.pix.width = width;
  format.fmt.pix.height = height;
  format.fmt.pix.field = V4L2_FIELD_NONE;
  if (deviceIoctl(fd, VIDIOC_TRY_FMT, &format) < 0) return nullptr;
  return fieldProblem(format.fmt.pix.field);
}

int32_t roundedRate(const v4l2_fract& interval) {
  if (interval.numerator == 0 || interval.denominator == 0) return 0;
  return int32_t((uint64_t(interval.denominator) + interval.numerator / 2) / interval.numerator);
}

void addMode(std::vector<CaptureMode>& modes, uint32_t fourcc, uint32_t width, uint32_t height,
             int32_t rate) {
  if (width == 0 || height == 0 || width > 8192 || height > 8192) return;
  modes.push_back({int32_t(width), int32_t(height), rate, int32_t(fourcc)});
}

// The rates of one format and size, each a mode; a range gives its two ends.
void addRates(int fd, std::vector<CaptureMode>& modes, uint32_t fourcc, uint32_t width, uint32_t height) {
  v4l2_frmivalenum ival{};
  ival.pixel_format = fourcc;
  ival.width = width;
  ival.height = height;
  if (deviceIoctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) < 0) {
    addMode(modes, fourcc, width, height, 0);  // the driver does not say
    return;
  }
  if (ival.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
    const int32_t fastest = roundedRate(ival.stepwise.min);
    const int32_t slowest = roundedRate(ival.stepwise.max);
    addMode(modes, fourcc, width, height, fastest);
    if (slowest != fastest) addMode(modes, fourcc, width, height, slowest);
    return;
  }
  for (;;) {
    addMode(modes, fourcc, width, height, roundedRate(ival.discrete));
    ++ival.index;
    if (deviceIoctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) < 0 || ival.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
      break;
    }
  }
}

// A size range (STEPWISE or CONTINUOUS) gives 640 x 480, the size the
// analysis is made for, when the range holds it, then its two ends.
void addRange(int fd, std::vector<CaptureMode>& modes, uint32_t fourcc, const v4l2_frmsize_stepwise& range) {
  auto holds = [](uint32_t value, uint32_t low, uint32_t high, uint32_t step) {
    return value >= low && value <= high && (value - low) % std::max(step, 1u) == 0;
  };
  const bool standard = holds(640, range.min_width, range.max_width, range.step_width) &&
                        holds(480, range.min_height, range.max_height, range.step_height);
  if (standard) addRates(fd, modes, fourcc, 640, 480);
  if (!standard || range.min_width != 640 || range.min_height != 480) {
    addRates(fd, modes, fourcc, range.min_width, range.min_height);
  }
  if ((range.max_width != range.min_width || range.max_height != range.min_height) &&
      (!standard || range.max_width != 640 || range.max_height != 480)) {
    addRates(fd, modes, fourcc, range.max_width, range.max_height);
  }
}

// The modes of one format. Formats whose frames come as separate fields are
// left out, with a line naming `node` (none when null).
void addSizes(int fd, std::vector<CaptureMode>& modes, uint32_t fourcc, const char* node) {
  v4l2_frmsizeenum size{};
  size.pixel_format = fourcc;
  const bool listed = deviceIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0;
  uint32_t width = 640, height = 480;  // without a list: what the driver makes of these
  if (listed) {
    width = size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.width : size.stepwise.max_width;
    height = size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.height : size.stepwise.max_height;
  }
  if (const char* problem = fieldProblemOf(fd, fourcc, width, height)) {
    if (node)
      diagnostic("camera", "%s: %s skipped: the driver sends %s", node, formatName(fourcc).c_str(), problem);
    return;
  }
  if (!listed) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = fourcc;
    format.fmt.pix.width = width;
    format.fmt.pix.height = height;
    if (deviceIoctl(fd, VIDIOC_TRY_FMT, &format) == 0 && format.fmt.pix.pixelformat == fourcc) {
      addRates(fd, modes, fourcc, format.fmt.pix.width, format.fmt.pix.height);
    }
    return;
  }
  if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
    addRange(fd, modes, fourcc, size.stepwise);
    return;
  }
  for (;;) {
    addRates(fd, modes, fourcc, size.discrete.width, size.discrete.height);
    ++size.index;
    if (deviceIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0 || size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
  }
}

// Every mode of the formats the layer can turn into luma: a mode it cannot
// deliver would leave the installation deaf.
void collectModes(int fd, std::vector<CaptureMode>& modes, const char* node) {
  v4l2_fmtdesc format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (format.index = 0; deviceIoctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
    if (isConvertibleFormat(format.pixelformat)) addSizes(fd, modes, format.pixelformat, node);
  }
}

bool queueBuffer(const V4l2Stream& stream, uint32_t index) {
  v4l2_buffer buffer{};
  buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buffer.memory = V4L2_MEMORY_MMAP;
  buffer.index = index;
  return deviceIoctl(stream.fd, VIDIOC_QBUF, &buffer) == 0;
}

void releaseBuffers(V4l2Stream& stream) {
  for (uint32_t i = 0; i < stream.bufferCount; ++i) {
    if (stream.buffers[i].start) ops().munmap(stream.buffers[i].start, stream.buffers[i].length);
    stream.buffers[i] = {};
  }
  stream.bufferCount = 0;
  v4l2_requestbuffers request{};
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  deviceIoctl(stream.fd, VIDIOC_REQBUFS, &request);
}

// Maps every buffer the driver granted and queues them all: a driver may
// need several in hand before it fills the first.
bool mapAndQueueBuffers(V4l2Stream& stream, uint32_t granted) {
  const uint32_t count = std::min(granted, maxGrantedBuffers);
  for (uint32_t i = 0; i < count; ++i) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (deviceIoctl(stream.fd, VIDIOC_QUERYBUF, &buffer) < 0) return false;
    void* start =
        ops().mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, stream.fd, buffer.m.offset);
    if (start == MAP_FAILED) return false;
    stream.buffers[i] = {start, buffer.length};
    stream.bufferCount = i + 1;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!queueBuffer(stream, i)) return false;
  }
  return true;
}

// One line when the driver answered the mode with something else.
void reportDriverChoice(const CaptureMode& mode, const V4l2Stream& stream, int32_t rate) {
  const bool otherSize = stream.width != mode.width || stream.height != mode.height;
  const bool otherFormat = stream.fourcc != uint32_t(mode.formatCode);
  const bool otherRate = rate != mode.framesPerSecond;
  if (!otherSize && !otherFormat && !otherRate) return;
  char scaled[64] = "";
  if (otherSize)
    std::snprintf(scaled, sizeof scaled, "; its pictures are scaled to %dx%d", mode.width, mode.height);
  diagnostic("camera", "the driver chose %dx%d %s at %d fps for the mode %dx%d %s at %d fps%s", stream.width,
             stream.height, formatName(stream.fourcc).c_str(), rate, mode.width, mode.height,
             formatName(uint32_t(mode.formatCode)).c_str(), mode.framesPerSecond, scaled);
}

void reportEnd(const char* what, int error) {
  diagnostic("camera", "Camera %s (%s): capture ended.", what, std::strerror(error));
}

// Outcome of draining the device's ready buffers.
enum class Drain { Frame, Nothing, Gone };

// A dequeue error other than an unplug (EIO: the signal was lost, say) may
// pass: the thread pauses and tries again, and gives up only when that many
// wakes in a row fail, about two seconds.
constexpr int maxFailedWakes = 50;
constexpr int failedWakePauseMs = 40;
// Frames arriving that long without one the analysis can use are worth a line.
constexpr auto silenceLimit = std::chrono::seconds(2);

double secondsSince(Clock::time_point then) {
  return std::chrono::duration<double>(Clock::now() - then).count();
}

void noteUnusable(V4l2Stream& stream, const char* why) {
  ++stream.unusableFrames;
  stream.lastRefusal = why;
  if (stream.silenceReported || Clock::now() - stream.lastUsable < silenceLimit) return;
  diagnostic("camera", "none of the %u frames of the last %.1f s could be used (the last one: %s)",
             stream.unusableFrames, secondsSince(stream.lastUsable), why);
  stream.silenceReported = true;
}

void noteUsable(V4l2Stream& stream) {
  if (stream.silenceReported)
    diagnostic("camera", "usable frames again after %.1f s", secondsSince(stream.lastUsable));
  stream.silenceReported = false;
  stream.unusableFrames = 0;
  stream.lastRefusal = nullptr;
  stream.lastUsable = Clock::now();
}

// Why a dequeued buffer cannot hold a whole frame; null when it can.
const char* bufferProblem(const V4l2Stream& stream, const v4l2_buffer& buffer) {
  if (buffer.flags & V4L2_BUF_FLAG_ERROR) return "flagged as damaged by the driver";
  if (buffer.bytesused == 0) return "empty";
  if (buffer.bytesused > stream.buffers[buffer.index].length) return "longer than its buffer";
  const size_t minimum = minimumFrameBytes(stream.fourcc, stream.width, stream.height, stream.bytesPerLine);
  if (buffer.bytesused < minimum) return "shorter than a picture";
  return nullptr;
}

// Dequeues every ready buffer, requeues all but the newest whole one, and
// places that one. Buffers that cannot hold a whole frame are requeued
// unread. A dequeue error that may pass ends the draining and is left in
// `failure`.
Drain drainNewest(CaptureRun& run, int& failure) {
  V4l2Stream& stream = run.device;
  int newest = -1;
  uint32_t newestBytes = 0;
  for (;;) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (deviceIoctl(stream.fd, VIDIOC_DQBUF, &buffer) < 0) {
      if (errno == EAGAIN) break;
      if (errno == ENODEV) {
        reportEnd("unplugged", errno);
        return Drain::Gone;
      }
      failure = errno;
      break;
    }
    if (buffer.index >= stream.bufferCount) continue;  // never mapped, never queued
    if (const char* problem = bufferProblem(stream, buffer)) {
      noteUnusable(stream, problem);
      queueBuffer(stream, buffer.index);
      continue;
    }
    if (newest >= 0) queueBuffer(stream, uint32_t(newest));
    newest = int(buffer.index);
    newestBytes = buffer.bytesused;
  }
  if (newest < 0) return Drain::Nothing;
  const CameraImage image{static_cast<const uint8_t*>(stream.buffers[newest].start),
                          newestBytes,
                          stream.fourcc,
                          stream.width,
                          stream.height,
                          stream.bytesPerLine};
  const bool placed = placeCameraImage(image, run.decoder, run.target);
  if (!queueBuffer(stream, uint32_t(newest)) && errno == ENODEV) {
    reportEnd("unplugged", errno);
    return Drain::Gone;
  }
  if (!placed) {
    noteUnusable(stream, run.decoder.refusal ? run.decoder.refusal : "not convertible");
    return Drain::Nothing;
  }
  noteUsable(stream);
  return Drain::Frame;
}
}  // namespace

bool queryCaptureNode(const char* path, std::string& name) {
  const int fd = ops().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && errno != ENXIO && errno != ENODEV) {
      diagnostic("camera", "Cannot open %s: %s", path, std::strerror(errno));
    }
    return false;
  }
  v4l2_capability caps{};
  bool usable = false;
  if (deviceIoctl(fd, VIDIOC_QUERYCAP, &caps) == 0) {
    // The node's own capabilities; the whole device's only on old drivers.
    const uint32_t nodeCaps =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    const auto* card = reinterpret_cast<const char*>(caps.card);
    name.assign(card, strnlen(card, sizeof caps.card));
    usable = (nodeCaps & V4L2_CAP_VIDEO_CAPTURE) && (nodeCaps & V4L2_CAP_STREAMING);
    if ((nodeCaps & V4L2_CAP_VIDEO_CAPTURE) && !usable) {
      diagnostic("camera", "%s (%s) skipped: it offers no streaming I/O", path, name.c_str());
    } else if (!usable && (nodeCaps & V4L2_CAP_VIDEO_CAPTURE_MPLANE)) {
      diagnostic("camera", "%s (%s) skipped: it captures only through the multi-planar API", path,
                 name.c_str());
    }
    // Other nodes (UVC metadata, output, radio...) are no cameras at all.
  }
  if (usable) {
    std::vector<CaptureMode> modes;
    collectModes(fd, modes, path);  // says which modes it leaves out, and why
  }
  ops().close(fd);
  return usable;
}

int openCaptureNode(const char* path) { return ops().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC); }

void listV4l2Modes(int fd, std::vector<CaptureMode>& modes) { collectModes(fd, modes, nullptr); }

bool startV4l2Stream(int fd, const CaptureMode& mode, V4l2Stream& stream) {
  stream = {};
  stream.fd = fd;
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.width = uint32_t(mode.width);
  format.fmt.pix.height = uint32_t(mode.height);
  format.fmt.pix.pixelformat = uint32_t(mode.formatCode);
  format.fmt.pix.field = V4L2_FIELD_NONE;
  if (deviceIoctl(fd, VIDIOC_S_FMT, &format) < 0) {
    diagnostic("camera", "Camera refused its mode (%s).", std::strerror(errno));
    return false;
  }
  const v4l2_pix_format& chosen = format.fmt.pix;
  if (!isConvertibleFormat(chosen.pixelformat) || chosen.width == 0 || chosen.height == 0 ||
      chosen.width > 8192 || chosen.height > 8192) {
    diagnostic("camera", "Camera switched to a format that cannot be read.");
    return false;
  }
  if (const char* problem = fieldProblem(chosen.field)) {
    diagnostic("camera", "the driver sends %s; capture not started", problem);
    return false;
  }
  stream.fourcc = chosen.pixelformat;
  stream.width = int32_t(chosen.width);
  stream.height = int32_t(chosen.height);
  stream.bytesPerLine = chosen.bytesperline;

  int32_t rate = mode.framesPerSecond;
  if (mode.framesPerSecond > 0) {  // a rate the driver does not take is no reason to stop
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parameters.parm.capture.timeperframe = {1, uint32_t(mode.framesPerSecond)};
    if (deviceIoctl(fd, VIDIOC_S_PARM, &parameters) == 0 &&
        roundedRate(parameters.parm.capture.timeperframe) > 0) {
      rate = roundedRate(parameters.parm.capture.timeperframe);
    }
  }
  reportDriverChoice(mode, stream, rate);

  v4l2_requestbuffers request{};
  request.count = maxStreamBuffers;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (deviceIoctl(fd, VIDIOC_REQBUFS, &request) < 0 || request.count == 0) {
    diagnostic("camera", "Camera gave no frame buffers (%s).", std::strerror(errno));
    return false;
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (!mapAndQueueBuffers(stream, request.count) || deviceIoctl(fd, VIDIOC_STREAMON, &type) < 0) {
    diagnostic("camera", "Camera did not start streaming (%s).", std::strerror(errno));
    releaseBuffers(stream);
    return false;
  }
  stream.streaming = true;
  return true;
}

void stopV4l2Stream(V4l2Stream& stream) {
  if (!stream.streaming && stream.bufferCount == 0) return;
  if (stream.streaming) {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    deviceIoctl(stream.fd, VIDIOC_STREAMOFF, &type);  // fails harmlessly once unplugged
    stream.streaming = false;
  }
  releaseBuffers(stream);
}

void runV4l2Capture(CaptureRun& run) {
  V4l2Stream& stream = run.device;
  stream.lastUsable = Clock::now();
  int failedWakes = 0;
  for (;;) {
    pollfd waits[2] = {{stream.fd, POLLIN, 0}, {run.stopFd, POLLIN, 0}};
    const int ready = ops().poll(waits, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      reportEnd("wait failed", errno);
      return;
    }
    if (waits[1].revents) return;
    const short events = waits[0].revents;
    // An unregistered device reports a hang-up with its error.
    if (events & (POLLHUP | POLLNVAL)) {
      reportEnd("unplugged", ENODEV);
      return;
    }
    if (!(events & (POLLIN | POLLERR))) continue;
    int failure = 0;
    const Drain drained = drainNewest(run, failure);
    if (drained == Drain::Gone) return;
    if (drained == Drain::Frame) {
      deliverFrame(run);
      failedWakes = 0;
      continue;
    }
    // POLLERR with nothing to dequeue: the stream stands still (its queue
    // failed, as when the device is going away): as bad as a failed dequeue.
    if (failure == 0 && (events & POLLERR)) failure = EIO;
    if (failure == 0) {
      failedWakes = 0;
      continue;
    }
    if (++failedWakes >= maxFailedWakes) {
      reportEnd("failed", failure);
      return;
    }
    if (waitForStop(run, failedWakePauseMs)) return;  // the device stays readable: no spinning
  }
}

namespace {
// Without TESSARO_CAMERA the cameras are the system's capture nodes.
bool v4l2ChosenBy(const char* choice) { return choice == nullptr; }

std::vector<CameraEntry> v4l2List(const char*) { return listCaptureNodes(); }

bool v4l2Connect(CaptureSystem& system, const CameraEntry& camera) {
  system.deviceFd = openCaptureNode(camera.path.c_str());
  if (system.deviceFd < 0) return false;
  listV4l2Modes(system.deviceFd, system.modes);
  return true;
}

void v4l2Disconnect(CaptureSystem& system) {
  if (system.deviceFd >= 0) ops().close(system.deviceFd);
  system.deviceFd = -1;
}

bool v4l2Start(CaptureSystem& system, const CameraEntry&, CaptureRun& run) {
  return startV4l2Stream(system.deviceFd, run.mode, run.device) &&
         (!isCompressedFormat(run.device.fourcc) || openJpegDecoder(run.decoder));
}

void v4l2Stop(CaptureRun& run) {
  stopV4l2Stream(run.device);
  closePictureDecoder(run.decoder);
}
}  // namespace

// A live camera has no recording time: the renderer cannot use one.
const CameraSource v4l2Source = {v4l2ChosenBy, v4l2List,  v4l2Connect,    v4l2Disconnect,
                                 fourCodeName, v4l2Start, runV4l2Capture, v4l2Stop,
                                 nullptr,      nullptr,   nullptr};
