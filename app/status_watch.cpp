#include "app/status_watch.h"

#include <unistd.h>

#include <cmath>

#include "app/alerts.h"
#include "app/service_watch.h"
#include "audio/audio_library.h"
#include "osc/osc_output.h"
#include "platform/audio_device.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"
#include "platform/service_notify.h"
#include "vision/capture_setup.h"
#include "vision/motion_state.h"

namespace {
StatusTiming timing = statusTiming;

// One part (the camera or the sound) as the watch follows it.
struct Part {
  bool down = false;
  uint64_t downSinceMs = 0;
  bool alerted = false;  // the "down" alert went out; "back" follows it
  uint64_t losses = 0;   // times it went down
};

struct Watch {
  bool started = false;
  bool finished = false;
  uint64_t startMs = 0;
  uint64_t lastStatusMs = 0;
  uint64_t lastBeatMs = 0;
  uint64_t framesAtBeat = 0;  // the capture's count at the last heartbeat
  uint64_t frames = 0;        // every frame delivered so far, over every capture
  uint64_t lastDelivered = 0;
  int32_t framesPerSecond = 0;
  Part camera, sound;
  uint64_t underruns = 0;
  uint64_t audioLosses = 0;  // the device's own count, which sees even a short loss
  uint64_t stuckTimes = 0;   // and the times its callback was seen stuck
  bool soundStuck = false;
  bool statusLines = false;
};
Watch watch;

CameraStatus cameraStatus(uint64_t& delivered) {
  delivered = 0;
  if (!captureStarted) return CameraStatus::None;
  const CaptureActivity activity = captureActivity(captureSystem);
  delivered = activity.framesDelivered;
  switch (activity.state) {
    case CaptureState::NotCapturing: return CameraStatus::None;
    case CaptureState::Ended: return CameraStatus::Ended;
    case CaptureState::WaitingForCamera: return CameraStatus::Unplugged;
    case CaptureState::Stalled: return CameraStatus::NoFrames;
    case CaptureState::Delivering: break;
  }
  return activity.millisecondsSinceFrame >= timing.framelessMs ? CameraStatus::NoFrames : CameraStatus::Delivering;
}

std::string hostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !*name) return "this machine";
  return name;
}

const char* cameraWhy(int32_t state) {
  switch (static_cast<CameraStatus>(state)) {
    case CameraStatus::Unplugged: return "unplugged";
    case CameraStatus::NoFrames: return "it delivers no frames";
    case CameraStatus::Ended: return "its capture ended";
    default: return "";
  }
}

const char* soundWhy(int32_t state) {
  return static_cast<AudioOutputStatus>(state) == AudioOutputStatus::Stuck ? "its callback is stuck"
                                                                         : "the output device went away";
}

// Follows one part: counts its losses, and alerts once it has been down long
// enough, and again when it is back after that.
void follow(Part& part, bool down, uint64_t now, const char* name, const char* why) {
  if (down && !part.down) {
    part.down = true;
    part.downSinceMs = now;
    ++part.losses;
  }
  if (down && !part.alerted && now - part.downSinceMs >= timing.alertAfterMs) {
    part.alerted = true;
    const std::string line = "tessaro on " + hostName() + ": the " + name + " has been down for " +
                             formatDuration((now - part.downSinceMs) / 1000) + " (" + why + ")";
    diagnostic("service", "alert: %s", line.c_str());
    runAlert(line);
  }
  if (!down && part.down) {
    part.down = false;
    if (part.alerted) {
      const std::string line = "tessaro on " + hostName() + ": the " + name + " is back after " +
                               formatDuration((now - part.downSinceMs) / 1000);
      diagnostic("service", "alert: %s", line.c_str());
      runAlert(line);
    }
    part.alerted = false;
  }
}

void sample(uint64_t now, CameraStatus& camera, AudioOutputStatus& sound) {
  uint64_t delivered = 0;
  camera = cameraStatus(delivered);
  // A new capture counts from 0 again.
  watch.frames += delivered >= watch.lastDelivered ? delivered - watch.lastDelivered : delivered;
  if (delivered < watch.lastDelivered) watch.framesAtBeat = 0;
  watch.lastDelivered = delivered;
  sound = audioOutputStatus(serviceWatchLimits.soundQuietMs);
  watch.underruns = audioDeviceUnderruns();
  watch.audioLosses = audioOutputLosses();
  const bool cameraDown =
      camera == CameraStatus::Unplugged || camera == CameraStatus::NoFrames || camera == CameraStatus::Ended;
  const bool soundDown = sound == AudioOutputStatus::Lost || sound == AudioOutputStatus::Stuck;
  if (sound == AudioOutputStatus::Stuck && !watch.soundStuck) ++watch.stuckTimes;
  watch.soundStuck = sound == AudioOutputStatus::Stuck;
  follow(watch.camera, cameraDown, now, "camera", cameraWhy(static_cast<int32_t>(camera)));
  follow(watch.sound, soundDown, now, "sound", soundWhy(static_cast<int32_t>(sound)));
}

int32_t clampToInt(uint64_t value) { return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value); }
}  // namespace

std::string formatDuration(uint64_t seconds) {
  struct Unit {
    uint64_t seconds;
    const char* name;
  };
  static constexpr Unit units[] = {{86400, "d"}, {3600, "h"}, {60, "min"}, {1, "s"}};
  for (size_t i = 0; i < 3; ++i) {
    if (seconds < units[i].seconds) continue;
    std::string text = std::to_string(seconds / units[i].seconds) + " " + units[i].name;
    const uint64_t next = seconds % units[i].seconds / units[i + 1].seconds;
    if (next > 0) text += " " + std::to_string(next) + " " + units[i + 1].name;
    return text;
  }
  return std::to_string(seconds) + " s";
}

std::string statusLine(const StatusSnapshot& s) {
  std::string camera;
  switch (s.camera) {
    case CameraStatus::None: camera = "no camera"; break;
    case CameraStatus::Delivering:
      camera = "camera " + std::to_string(s.framesPerSecond) + " fps, " + std::to_string(s.movingPercent) +
               " % moving";
      break;
    case CameraStatus::Unplugged: camera = "camera lost " + formatDuration(s.cameraDownSeconds) + " ago"; break;
    case CameraStatus::NoFrames:
      camera = "no frames from the camera for " + formatDuration(s.cameraDownSeconds);
      break;
    case CameraStatus::Ended: camera = "camera stopped " + formatDuration(s.cameraDownSeconds) + " ago"; break;
  }
  const bool cameraDown = s.camera != CameraStatus::None && s.camera != CameraStatus::Delivering;
  const auto sound = static_cast<AudioOutputStatus>(s.sound);
  const bool soundDown = sound == AudioOutputStatus::Lost || sound == AudioOutputStatus::Stuck;
  std::string soundText;
  switch (sound) {
    case AudioOutputStatus::None: soundText = "silent: no sound output"; break;
    case AudioOutputStatus::Playing: soundText = cameraDown ? "sound playing" : "playing"; break;
    case AudioOutputStatus::Lost: soundText = "sound lost " + formatDuration(s.soundDownSeconds) + " ago"; break;
    case AudioOutputStatus::Stuck: soundText = "sound stuck for " + formatDuration(s.soundDownSeconds); break;
  }
  const std::string up = "up " + formatDuration(s.upSeconds);
  // What is down comes first.
  if (cameraDown && !soundDown) return camera + "; " + soundText + "; " + up;
  return soundText + "; " + camera + "; " + up;
}

void statusWatchTick() {
  const uint64_t now = monotonicMilliseconds();
  const bool first = !watch.started;
  if (first) {
    watch = Watch{};
    watch.started = true;
    watch.startMs = watch.lastStatusMs = watch.lastBeatMs = now;
    watch.statusLines = serviceManagerListens();
  }
  reapAlerts();
  CameraStatus camera{};
  AudioOutputStatus sound{};
  sample(now, camera, sound);
  // The first second's rate counts from here, not from the capture's start.
  if (first) watch.framesAtBeat = watch.lastDelivered;

  if (now - watch.lastBeatMs >= timing.heartbeatPeriodMs) {
    const uint64_t elapsed = now - watch.lastBeatMs;
    const uint64_t frames = watch.lastDelivered - watch.framesAtBeat;
    watch.framesPerSecond = clampToInt((frames * 1000 + elapsed / 2) / elapsed);
    watch.framesAtBeat = watch.lastDelivered;
    watch.lastBeatMs = now;
    const OscCounts osc = oscOutputCounts();
    postOscStatus(OscStatus{clampToInt((now - watch.startMs) / 1000), static_cast<int32_t>(camera),
                            static_cast<float>(frames * 1000) / static_cast<float>(elapsed),
                            static_cast<int32_t>(sound), clampToInt(osc.motionDropped + osc.voicesDropped),
                            clampToInt(watch.underruns)});
  }
  if (watch.statusLines && now - watch.lastStatusMs >= timing.statusPeriodMs) {
    watch.lastStatusMs = now;
    int32_t moving = 0;
    if (camera == CameraStatus::Delivering) {
      moving = static_cast<int32_t>(std::lround(copyMotionState().movingFraction * 100.0f));
    }
    const StatusSnapshot snapshot{camera,
                                  watch.framesPerSecond,
                                  moving,
                                  (now - watch.camera.downSinceMs) / 1000,
                                  static_cast<int32_t>(sound),
                                  (now - watch.sound.downSinceMs) / 1000,
                                  (now - watch.startMs) / 1000};
    notifyServiceStatus(statusLine(snapshot).c_str());
  }
}

void statusWatchFinish() {
  if (!watch.started) return;
  CameraStatus camera{};
  AudioOutputStatus sound{};
  sample(monotonicMilliseconds(), camera, sound);
  watch.finished = true;
}

void reportRun() {
  if (!watch.started) return;
  if (!watch.finished) statusWatchFinish();
  const uint64_t audioLosses = watch.audioLosses + watch.stuckTimes;
  diagnostic("tessaro", "ran for %s: %llu frames, %llu camera losses, %llu audio losses, %llu underruns",
             formatDuration((monotonicMilliseconds() - watch.startMs) / 1000).c_str(),
             static_cast<unsigned long long>(watch.frames), static_cast<unsigned long long>(watch.camera.losses),
             static_cast<unsigned long long>(audioLosses), static_cast<unsigned long long>(watch.underruns));
  watch.started = false;
}

void setStatusTiming(const StatusTiming* replacement) {
  timing = replacement ? *replacement : statusTiming;
  watch = Watch{};
}
