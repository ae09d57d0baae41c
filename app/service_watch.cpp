#include "app/service_watch.h"

#include <time.h>

#include "platform/diagnostics.h"
#include "platform/service_notify.h"
#include "sound/audio_library.h"

namespace {
uint64_t nowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

struct Watch {
  bool started;
  uint64_t periodMs;
  uint64_t lastSentMs;
  bool soundWasAlive;
};
Watch watch{};
ServiceWatchLimits limits = serviceWatchLimits;

// Says once when a part stops counting as alive, and once when it is back.
void reportChange(bool& wasAlive, bool alive, const char* part) {
  if (alive == wasAlive) return;
  wasAlive = alive;
  if (alive) diagnostic("service", "the %s is alive again; watchdog notifications resume", part);
  else
    diagnostic("service",
               "the %s is stuck; no more watchdog notifications, so a service manager restarts the program",
               part);
}
}  // namespace

void serviceWatchTick() {
  if (!watch.started) {
    watch = Watch{true, serviceWatchdogPeriodMs(), 0, true};
  }
  if (watch.periodMs == 0) return;
  const uint64_t now = nowMs();
  if (now - watch.lastSentMs < watch.periodMs) return;
  watch.lastSentMs = now;
  const bool sound = audioOutputAlive(limits.soundQuietMs);
  reportChange(watch.soundWasAlive, sound, "sound");
  if (sound) notifyServiceAlive();
}

void setServiceWatchLimits(const ServiceWatchLimits* replacement) {
  limits = replacement ? *replacement : serviceWatchLimits;
  watch = Watch{};
}
