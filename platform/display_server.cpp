#include "platform/display_server.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/diagnostics.h"

namespace {
DisplayLostEnding displayLostEnding = nullptr;
std::atomic_flag ending = ATOMIC_FLAG_INIT;

// Called by Xlib, with the display's lock held, on the thread that found the
// connection gone. Nothing here may use the display again, and no exit
// handler or destructor may run that could (it would wait for that lock).
int onDisplayLost(Display*) {
  if (!ending.test_and_set()) {
    diagnostic("display", "the connection to the X server is lost: ending.");
    if (displayLostEnding) displayLostEnding();
  }
  std::fflush(nullptr);
  _exit(1);
}
}  // namespace

void setDisplayLostEnding(DisplayLostEnding chosen) { displayLostEnding = chosen; }

void watchForLostDisplay() { XSetIOErrorHandler(onDisplayLost); }

void giveBlackBackground(SDL_Window* window) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return;
  // Pixel 0 is black in the true-colour visuals OpenGL windows use.
  XSetWindowBackground(info.info.x11.display, info.info.x11.window, 0);
  XFlush(info.info.x11.display);
}
