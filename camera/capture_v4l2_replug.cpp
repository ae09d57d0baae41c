#include <linux/videodev2.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "camera/capture_v4l2.h"
#include "platform/diagnostics.h"

namespace {
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
}  // namespace

int openCameraAgain(const CameraEntry& camera, const std::vector<std::string>& others, std::string& path) {
  for (const std::string& candidate : candidateNodes(camera)) {
    if (std::find(others.begin(), others.end(), candidate) != others.end()) continue;
    const int fd = openCaptureNode(candidate.c_str());
    if (fd < 0) continue;  // not there yet, or not ours to open yet (udev sets the rights after)
    CameraEntry found{};
    int error = 0;
    const bool same =
        capturesVideo(askNode(fd, found, error)) &&
        ((!camera.busInfo.empty() && found.busInfo == camera.busInfo) || found.name == camera.name);
    if (same) {
      path = candidate;
      return fd;
    }
    ops().close(fd);
  }
  return -1;
}

std::vector<std::string> namesakes(const CameraEntry& camera) {
  std::vector<std::string> others;
  for (const std::string& candidate : candidateNodes(camera)) {
    const int fd = openCaptureNode(candidate.c_str());
    if (fd < 0) continue;
    CameraEntry found{};
    int error = 0;
    if (capturesVideo(askNode(fd, found, error)) && found.name == camera.name &&
        found.busInfo != camera.busInfo) {
      others.push_back(candidate);
    }
    ops().close(fd);
  }
  return others;
}

namespace {
enum class Return { NotYet, Back, Failed, End };

// Reopens the camera when it is there and streams it in the run's mode.
Return tryCameraAgain(CaptureRun& run, const std::vector<std::string>& others, std::string& path,
                      StartFailure& failure) {
  const int fd = openCameraAgain(run.camera, others, path);
  if (fd < 0) return Return::NotYet;
  std::vector<CaptureMode> modes;
  listV4l2Modes(fd, modes);
  const CaptureMode& mode = run.mode;
  if (std::none_of(modes.begin(), modes.end(), [&](const CaptureMode& m) { return sameMode(m, mode); })) {
    diagnostic("camera", "%s is back at %s without the mode %dx%d %s at %d fps: capture stays stopped.",
               run.camera.name.c_str(), path.c_str(), mode.width, mode.height,
               fourCodeName(mode.formatCode).c_str(), mode.framesPerSecond);
    ops().close(fd);
    return Return::End;
  }
  if (startStream(fd, run, failure)) return Return::Back;
  releaseLostDevice(run);
  return failure.error ? Return::Failed : Return::End;  // an answer it cannot use is said already
}

// Says that the camera streams again.
void reportBack(CaptureRun& run, Reopening why, const std::string& path) {
  const char* name = run.camera.name.c_str();
  if (why == Reopening::Replugged) {
    diagnostic("camera", "%s is back at %s: capture goes on.", name, path.c_str());
  } else if (run.recovery.attempts > 0) {
    diagnostic("camera", "%s streams at %s after %u attempts: capture goes on.", name, path.c_str(),
               run.recovery.attempts + 1);
  }
  run.recovery.attempts = 0;
  run.recovery.lastStep = nullptr;
  run.recovery.lastError = 0;
  run.recovery.pauseMs = 0;
}

// Takes the watch's events; a namesake that went may come back as ours.
void readWatch(int watch, std::vector<std::string>& others) {
  alignas(inotify_event) char events[4096];
  ssize_t length;
  while ((length = read(watch, events, sizeof events)) > 0) {
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if ((event->mask & IN_DELETE) && event->len > 0) {
        const std::string gone = std::string(videoDeviceFolder()) + "/" + event->name;
        others.erase(std::remove(others.begin(), others.end(), gone), others.end());
      }
      at += ssize_t(sizeof(inotify_event) + event->len);
    }
  }
}
}  // namespace

void noteStartFailure(CaptureRun& run, const StartFailure& failure) {
  V4l2Recovery& recovery = run.recovery;
  ++recovery.attempts;
  if (recovery.lastStep == failure.step && recovery.lastError == failure.error) return;
  recovery.lastStep = failure.step;
  recovery.lastError = failure.error;
  // uvcvideo passes on ENOSPC when the host controller cannot reserve the
  // camera's bandwidth on its bus.
  const std::string reason =
      failure.error == ENOSPC ? std::string(std::strerror(ENOSPC)) +
                                    ": the USB bus has no bandwidth left for it; plug it into another port, "
                                    "or use a camera fewer on that hub"
                              : std::strerror(failure.error);
  diagnostic("camera", "Camera %s (%s): trying again, at most %d s apart.", failure.step, reason.c_str(),
             int(longestPauseMs / 1000));
}

int64_t nextPauseMs(V4l2Recovery& recovery) {
  recovery.pauseMs = recovery.pauseMs ? std::min(2 * recovery.pauseMs, longestPauseMs) : firstPauseMs;
  return recovery.pauseMs;
}

bool reopenCamera(CaptureRun& run, Reopening why) {
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
    std::string path;
    StartFailure failure{};
    const Return outcome = tryCameraAgain(run, others, path, failure);
    if (outcome == Return::Back) {
      reportBack(run, why, path);
      back = true;
      break;
    }
    if (outcome == Return::End) break;
    if (outcome == Return::Failed) {  // there, but not ready: a while, not a /dev event, tells
      noteStartFailure(run, failure);
      if (waitForStop(run, int(nextPauseMs(run.recovery)))) break;
      readWatch(watch, others);
      continue;
    }
    setCapturePhase(run, CapturePhase::WaitingForCamera);
    pollfd waits[2] = {{watch, POLLIN, 0}, {run.stopFd, POLLIN, 0}};
    int ready;
    do {
      ready = ::poll(waits, 2, -1);
    } while (ready < 0 && errno == EINTR);
    setCapturePhase(run, CapturePhase::Streaming);  // looking is no waiting: a hang here is a stall
    if (ready < 0 || waits[1].revents) break;
    readWatch(watch, others);
  }
  close(watch);
  return back;
}
