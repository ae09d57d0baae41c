#include "platform/message_box.h"

#include <SDL.h>

#include <cstdio>
#include <cstdlib>

namespace {
MessageBoxHook messageBoxHook = nullptr;

bool displayAvailable() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}
}  // namespace

void setMessageBoxHook(MessageBoxHook hook) { messageBoxHook = hook; }

void showMessageBox(BoxOwner* owner, const char* caption, const char* text) {
  if (messageBoxHook) {
    messageBoxHook(owner, caption, text);
    return;
  }
  if (displayAvailable() && SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, caption, text, owner) == 0) {
    return;
  }
  std::fprintf(stderr, "%s %s\n", caption, text);
  std::fflush(stderr);
}
