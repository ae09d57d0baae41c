#pragma once
// Tells a service manager how the program is doing, through the socket named
// by NOTIFY_SOCKET (systemd's Type=notify): ready after start-up, alive at
// the watchdog's pace, stopping at shutdown. Without that socket every call
// does nothing.
#include <cstdint>

void notifyServiceReady(const char* status);
void notifyServiceAlive();
void notifyServiceStopping();
// A short line for the manager's status display (systemctl status).
void notifyServiceStatus(const char* status);
// Whether a manager listens (NOTIFY_SOCKET is set).
bool serviceManagerListens();

// How often the manager wants to hear that the program is alive (half its
// WATCHDOG_USEC), in milliseconds; 0 when it watches nothing.
uint64_t serviceWatchdogPeriodMs();
