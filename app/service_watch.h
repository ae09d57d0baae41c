#pragma once
// Feeds a service manager's watchdog from the message loop, and only while
// the sound and the camera each do their job or knowingly wait (for a device
// to come back, or because there is none). A part that is stuck stops the
// notifications, so the manager restarts the program.
#include <cstdint>

// How long a part may go quiet before it counts as stuck, and how long a
// camera that is there may deliver no frame (while the camera layer restarts
// and reopens it) before it does.
struct ServiceWatchLimits {
  uint32_t soundQuietMs;
  uint32_t cameraQuietMs;
  uint32_t cameraFramelessMs;
};
constexpr ServiceWatchLimits serviceWatchLimits = {5000, 10000, 30000};

// Once per pass of the message loop; does nothing unless a watchdog is asked
// for, and sends at its period.
void serviceWatchTick();

// Test seam: other limits, and the watch started afresh (reading the
// manager's period again at the next tick); nullptr restores the real ones.
void setServiceWatchLimits(const ServiceWatchLimits* limits);
