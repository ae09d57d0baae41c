#include "platform/display_server.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>

void giveBlackBackground(SDL_Window* window) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11) return;
  // Pixel 0 is black in the true-colour visuals OpenGL windows use.
  XSetWindowBackground(info.info.x11.display, info.info.x11.window, 0);
  XFlush(info.info.x11.display);
}
