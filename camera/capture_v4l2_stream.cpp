#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "camera/capture_v4l2.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"

namespace {
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
             stream.height, fourCodeName(int32_t(stream.fourcc)).c_str(), rate, mode.width, mode.height,
             fourCodeName(mode.formatCode).c_str(), mode.framesPerSecond, scaled);
}

void reportEnd(const char* what, int error) {
  diagnostic("camera", "Camera %s (%s): capture ended.", what, std::strerror(error));
}

// Outcome of draining the device's ready buffers.
enum class Drain { Frame, Nothing, Gone, QueueFailed };

// Frames arriving that long without one the analysis can use are worth a line.
constexpr int64_t silenceLimitNanoseconds = 2000000000;
// No buffer at all for that long (or three frame intervals of a slower mode)
// is a stall: after a USB transfer error the video class driver stops
// completing buffers without telling anyone.
constexpr int64_t stallLimitNanoseconds = 2000000000;
// Some cameras take a second or two after STREAMON for their first frame
// (exposure settling, a large MJPEG mode): restarting them sooner would
// never let them begin.
constexpr int64_t firstBufferLimitNanoseconds = 5000000000;

int64_t stallLimit(const CaptureMode& mode, const V4l2Stream& stream) {
  if (!stream.buffered) return firstBufferLimitNanoseconds;
  const int64_t frames = mode.framesPerSecond > 0 ? 3 * 1000000000ll / mode.framesPerSecond : 0;
  return std::max(stallLimitNanoseconds, frames);
}

// A call that failed on the queue: the device is gone (ENODEV), or the queue
// failed and stays so until STREAMOFF (videobuf2's q->error gives EIO).
Drain queueFailure(V4l2Stream& stream, int error) {
  if (error == ENODEV) {
    reportLoss(error);
    return Drain::Gone;
  }
  stream.failure = error;
  return Drain::QueueFailed;
}

double secondsSince(int64_t thenNanoseconds) {
  return double(monotonicNanoseconds() - thenNanoseconds) / 1e9;
}

void noteUnusable(V4l2Stream& stream, const char* why) {
  ++stream.unusableFrames;
  stream.lastRefusal = why;
  if (stream.silenceReported ||
      monotonicNanoseconds() - stream.lastUsableNanoseconds < silenceLimitNanoseconds)
    return;
  diagnostic("camera", "none of the %u frames of the last %.1f s could be used (the last one: %s)",
             stream.unusableFrames, secondsSince(stream.lastUsableNanoseconds), why);
  stream.silenceReported = true;
}

void noteUsable(V4l2Stream& stream) {
  if (stream.silenceReported)
    diagnostic("camera", "usable frames again after %.1f s", secondsSince(stream.lastUsableNanoseconds));
  stream.silenceReported = false;
  stream.unusableFrames = 0;
  stream.lastRefusal = nullptr;
  stream.lastUsableNanoseconds = monotonicNanoseconds();
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
// unread.
Drain drainNewest(CaptureRun& run) {
  V4l2Stream& stream = run.device;
  int newest = -1;
  uint32_t newestBytes = 0;
  for (;;) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (deviceIoctl(stream.fd, VIDIOC_DQBUF, &buffer) < 0) {
      if (errno == EAGAIN) break;
      if (newest >= 0) queueBuffer(stream, uint32_t(newest));  // fails alike; restarting takes it back
      return queueFailure(stream, errno);
    }
    if (buffer.index >= stream.bufferCount) continue;  // never mapped, never queued
    stream.lastBufferNanoseconds = monotonicNanoseconds();
    stream.buffered = true;
    if (const char* problem = bufferProblem(stream, buffer)) {
      // An empty buffer flagged as damaged is one the driver gave back when
      // it cancelled its queue, not a frame.
      if (!(buffer.flags & V4L2_BUF_FLAG_ERROR) || buffer.bytesused > 0) noteUnusable(stream, problem);
      if (!queueBuffer(stream, buffer.index)) return queueFailure(stream, errno);
      continue;
    }
    if (newest >= 0 && !queueBuffer(stream, uint32_t(newest))) return queueFailure(stream, errno);
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
  if (!queueBuffer(stream, uint32_t(newest))) return queueFailure(stream, errno);
  if (!placed) {
    noteUnusable(stream, run.decoder.refusal ? run.decoder.refusal : "not convertible");
    return Drain::Nothing;
  }
  noteUsable(stream);
  return Drain::Frame;
}
}  // namespace

bool startV4l2Stream(int fd, const CaptureMode& mode, V4l2Stream& stream, StartFailure& failure) {
  stream = {};
  stream.fd = fd;
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.width = uint32_t(mode.width);
  format.fmt.pix.height = uint32_t(mode.height);
  format.fmt.pix.pixelformat = uint32_t(mode.formatCode);
  format.fmt.pix.field = V4L2_FIELD_NONE;
  if (deviceIoctl(fd, VIDIOC_S_FMT, &format) < 0) {
    failure = {"refused its mode", errno};
    return false;
  }
  failure = {"answered with a mode it cannot be read in", 0};
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
  const int granted = deviceIoctl(fd, VIDIOC_REQBUFS, &request);
  if (granted < 0 || request.count == 0) {
    failure = {"gave no frame buffers", granted < 0 ? errno : ENOMEM};
    return false;
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (!mapAndQueueBuffers(stream, request.count) || deviceIoctl(fd, VIDIOC_STREAMON, &type) < 0) {
    failure = {"did not start streaming", errno};
    releaseBuffers(stream);
    return false;
  }
  stream.streaming = true;
  // The silence and the stall are counted anew after every start.
  stream.lastUsableNanoseconds = stream.lastBufferNanoseconds = monotonicNanoseconds();
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

void reportLoss(int error) {
  diagnostic("camera", "Camera unplugged (%s): waiting for it to come back.", std::strerror(error));
}

StreamEnd streamFrames(CaptureRun& run) {
  V4l2Stream& stream = run.device;
  for (;;) {
    const int64_t due = stream.lastBufferNanoseconds + stallLimit(run.mode, stream);
    int64_t left = due - monotonicNanoseconds();
    if (left <= 0) return StreamEnd::Stalled;
    if (const int64_t hold = run.controls.holdDueNanoseconds; hold != 0) {
      if (hold <= monotonicNanoseconds()) holdAutomatics(run);
      else left = std::min(left, hold - monotonicNanoseconds());
    }
    noteWaitUntil(run, due);
    pollfd waits[2] = {{stream.fd, POLLIN, 0}, {run.stopFd, POLLIN, 0}};
    const int ready = ops().poll(waits, 2, int((left + 999999) / 1000000));
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
    if (!(events & (POLLIN | POLLERR))) continue;  // nothing yet: the stall limit decides
    switch (drainNewest(run)) {
      case Drain::Gone: return StreamEnd::Lost;
      case Drain::QueueFailed: return StreamEnd::QueueFailed;
      case Drain::Frame:
        if (run.recovery.troubleSinceNanoseconds) {
          diagnostic("camera", "frames from %s again after %.1f s", run.camera.name.c_str(),
                     secondsSince(run.recovery.troubleSinceNanoseconds));
          run.recovery = {};
        }
        deliverFrame(run);
        break;
      case Drain::Nothing:
        // POLLERR with nothing to dequeue: videobuf2 says so of a queue that
        // does not stream or has failed.
        if (events & POLLERR) {
          stream.failure = EIO;
          return StreamEnd::QueueFailed;
        }
        break;
    }
  }
}

int restartStream(V4l2Stream& stream) {
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (deviceIoctl(stream.fd, VIDIOC_STREAMOFF, &type) < 0) return errno;  // every buffer is ours again
  stream.streaming = false;
  for (uint32_t i = 0; i < stream.bufferCount; ++i) {
    if (!queueBuffer(stream, i)) return errno;
  }
  if (deviceIoctl(stream.fd, VIDIOC_STREAMON, &type) < 0) return errno;
  stream.streaming = true;
  stream.buffered = false;
  stream.lastBufferNanoseconds = monotonicNanoseconds();
  return 0;
}

bool startStream(int fd, CaptureRun& run, StartFailure& failure) {
  if (!startV4l2Stream(fd, run.mode, run.device, failure)) return false;
  applyCameraControls(run);
  if (!isCompressedFormat(run.device.fourcc) || run.decoder.context || openJpegDecoder(run.decoder))
    return true;
  failure = {"has no decoder for its pictures", 0};
  diagnostic("camera", "FFmpeg has no MJPEG decoder: capture not started.");
  return false;
}

void releaseLostDevice(CaptureRun& run) {
  stopV4l2Stream(run.device);
  if (run.device.fd >= 0) ops().close(run.device.fd);
  run.device.fd = -1;
}
