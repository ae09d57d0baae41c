#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "camera/capture_v4l2.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"

void runV4l2Capture(CaptureRun& run) {
  bool streaming = run.device.streaming;
  if (!streaming) {  // the first start failed, and said so: try again in a while
    releaseLostDevice(run);
    streaming =
        !waitForStop(run, int(nextPauseMs(run.recovery))) && reopenCamera(run, Reopening::StartFailed);
  }
  while (streaming) {
    const StreamEnd end = streamFrames(run);
    if (end == StreamEnd::Stopped || end == StreamEnd::Failed) return;
    if (end == StreamEnd::Lost) {
      releaseLostDevice(run);
      streaming = reopenCamera(run, Reopening::Replugged);
    } else {
      streaming = recoverStream(run, end);
    }
  }
}

bool recoverStream(CaptureRun& run, StreamEnd trouble) {
  V4l2Recovery& recovery = run.recovery;
  const char* name = run.camera.name.c_str();
  if (recovery.troubleSinceNanoseconds == 0) {  // frames came until now: restarting the stream may do
    const int64_t lastBuffer = run.device.lastBufferNanoseconds;
    recovery.troubleSinceNanoseconds = lastBuffer;
    recovery.steps = 1;
    if (trouble == StreamEnd::Stalled) {
      diagnostic("camera", "no frame from %s for %.1f s: restarting its stream", name,
                 double(monotonicNanoseconds() - lastBuffer) / 1e9);
    } else {
      diagnostic("camera", "the frame queue of %s failed (%s): restarting its stream", name,
                 std::strerror(run.device.failure));
    }
    const int error = restartStream(run.device);
    if (error == 0) return true;
    if (error == ENODEV) {
      reportLoss(error);
      releaseLostDevice(run);
      return reopenCamera(run, Reopening::Replugged);
    }
  }
  if (recovery.steps++ == 1) {
    diagnostic("camera", "still no frame from %s: opening it again", name);
  } else if (waitForStop(run, int(nextPauseMs(recovery)))) {
    return false;
  }
  releaseLostDevice(run);
  return reopenCamera(run, Reopening::Stalled);
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
  StartFailure failure{};
  if (startStream(run.device.fd, run, failure)) return true;
  if (failure.error == 0) return false;  // an answer it cannot use, said already
  noteStartFailure(run, failure);        // the driver may be ready later: the thread tries again
  return true;
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
