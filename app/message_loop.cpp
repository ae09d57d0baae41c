#include "app/message_loop.h"

#include "app/outputs.h"
#include "app/service_watch.h"
#include "platform/clock.h"
#include "platform/window.h"

void runMessageLoop(AppMessage& message) {
  for (;;) {
    serviceWatchTick();
    if (peekAppMessage(message)) {
      if (message.message == WM_QUIT) return;
      dispatchAppMessage(message);
      // A press and release of Escape inside one pause would otherwise
      // clear the entry before the idle check below sees it.
      if (appWindow.windowActive && KeyState[VK_ESCAPE]) return;
      continue;
    }
    // Minimised: keep the queue moving without pausing or looking at keys.
    if (!appWindow.windowActive) continue;
    if (KeyState[VK_ESCAPE]) return;
    refreshPreview();
    sleepMs(100);
  }
}
