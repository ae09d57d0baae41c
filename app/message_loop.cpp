#include "app/message_loop.h"

#include "app/outputs.h"
#include "app/service_watch.h"
#include "app/status_watch.h"
#include "platform/clock.h"
#include "platform/window.h"

namespace {
// Minimised or hidden, the window has nothing to do but take its messages:
// the loop waits for the next one, waking this often for the watchdog.
constexpr uint32_t inactiveWaitMs = 100;
}  // namespace

void runMessageLoop(AppMessage& message) {
  for (;;) {
    serviceWatchTick();
    statusWatchTick();
    const bool taken =
        appWindow.windowActive ? peekAppMessage(message) : waitAppMessage(message, inactiveWaitMs);
    if (taken) {
      if (message.message == WM_QUIT) return;
      dispatchAppMessage(message);
      // A press and release of Escape inside one pause would otherwise
      // clear the entry before the idle check below sees it.
      if (appWindow.windowActive && KeyState[VK_ESCAPE]) return;
      continue;
    }
    // Inactive: keep the queue moving without looking at keys.
    if (!appWindow.windowActive) continue;
    if (KeyState[VK_ESCAPE]) return;
    refreshPreview();
    sleepMs(100);
  }
}
