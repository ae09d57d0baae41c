#include "app/service_watch.h"

#include "audio/audio_library.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"
#include "platform/service_notify.h"
#include "vision/capture_setup.h"

namespace {
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
// in a callback or a driver call), or a camera that is there and has
// delivered no frame for its limit, is not.
bool cameraAlive() {
  if (!captureStarted) return true;
  const CaptureActivity activity = captureActivity(captureSystem);
  switch (activity.state) {
    case CaptureState::Ended: return false;
    case CaptureState::Stalled: return activity.millisecondsSinceSign < limits.cameraQuietMs;
    case CaptureState::Delivering: return activity.millisecondsSinceFrame < limits.cameraFramelessMs;
    default: return true;
  }
}

// Says once when a part stops counting as alive, and once when it is back.
void reportChange(bool& wasAlive, bool alive, const char* part) {
  if (alive == wasAlive) return;
  wasAlive = alive;
  if (alive) diagnostic("service", "the %s is alive again; watchdog notifications resume", part);
  else
    diagnostic(
        "service",
        "the %s has stopped; no more watchdog notifications, so a service manager restarts the program",
        part);
}
}  // namespace

void serviceWatchTick() {
  if (!watch.started) {
    watch = Watch{true, serviceWatchdogPeriodMs(), 0, true, true};
  }
  if (watch.periodMs == 0) return;
  const uint64_t now = monotonicMilliseconds();
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
