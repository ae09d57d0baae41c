#include "camera/capture_library.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera/capture_device_ops.h"
#include "camera/capture_system.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"

namespace {
constexpr uint32_t maxSystems = 4;
// Never destroyed: a capture thread still running at exit must not meet a
// destructed record (std::thread would end the process).
CaptureSystem* const systems = new CaptureSystem[maxSystems]();
uint32_t lastCaptureId = 0;

// The record of a handle, or nullptr for one never acquired.
CaptureSystem* systemOf(uint32_t handle) {
  if (handle == 0 || handle > maxSystems || !systems[handle - 1].acquired) return nullptr;
  return &systems[handle - 1];
}

CaptureSystem* connectedSystem(uint32_t handle) {
  CaptureSystem* system = systemOf(handle);
  return system && system->connected >= 0 ? system : nullptr;
}

void copyText(const char* text, char* out, const uint32_t* capacity) {
  if (!out || !capacity || *capacity == 0) return;
  std::snprintf(out, *capacity, "%s", text);
}

void runCapture(CaptureRun* run) {
  pthread_setname_np(pthread_self(), "camera");  // as top -H and /proc show it
  run->source->run(*run);
  setCapturePhase(*run, CapturePhase::Ended);
  run->running.store(false);
}

void freeRun(CaptureSystem& system, CaptureRun& run) {
  run.source->stop(system, run);
  if (run.stopFd >= 0) close(run.stopFd);
  run.stopFd = -1;
  std::free(run.target.bytes);
  run.target = {};
}
}  // namespace

void CVGetVidCapString(char* text, uint32_t* capacity) {
  char version[128];
  std::snprintf(version, sizeof version, "Tessaro camera layer 1.0 (V4L2, FFmpeg %s)\n", av_version_info());
  copyText(version, text, capacity);
}

int32_t CVAcquireVidCap(uint32_t* handle) {
  if (!handle) return -1;
  for (uint32_t i = 0; i < maxSystems; ++i) {
    if (systems[i].acquired) continue;
    systems[i].acquired = true;
    systems[i].cameras.clear();
    systems[i].skipped.clear();
    systems[i].listed = false;
    systems[i].connected = -1;
    systems[i].modes.clear();
    systems[i].deviceFd = -1;
    systems[i].capturing = false;
    systems[i].run.stopFd = -1;
    *handle = i + 1;
    return 0;
  }
  return -1;
}

int32_t listCameras(uint32_t handle, std::vector<CameraSkip>& skipped) {
  CaptureSystem* system = systemOf(handle);
  if (!system) return -1;
  if (!system->listed) {
    system->skipped.clear();
    system->cameras = findCameras(system->skipped);
    system->listed = true;
  }
  skipped = system->skipped;
  return int32_t(system->cameras.size());
}

int32_t CVGetNumDevices(uint32_t handle) {
  CaptureSystem* system = systemOf(handle);
  if (!system) return -1;
  if (!system->listed) {
    std::vector<CameraSkip> skipped;
    listCameras(handle, skipped);
    for (const CameraSkip& skip : skipped) diagnostic("camera", "%s", skip.line.c_str());
  }
  return int32_t(system->cameras.size());
}

bool cameraDetails(uint32_t handle, int32_t device, CameraDetails& details) {
  CaptureSystem* system = systemOf(handle);
  if (!system || CVGetNumDevices(handle) < 0 || device < 0 || device >= int32_t(system->cameras.size()))
    return false;
  const CameraEntry& camera = system->cameras[size_t(device)];
  details = {camera.path, camera.name, camera.driver, camera.busInfo};
  return true;
}

int32_t CVGetDeviceName(uint32_t handle, int32_t device, char* name, uint32_t* capacity) {
  CaptureSystem* system = systemOf(handle);
  if (!system || CVGetNumDevices(handle) < 0 || device < 0 || device >= int32_t(system->cameras.size()))
    return -1;
  copyText(system->cameras[size_t(device)].name.c_str(), name, capacity);
  return 0;
}

int32_t CVDevConnect(uint32_t handle, int32_t device) {
  CaptureSystem* system = systemOf(handle);
  if (!system || system->connected >= 0 || CVGetNumDevices(handle) < 0 || device < 0 ||
      device >= int32_t(system->cameras.size())) {
    return -1;
  }
  const CameraEntry& camera = system->cameras[size_t(device)];
  system->modes.clear();
  if (!camera.source->connect(*system, camera)) return -1;
  system->connected = device;
  return 0;
}

int32_t CVDevGetNumModes(uint32_t handle) {
  CaptureSystem* system = connectedSystem(handle);
  return system ? int32_t(system->modes.size()) : -1;
}

int32_t CVDevGetModeInfo(uint32_t handle, int32_t mode, int32_t* width, int32_t* height,
                         int32_t* framesPerSecond, int32_t* formatCode) {
  CaptureSystem* system = connectedSystem(handle);
  if (!system || mode < 0 || mode >= int32_t(system->modes.size())) return -1;
  const CaptureMode& m = system->modes[size_t(mode)];
  if (width) *width = m.width;
  if (height) *height = m.height;
  if (framesPerSecond) *framesPerSecond = m.framesPerSecond;
  if (formatCode) *formatCode = m.formatCode;
  return 0;
}

int32_t CVDevGetFormatName(uint32_t handle, int32_t formatCode, char* name, uint32_t* capacity) {
  CaptureSystem* system = connectedSystem(handle);
  if (!system) return -1;
  const CameraSource& source = *system->cameras[size_t(system->connected)].source;
  copyText(source.formatName(formatCode).c_str(), name, capacity);
  return 0;
}

int32_t CVDevStartCap(uint32_t handle, int32_t mode, uint32_t tag, CaptureFrameCallback callback,
                      uint32_t user, uint32_t* captureId) {
  CaptureSystem* system = connectedSystem(handle);
  if (!system || system->capturing || !callback || mode < 0 || mode >= int32_t(system->modes.size()))
    return -1;
  const CameraEntry& camera = system->cameras[size_t(system->connected)];
  CaptureRun& run = system->run;
  run.source = camera.source;
  run.camera = camera;
  run.phase.store(CapturePhase::Streaming);
  noteSign(run);
  run.framesDelivered.store(0);
  run.frameNanoseconds.store(run.signNanoseconds.load());
  run.mode = system->modes[size_t(mode)];
  run.callback = callback;
  run.tag = tag;
  run.user = user;
  run.decoder = {};
  run.device = {};
  run.recovery = {};
  run.controls = {cameraControlSetup(), 0, false, {}, false};
  run.file = {};
  run.layoutBytes = captureLayoutBytes(run.mode.width, run.mode.height);
  run.target = {static_cast<uint8_t*>(std::calloc(run.layoutBytes, 1)), run.mode.width, run.mode.height};
  run.stopFd = eventfd(0, EFD_CLOEXEC);
  const bool ready = run.target.bytes && run.stopFd >= 0 && camera.source->start(*system, camera, run);
  if (!ready) {
    freeRun(*system, run);
    return -1;
  }
  run.id = ++lastCaptureId;
  if (run.id == 0) run.id = ++lastCaptureId;
  run.running.store(true);
  run.thread = std::thread(runCapture, &run);
  system->capturing = true;
  if (captureId) *captureId = run.id;
  return 0;
}

int32_t CVDevStopCap(uint32_t handle, uint32_t captureId) {
  CaptureSystem* system = connectedSystem(handle);
  if (!system || !system->capturing || system->run.id != captureId) return -1;
  CaptureRun& run = system->run;
  if (run.thread.get_id() == std::this_thread::get_id()) return -1;  // from inside the callback
  const uint64_t one = 1;
  if (write(run.stopFd, &one, sizeof one) < 0)
    diagnostic("camera", "Stopping capture: %s", std::strerror(errno));
  run.thread.join();
  freeRun(*system, run);
  system->capturing = false;
  return 0;
}

int32_t CVDevDisconnect(uint32_t handle) {
  CaptureSystem* system = connectedSystem(handle);
  if (!system) return -1;
  if (system->capturing) CVDevStopCap(handle, system->run.id);
  system->cameras[size_t(system->connected)].source->disconnect(*system);
  system->modes.clear();
  system->connected = -1;
  return 0;
}

int32_t CVReleaseVidCap(uint32_t handle) {
  CaptureSystem* system = systemOf(handle);
  if (!system) return -1;
  if (system->connected >= 0) CVDevDisconnect(handle);
  system->cameras.clear();
  system->skipped.clear();
  system->listed = false;
  system->acquired = false;
  return 0;
}

std::vector<CameraControl> cameraControls(uint32_t handle) {
  CaptureSystem* system = connectedSystem(handle);
  // Only a V4L2 camera keeps a device node open while connected.
  if (!system || system->deviceFd < 0) return {};
  return listDeviceControls(system->deviceFd);
}

bool isCaptureRunning(uint32_t handle) {
  CaptureSystem* system = connectedSystem(handle);
  return system && system->capturing && system->run.running.load();
}

CaptureActivity captureActivity(uint32_t handle) {
  CaptureSystem* system = connectedSystem(handle);
  if (!system || !system->capturing) return {CaptureState::NotCapturing, 0, 0, 0};
  const CaptureRun& run = system->run;
  const CapturePhase phase = run.phase.load();
  const int64_t now = monotonicNanoseconds();
  const int64_t stallAfter = run.stallAfterNanoseconds.load();
  const int64_t sinceMs = std::max<int64_t>(0, (now - run.signNanoseconds.load()) / 1000000);
  const int64_t sinceFrameMs = std::max<int64_t>(0, (now - run.frameNanoseconds.load()) / 1000000);
  CaptureActivity activity{CaptureState::Delivering, uint32_t(std::min<int64_t>(sinceMs, UINT32_MAX)),
                           run.framesDelivered.load(), uint32_t(std::min<int64_t>(sinceFrameMs, UINT32_MAX))};
  if (phase == CapturePhase::Ended) {
    activity.state = CaptureState::Ended;
  } else if (phase == CapturePhase::WaitingForCamera) {
    activity.state = CaptureState::WaitingForCamera;
  } else if (now > stallAfter) {
    activity.state = CaptureState::Stalled;
  }
  return activity;
}
