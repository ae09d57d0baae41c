#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "camera/capture_device_ops.h"
#include "camera/capture_system.h"
#include "platform/diagnostics.h"

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
// left out, said in `skipped` when there is one.
void addSizes(int fd, std::vector<CaptureMode>& modes, uint32_t fourcc, const char* node,
              std::vector<CameraSkip>* skipped) {
  v4l2_frmsizeenum size{};
  size.pixel_format = fourcc;
  const bool listed = deviceIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0;
  uint32_t width = 640, height = 480;  // without a list: what the driver makes of these
  if (listed) {
    width = size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.width : size.stepwise.max_width;
    height = size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.height : size.stepwise.max_height;
  }
  if (const char* problem = fieldProblemOf(fd, fourcc, width, height)) {
    if (skipped) {
      const std::string format = formatName(fourcc);
      skipped->push_back({node, "format " + format + " left out: the driver sends " + problem,
                          std::string(node) + ": " + format + " skipped: the driver sends " + problem});
    }
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
void collectModes(int fd, std::vector<CaptureMode>& modes, const char* node,
                  std::vector<CameraSkip>* skipped) {
  v4l2_fmtdesc format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (format.index = 0; deviceIoctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
    if (isConvertibleFormat(format.pixelformat)) addSizes(fd, modes, format.pixelformat, node, skipped);
  }
}

std::string text(const uint8_t* field, size_t size) {
  const auto* chars = reinterpret_cast<const char*>(field);
  return std::string(chars, strnlen(chars, size));
}

// What a node is, asked of its driver.
enum class NodeKind { Camera, NoStreaming, MultiPlanarOnly, NotACamera };

NodeKind askNode(int fd, CameraEntry& camera, int& error) {
  v4l2_capability caps{};
  if (deviceIoctl(fd, VIDIOC_QUERYCAP, &caps) < 0) {
    error = errno;
    return NodeKind::NotACamera;
  }
  // The node's own capabilities; the whole device's only on old drivers.
  const uint32_t nodeCaps = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
  camera.name = text(caps.card, sizeof caps.card);
  camera.driver = text(caps.driver, sizeof caps.driver);
  camera.busInfo = text(caps.bus_info, sizeof caps.bus_info);
  error = 0;
  if (nodeCaps & V4L2_CAP_VIDEO_CAPTURE)
    return (nodeCaps & V4L2_CAP_STREAMING) ? NodeKind::Camera : NodeKind::NoStreaming;
  return (nodeCaps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) ? NodeKind::MultiPlanarOnly : NodeKind::NotACamera;
}

void addSkip(std::vector<CameraSkip>& skipped, const std::string& path, const std::string& name,
             const std::string& why) {
  skipped.push_back({path, name + ": " + why, path + " (" + name + ") skipped: " + why});
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

void reportLoss(int error) {
  diagnostic("camera", "Camera unplugged (%s): waiting for it to come back.", std::strerror(error));
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
        reportLoss(errno);
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
    reportLoss(errno);
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

bool queryCaptureNode(const char* path, bool named, CameraEntry& camera, std::vector<CameraSkip>& skipped) {
  camera = {&v4l2Source, path, "", "", ""};
  const int fd = ops().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // A node that went away while the folder was read is no camera.
    if (named || (errno != ENOENT && errno != ENXIO && errno != ENODEV)) {
      const std::string why = std::strerror(errno);
      skipped.push_back({path, "cannot be opened: " + why, std::string("Cannot open ") + path + ": " + why});
    }
    return false;
  }
  int error = 0;
  const NodeKind kind = askNode(fd, camera, error);
  switch (kind) {
    case NodeKind::Camera: {
      std::vector<CaptureMode> modes;
      collectModes(fd, modes, path, &skipped);
      break;
    }
    case NodeKind::NoStreaming: addSkip(skipped, path, camera.name, "it offers no streaming I/O"); break;
    case NodeKind::MultiPlanarOnly:
      addSkip(skipped, path, camera.name, "it captures only through the multi-planar API");
      break;
    case NodeKind::NotACamera:
      // UVC metadata, output, radio... nodes: no cameras, unless named.
      if (!named) break;
      if (error) {
        const std::string why = std::string("not a V4L2 device (") + std::strerror(error) + ")";
        skipped.push_back({path, why, std::string(path) + " skipped: " + why});
      } else {
        addSkip(skipped, path, camera.name, "it captures no video (a metadata, output or radio node)");
      }
      break;
  }
  ops().close(fd);
  return kind == NodeKind::Camera;
}

int openCaptureNode(const char* path) { return ops().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC); }

void listV4l2Modes(int fd, std::vector<CaptureMode>& modes) { collectModes(fd, modes, nullptr, nullptr); }

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
  stream.lastUsable = Clock::now();  // the silence is counted anew after every start
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

namespace {
enum class StreamEnd { Stopped, Lost, Failed };

// Delivers the device's frames until a stop, an unplug or a failure.
StreamEnd streamFrames(CaptureRun& run) {
  V4l2Stream& stream = run.device;
  int failedWakes = 0;
  for (;;) {
    pollfd waits[2] = {{stream.fd, POLLIN, 0}, {run.stopFd, POLLIN, 0}};
    const int ready = ops().poll(waits, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      reportEnd("wait failed", errno);
      return StreamEnd::Failed;
    }
    noteSign(run);
    if (waits[1].revents) return StreamEnd::Stopped;
    const short events = waits[0].revents;
    // An unregistered device reports a hang-up with its error.
    if (events & (POLLHUP | POLLNVAL)) {
      reportLoss(ENODEV);
      return StreamEnd::Lost;
    }
    if (!(events & (POLLIN | POLLERR))) continue;
    int failure = 0;
    const Drain drained = drainNewest(run, failure);
    if (drained == Drain::Gone) return StreamEnd::Lost;
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
      return StreamEnd::Failed;
    }
    if (waitForStop(run, failedWakePauseMs))
      return StreamEnd::Stopped;  // the device stays readable: no spinning
  }
}

// Starts streaming `fd` in the run's mode; the descriptor is the run's from
// here on, whatever the outcome.
bool startStream(int fd, CaptureRun& run) {
  if (!startV4l2Stream(fd, run.mode, run.device)) return false;
  return !isCompressedFormat(run.device.fourcc) || run.decoder.context || openJpegDecoder(run.decoder);
}

// Gives up a device that is gone: its buffers and its descriptor, so that
// the driver can free it and give its node to the camera when it returns.
void releaseLostDevice(CaptureRun& run) {
  stopV4l2Stream(run.device);
  if (run.device.fd >= 0) ops().close(run.device.fd);
  run.device.fd = -1;
}

bool sameMode(const CaptureMode& a, const CaptureMode& b) {
  return a.width == b.width && a.height == b.height && a.framesPerSecond == b.framesPerSecond &&
         a.formatCode == b.formatCode;
}

// The nodes to look at for a camera: the device folder's, and the camera's
// own path when it lies elsewhere (a /dev/v4l/by-id/ link).
std::vector<std::string> candidateNodes(const CameraEntry& camera) {
  std::vector<std::string> paths = videoNodePaths();
  if (std::find(paths.begin(), paths.end(), camera.path) == paths.end()) paths.push_back(camera.path);
  return paths;
}

// Opens the capture node that is `camera` come back: the same bus path, or
// the same name on a node that is not another camera of that name (one in
// `others`). -1 when there is none yet.
int openCameraAgain(const CameraEntry& camera, const std::vector<std::string>& others, std::string& path) {
  for (const std::string& candidate : candidateNodes(camera)) {
    if (std::find(others.begin(), others.end(), candidate) != others.end()) continue;
    const int fd = openCaptureNode(candidate.c_str());
    if (fd < 0) continue;  // not there yet, or not ours to open yet (udev sets the rights after)
    CameraEntry found{};
    int error = 0;
    const bool same =
        askNode(fd, found, error) == NodeKind::Camera &&
        ((!camera.busInfo.empty() && found.busInfo == camera.busInfo) || found.name == camera.name);
    if (same) {
      path = candidate;
      return fd;
    }
    ops().close(fd);
  }
  return -1;
}

// The capture nodes of other cameras with the camera's name: not to be taken
// for it.
std::vector<std::string> namesakes(const CameraEntry& camera) {
  std::vector<std::string> others;
  for (const std::string& candidate : candidateNodes(camera)) {
    const int fd = openCaptureNode(candidate.c_str());
    if (fd < 0) continue;
    CameraEntry found{};
    int error = 0;
    if (askNode(fd, found, error) == NodeKind::Camera && found.name == camera.name &&
        found.busInfo != camera.busInfo) {
      others.push_back(candidate);
    }
    ops().close(fd);
  }
  return others;
}

enum class Return { NotYet, Back, WithoutItsMode };

// Reopens the camera when it is back and streams it in the run's mode.
Return tryCameraAgain(CaptureRun& run, const std::vector<std::string>& others) {
  std::string path;
  const int fd = openCameraAgain(run.camera, others, path);
  if (fd < 0) return Return::NotYet;
  std::vector<CaptureMode> modes;
  listV4l2Modes(fd, modes);
  const CaptureMode& mode = run.mode;
  if (std::none_of(modes.begin(), modes.end(), [&](const CaptureMode& m) { return sameMode(m, mode); })) {
    diagnostic("camera", "%s is back at %s without the mode %dx%d %s at %d fps: capture stays stopped.",
               run.camera.name.c_str(), path.c_str(), mode.width, mode.height,
               formatName(uint32_t(mode.formatCode)).c_str(), mode.framesPerSecond);
    ops().close(fd);
    return Return::WithoutItsMode;
  }
  if (!startStream(fd, run)) {  // said why; another return may do better
    releaseLostDevice(run);
    return Return::NotYet;
  }
  diagnostic("camera", "%s is back at %s: capture goes on.", run.camera.name.c_str(), path.c_str());
  return Return::Back;
}

// Sleeps until the camera is back (true, streaming again), a stop, or a
// return without its mode. The device folder is watched with inotify: the
// thread wakes only when a node appears, changes its rights or goes.
bool awaitCamera(CaptureRun& run) {
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0 ||
      inotify_add_watch(watch, videoDeviceFolder(), IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE) < 0) {
    diagnostic("camera", "Cannot watch %s for the camera's return (%s): capture ended.", videoDeviceFolder(),
               std::strerror(errno));
    if (watch >= 0) close(watch);
    return false;
  }
  std::vector<std::string> others = namesakes(run.camera);
  bool back = false;
  for (;;) {
    // Looked at once the watch is set, so a camera that came back meanwhile is seen.
    const Return outcome = tryCameraAgain(run, others);
    if (outcome != Return::NotYet) {
      back = outcome == Return::Back;
      break;
    }
    setCapturePhase(run, CapturePhase::WaitingForCamera);
    pollfd waits[2] = {{watch, POLLIN, 0}, {run.stopFd, POLLIN, 0}};
    int ready;
    do {
      ready = ::poll(waits, 2, -1);
    } while (ready < 0 && errno == EINTR);
    setCapturePhase(run, CapturePhase::Streaming);  // looking is no waiting: a hang here is a stall
    if (ready < 0 || waits[1].revents) break;
    alignas(inotify_event) char events[4096];
    ssize_t length;
    while ((length = read(watch, events, sizeof events)) > 0) {
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if ((event->mask & IN_DELETE) && event->len > 0) {  // a namesake that went may come back as ours
          const std::string gone = std::string(videoDeviceFolder()) + "/" + event->name;
          others.erase(std::remove(others.begin(), others.end(), gone), others.end());
        }
        at += ssize_t(sizeof(inotify_event) + event->len);
      }
    }
  }
  close(watch);
  return back;
}
}  // namespace

void runV4l2Capture(CaptureRun& run) {
  while (streamFrames(run) == StreamEnd::Lost) {
    releaseLostDevice(run);
    if (!awaitCamera(run)) return;
  }
}

namespace {
// Without TESSARO_CAMERA the cameras are the system's capture nodes; with
// it, a device node: a path to a character device, or a path in the device
// folder that is not there (to say so rather than call it a missing file).
bool v4l2ChosenBy(const char* choice) {
  if (choice == nullptr) return true;
  struct stat status {};
  if (ops().stat(choice, &status) == 0) return S_ISCHR(status.st_mode);
  const std::string folder = std::string(videoDeviceFolder()) + "/";
  return std::strncmp(choice, folder.c_str(), folder.size()) == 0;
}

std::vector<CameraEntry> v4l2List(const char* choice, std::vector<CameraSkip>& skipped) {
  if (choice == nullptr) return listCaptureNodes(skipped);
  CameraEntry camera{};
  if (!queryCaptureNode(choice, true, camera, skipped)) return {};
  return {camera};
}

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

// The capture takes the connected device's descriptor for as long as it
// runs: after an unplug it closes it and opens the camera again.
bool v4l2Start(CaptureSystem& system, const CameraEntry& camera, CaptureRun& run) {
  run.device.fd = system.deviceFd;
  system.deviceFd = -1;
  if (run.device.fd < 0) {  // lost during an earlier capture and not back at its stop
    std::string path;
    run.device.fd = openCameraAgain(camera, namesakes(camera), path);
    if (run.device.fd < 0) {
      diagnostic("camera", "%s is not there: capture not started.", camera.name.c_str());
      return false;
    }
  }
  return startStream(run.device.fd, run);
}

void v4l2Stop(CaptureSystem& system, CaptureRun& run) {
  stopV4l2Stream(run.device);
  closePictureDecoder(run.decoder);
  system.deviceFd = run.device.fd;
  run.device.fd = -1;
}
}  // namespace

// A live camera has no recording time: the renderer cannot use one.
const CameraSource v4l2Source = {v4l2ChosenBy, v4l2List,  v4l2Connect,    v4l2Disconnect,
                                 fourCodeName, v4l2Start, runV4l2Capture, v4l2Stop,
                                 nullptr,      nullptr,   nullptr};
