#pragma once
#include <cstdint>

struct SDL_Window;
using SDL_GLContext = void*;

// The program's one window with its OpenGL compatibility context.
struct AppWindow {
  SDL_Window* window;
  SDL_GLContext renderContext;
  bool windowActive;
  int32_t windowWidth;
  int32_t windowHeight;
  int32_t colourBits;
};

extern AppWindow appWindow;
// One entry per Windows virtual-key code, 1 while the key is down.
extern uint8_t KeyState[256];

bool createAppWindow(const char* title, int32_t width, int32_t height, int32_t colourBits);
void destroyAppWindow();
void setProjection(int32_t width, int32_t height);
// Presents the back buffer (the stand-in for SwapBuffers on the device context).
void swapAppBuffers();
