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
// Where createAppWindow puts the window: by default at the top-left corner of
// display 0. A display index picks another display's corner; full screen
// covers that whole display at its current mode (the mode is never changed)
// and hides the mouse cursor. Set before createAppWindow.
struct WindowPlacement {
  bool fullScreen;
  int32_t displayIndex;
};
void setWindowPlacement(const WindowPlacement& placement);
// How many displays the window system offers; -1 when it cannot be reached.
int32_t countDisplays();
// The size in pixels of what the context draws into: the window's client
// area, or the whole display in full screen.
void appDrawableSize(int32_t& width, int32_t& height);
void destroyAppWindow();
void setProjection(int32_t width, int32_t height);
// Presents the back buffer (the stand-in for SwapBuffers on the device context).
void swapAppBuffers();
// Presents black again, where something covered the window; every state the
// scene set-up left stays as it was.
void presentBlack();
// Whether the calling thread has an OpenGL context current.
bool renderingContextCurrent();

// The window-system calls createAppWindow and destroyAppWindow make, in the
// order they make them. Tests replace entries to fail a step or to record the
// order of release.
struct WindowPlatform {
  int (*initVideo)();  // 0 on success
  SDL_Window* (*createWindow)(const char* title, int x, int y, int w, int h, uint32_t flags);
  SDL_GLContext (*createContext)(SDL_Window* window);
  int (*makeCurrent)(SDL_Window* window, SDL_GLContext context);  // 0 on success
  void (*deleteContext)(SDL_GLContext context);
  void (*destroyWindow)(SDL_Window* window);
  void (*quitVideo)();
};
// The SDL calls themselves.
extern const WindowPlatform sdlWindowPlatform;
// nullptr restores sdlWindowPlatform.
void setWindowPlatform(const WindowPlatform* platform);
