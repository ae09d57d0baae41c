#include "app/service_watch.h"

#include <time.h>

#include "audio/audio_library.h"
#include "platform/diagnostics.h"
#include "platform/service_notify.h"
#include "vision/capture_setup.h"

namespace {
uint64_t nowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

ServiceWatchLimits limits = serviceWatchLimits;

struct Watch {
  bool started;
  uint64_t periodMs;
  uint64_t lastSentMs;
  bool soundWasAlive;
  bool cameraWasAlive;
};
Watch watch{};

// Delivering, or knowingly waiting for an unplugged camera, or no camera at
// all. A thread that ended by itself or has given no sign for the limit (stuck
// in a callback or a driver call, or a camera that sends nothing) is not.
bool cameraAlive() {
  if (!captureStarted) return true;
  const CaptureActivity activity = captureActivity(captureSystem);
  if (activity.state == CaptureState::Ended) return false;
  return activity.state != CaptureState::Stalled || activity.millisecondsSinceSign < limits.cameraQuietMs;
}

// Says once when a part stops counting as alive, and once when it is back.
void reportChange(bool& wasAlive, bool alive, const char* part) {
  if (alive == wasAlive) return;
  wasAlive = alive;
  if (alive) diagnostic("service", "the %s is alive again; watchdog notifications resume", part);
  else
    diagnostic("service",
               "the %s has stopped; no more watchdog notifications, so a service manager restarts the program",
               part);
}
}  // namespace

void serviceWatchTick() {
  if (!watch.started) {
    watch = Watch{true, serviceWatchdogPeriodMs(), 0, true, true};
  }
  if (watch.periodMs == 0) return;
  const uint64_t now = nowMs();
  if (now - watch.lastSentMs < watch.periodMs) return;
  watch.lastSentMs = now;
  const bool sound = audioOutputAlive(limits.soundQuietMs);
  const bool camera = cameraAlive();
  reportChange(watch.soundWasAlive, sound, "sound");
  reportChange(watch.cameraWasAlive, camera, "camera");
  if (sound && camera) notifyServiceAlive();
}

void setServiceWatchLimits(const ServiceWatchLimits* replacement) {
  limits = replacement ? *replacement : serviceWatchLimits;
  watch = Watch{};
}
