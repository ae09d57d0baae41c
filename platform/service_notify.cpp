#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <string>

void notifyServiceReady(const char* status) {
  sd_notify(0, (std::string("READY=1\nSTATUS=") + status).c_str());
}

void notifyServiceAlive() { sd_notify(0, "WATCHDOG=1"); }

void notifyServiceStopping() { sd_notify(0, "STOPPING=1"); }

void notifyServiceStatus(const char* status) { sd_notify(0, (std::string("STATUS=") + status).c_str()); }

bool serviceManagerListens() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket && *socket;
}

uint64_t serviceWatchdogPeriodMs() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
  // Twice per interval, as the manager's documentation advises.
  const uint64_t period = usec / 2000;
  return period > 0 ? period : 1;
}
