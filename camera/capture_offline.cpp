#include "camera/capture_offline.h"

#include "camera/capture_system.h"

void OfflineCameraRelease::operator()(OfflineCamera* camera) const {
  camera->source->closeOffline(*camera);
  delete camera;
}

bool openOfflineSource(OfflineSource& source, const char* name, std::string& reason) {
  closeOfflineSource(source);
  const CameraSource& kind = cameraSourceFor(name);
  if (!kind.openOffline) {
    reason = "a live camera cannot be rendered";
    return false;
  }
  std::unique_ptr<OfflineCamera, OfflineCameraRelease> camera(new OfflineCamera{});
  camera->source = &kind;
  CaptureMode mode{};
  double durationSeconds = 0.0;
  if (!kind.openOffline(*camera, name, mode, durationSeconds, reason)) return false;
  camera->layout.assign(captureLayoutBytes(mode.width, mode.height), 0);
  camera->run.target = {camera->layout.data(), mode.width, mode.height};
  camera->framesPerSecond = mode.framesPerSecond > 0 ? mode.framesPerSecond : 1;
  source.width = mode.width;
  source.height = mode.height;
  source.framesPerSecond = camera->framesPerSecond;
  source.durationSeconds = durationSeconds;
  source.camera = std::move(camera);
  return true;
}

bool nextOfflineFrame(OfflineSource& source, FrameRecord& frame, double& seconds) {
  if (!source.camera) return false;
  OfflineCamera& camera = *source.camera;
  if (!camera.source->nextOffline(camera, seconds)) return false;
  camera.lastSeconds = seconds;
  ++camera.frameIndex;
  source.passEndSeconds = camera.passEndSeconds;
  frame = {camera.layout.data(), camera.layout.size()};
  return true;
}

void closeOfflineSource(OfflineSource& source) {
  source.camera.reset();
  source.width = source.height = source.framesPerSecond = 0;
  source.durationSeconds = source.passEndSeconds = 0.0;
}
