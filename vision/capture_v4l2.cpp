#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/diagnostics.h"
#include "vision/capture_device_ops.h"
#include "vision/capture_system.h"

namespace {
const CaptureDeviceOps& ops() { return captureDeviceOps(); }

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

void addSizes(int fd, std::vector<CaptureMode>& modes, uint32_t fourcc) {
  v4l2_frmsizeenum size{};
  size.pixel_format = fourcc;
  if (deviceIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) {
    // No size list: take what the driver makes of a common request.
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = fourcc;
    format.fmt.pix.width = 640;
    format.fmt.pix.height = 480;
    if (deviceIoctl(fd, VIDIOC_TRY_FMT, &format) == 0 && format.fmt.pix.pixelformat == fourcc) {
      addRates(fd, modes, fourcc, format.fmt.pix.width, format.fmt.pix.height);
    }
    return;
  }
  if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
    const v4l2_frmsize_stepwise range = size.stepwise;
    addRates(fd, modes, fourcc, range.min_width, range.min_height);
    if (range.max_width != range.min_width || range.max_height != range.min_height) {
      addRates(fd, modes, fourcc, range.max_width, range.max_height);
    }
    return;
  }
  for (;;) {
    addRates(fd, modes, fourcc, size.discrete.width, size.discrete.height);
    ++size.index;
    if (deviceIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0 || size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
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

// Dequeues every ready buffer, requeues all but the newest good one, and
// places that one. Short or error-flagged buffers are requeued unread. A
// dequeue error that may pass ends the draining and is left in `failure`.
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
    if (buffer.index >= stream.bufferCount) continue;
    const size_t minimum = minimumFrameBytes(stream.fourcc, stream.width, stream.height, stream.bytesPerLine);
    const bool bad = (buffer.flags & V4L2_BUF_FLAG_ERROR) || buffer.bytesused == 0 ||
                     buffer.bytesused < minimum || buffer.bytesused > stream.buffers[buffer.index].length;
    if (bad) {
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
  return placed ? Drain::Frame : Drain::Nothing;
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
    usable = (nodeCaps & V4L2_CAP_VIDEO_CAPTURE) && (nodeCaps & V4L2_CAP_STREAMING);
    const auto* card = reinterpret_cast<const char*>(caps.card);
    name.assign(card, strnlen(card, sizeof caps.card));
  }
  ops().close(fd);
  return usable;
}

int openCaptureNode(const char* path) { return ops().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC); }

void listV4l2Modes(int fd, std::vector<CaptureMode>& modes) {
  v4l2_fmtdesc format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (format.index = 0; deviceIoctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
    // Only formats the layer can turn into luma: a mode it cannot deliver
    // would leave the installation deaf.
    if (isConvertibleFormat(format.pixelformat)) addSizes(fd, modes, format.pixelformat);
  }
}

bool startV4l2Stream(int fd, const CaptureMode& mode, V4l2Stream& stream) {
  stream = {};
  stream.fd = fd;
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.width = uint32_t(mode.width);
  format.fmt.pix.height = uint32_t(mode.height);
  format.fmt.pix.pixelformat = uint32_t(mode.formatCode);
  format.fmt.pix.field = V4L2_FIELD_ANY;
  if (deviceIoctl(fd, VIDIOC_S_FMT, &format) < 0) {
    diagnostic("camera", "Camera refused its mode (%s).", std::strerror(errno));
    return false;
  }
  if (!isConvertibleFormat(format.fmt.pix.pixelformat) || format.fmt.pix.width == 0 ||
      format.fmt.pix.height == 0) {
    diagnostic("camera", "Camera switched to a format that cannot be read.");
    return false;
  }
  stream.fourcc = format.fmt.pix.pixelformat;
  stream.width = int32_t(format.fmt.pix.width);
  stream.height = int32_t(format.fmt.pix.height);
  stream.bytesPerLine = format.fmt.pix.bytesperline;

  if (mode.framesPerSecond > 0) {  // a rate the driver does not take is no reason to stop
    v4l2_streamparm rate{};
    rate.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rate.parm.capture.timeperframe = {1, uint32_t(mode.framesPerSecond)};
    deviceIoctl(fd, VIDIOC_S_PARM, &rate);
  }

  v4l2_requestbuffers request{};
  request.count = maxStreamBuffers;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (deviceIoctl(fd, VIDIOC_REQBUFS, &request) < 0 || request.count == 0) {
    diagnostic("camera", "Camera gave no frame buffers (%s).", std::strerror(errno));
    return false;
  }
  const uint32_t count = request.count < maxStreamBuffers ? request.count : maxStreamBuffers;
  for (uint32_t i = 0; i < count; ++i) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = i;
    if (deviceIoctl(fd, VIDIOC_QUERYBUF, &buffer) < 0) break;
    void* start = ops().mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
    if (start == MAP_FAILED) break;
    stream.buffers[i] = {start, buffer.length};
    stream.bufferCount = i + 1;
  }
  bool queued = stream.bufferCount == count;
  for (uint32_t i = 0; queued && i < stream.bufferCount; ++i) queued = queueBuffer(stream, i);
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (!queued || deviceIoctl(fd, VIDIOC_STREAMON, &type) < 0) {
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
  int failedWakes = 0;
  for (;;) {
    pollfd waits[2] = {{run.device.fd, POLLIN, 0}, {run.stopFd, POLLIN, 0}};
    const int ready = ops().poll(waits, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      reportEnd("wait failed", errno);
      return;
    }
    if (waits[1].revents) return;
    if (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      reportEnd("unplugged", ENODEV);
      return;
    }
    if (!(waits[0].revents & POLLIN)) continue;
    int failure = 0;
    const Drain drained = drainNewest(run, failure);
    if (drained == Drain::Gone) return;
    if (drained == Drain::Frame) deliverFrame(run);
    if (failure == 0 || drained == Drain::Frame) {
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
