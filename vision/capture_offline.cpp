#include "vision/capture_offline.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>
#include <vector>

#include "vision/capture_system.h"

struct OfflineCamera {
  CameraKind kind;
  CaptureRun run;
  std::vector<uint8_t> layout;
  std::vector<uint8_t> grey;  // the demo's picture
  uint32_t frameIndex;
  int64_t firstPts;
  double loopOffset;
  double lastSeconds;
};

void OfflineCameraRelease::operator()(OfflineCamera* camera) const {
  if (camera->kind == CameraKind::VideoFile) closeVideoFile(camera->run);
  delete camera;
}

namespace {
bool isDemo(const char* name) { return std::strcmp(name, "demo") == 0; }

// The picture's own time; pictures without a time stamp follow the rate.
double pictureSeconds(OfflineSource& source) {
  OfflineCamera& camera = *source.camera;
  const double byIndex = double(camera.frameIndex) / source.framesPerSecond;
  const AVFrame* picture = camera.run.decoder.frame;
  const int64_t pts = picture->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) return byIndex;
  if (camera.frameIndex == 0) camera.firstPts = pts;
  const AVRational base = camera.run.file.format->streams[camera.run.file.streamIndex]->time_base;
  double seconds = double(pts - camera.firstPts) * av_q2d(base) + camera.loopOffset;
  if (camera.frameIndex > 0 && seconds <= camera.lastSeconds) {
    // The file started over: carry on one frame after where it ended.
    camera.loopOffset =
        camera.lastSeconds + 1.0 / source.framesPerSecond - double(pts - camera.firstPts) * av_q2d(base);
    seconds = camera.lastSeconds + 1.0 / source.framesPerSecond;
  }
  return seconds;
}
}  // namespace

bool openOfflineSource(OfflineSource& source, const char* name, std::string& reason) {
  closeOfflineSource(source);
  std::unique_ptr<OfflineCamera, OfflineCameraRelease> camera(new OfflineCamera{});
  CaptureMode mode{};
  if (isDemo(name)) {
    camera->kind = CameraKind::Demo;
    mode = {demoWidth, demoHeight, demoFramesPerSecond, 0};
    camera->grey.resize(size_t(demoWidth) * demoHeight);
    source.durationSeconds = 60.0;
  } else {
    camera->kind = CameraKind::VideoFile;
    if (!probeVideoFile(name, mode, reason)) return false;
    if (!openVideoFile(name, camera->run)) {
      reason = "cannot be decoded";
      return false;
    }
    const int64_t duration = camera->run.file.format->duration;
    source.durationSeconds = duration > 0 ? double(duration) / AV_TIME_BASE : 0.0;
  }
  camera->layout.assign(captureLayoutBytes(mode.width, mode.height), 0);
  camera->run.target = {camera->layout.data(), mode.width, mode.height};
  source.width = mode.width;
  source.height = mode.height;
  source.framesPerSecond = mode.framesPerSecond > 0 ? mode.framesPerSecond : 1;
  source.camera = std::move(camera);
  return true;
}

bool nextOfflineFrame(OfflineSource& source, FrameRecord& frame, double& seconds) {
  if (!source.camera) return false;
  OfflineCamera& camera = *source.camera;
  if (camera.kind == CameraKind::Demo) {
    renderDemoFrame(camera.frameIndex, camera.grey.data());
    placeLumaPlane(camera.grey.data(), demoWidth, 1, demoWidth, demoHeight, camera.run.target);
    seconds = double(camera.frameIndex) / demoFramesPerSecond;
  } else {
    // A picture that cannot be placed is skipped, as the live camera drops it;
    // once the file started over twice without one, every picture was tried.
    const uint32_t rewinds = camera.run.file.rewinds;
    for (;;) {
      if (!nextPicture(camera.run) || camera.run.file.rewinds - rewinds >= 2) return false;
      seconds = pictureSeconds(source);
      if (placeVideoPicture(camera.run)) break;
    }
  }
  camera.lastSeconds = seconds;
  ++camera.frameIndex;
  frame = {camera.layout.data(), camera.layout.size()};
  return true;
}

void closeOfflineSource(OfflineSource& source) {
  source.camera.reset();
  source.width = source.height = source.framesPerSecond = 0;
  source.durationSeconds = 0.0;
}
