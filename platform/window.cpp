#include "platform/window.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <SDL.h>

#include <cstdio>

#include "platform/display_server.h"

AppWindow appWindow{nullptr, nullptr, true, 640, 480, 32};
uint8_t KeyState[256];

namespace {
int initVideo() {
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return -1;
  // Without a display SDL falls back to drivers that draw nowhere; the run
  // would then wait for a key nobody can press. Only an explicit
  // SDL_VIDEODRIVER may choose them.
  const char* driver = SDL_GetCurrentVideoDriver();
  const char* requested = SDL_GetHint(SDL_HINT_VIDEODRIVER);
  const bool headless = driver && (SDL_strcmp(driver, "offscreen") == 0 || SDL_strcmp(driver, "dummy") == 0);
  if (headless && !(requested && *requested)) {
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return SDL_SetError("no display");
  }
  return 0;
}
void quitVideo() { SDL_QuitSubSystem(SDL_INIT_VIDEO); }
}  // namespace

const WindowPlatform sdlWindowPlatform{initVideo,          SDL_CreateWindow,     SDL_GL_CreateContext,
                                       SDL_GL_MakeCurrent, SDL_GL_DeleteContext, SDL_DestroyWindow,
                                       quitVideo};

namespace {
const WindowPlatform* platform = &sdlWindowPlatform;
WindowPlacement placement{false, 0};

// The rendering context's format, fixed before the window exists because X11
// binds a window to its visual at creation. colourBits 0 asks for no minimum.
void requestPixelFormat(int32_t colourBits) {
  SDL_GL_ResetAttributes();
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
  SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
  SDL_GL_SetAttribute(SDL_GL_RED_SIZE, 8);
  SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, 8);
  SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, 8);
  SDL_GL_SetAttribute(SDL_GL_BUFFER_SIZE, colourBits);
  SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 16);
  SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 0);
}

// The window's place for the chosen placement, and the flags it adds; by
// default the given size at the screen's top-left corner, as always.
struct WindowPlace {
  int x, y, width, height;
  uint32_t flags;
};
WindowPlace placeWindow(int width, int height) {
  WindowPlace place{0, 0, width, height, 0};
  SDL_Rect bounds{};
  if (!placement.fullScreen && placement.displayIndex == 0) return place;
  if (SDL_GetDisplayBounds(placement.displayIndex, &bounds) != 0) return place;
  place.x = bounds.x;
  place.y = bounds.y;
  if (placement.fullScreen) {
    // A window manager makes the window cover the display on the full-screen
    // request; made at the display's size from the start, it covers it where
    // no window manager runs too.
    place.width = bounds.w;
    place.height = bounds.h;
    place.flags = SDL_WINDOW_FULLSCREEN_DESKTOP;
  }
  return place;
}
}  // namespace

void setWindowPlatform(const WindowPlatform* replacement) {
  platform = replacement ? replacement : &sdlWindowPlatform;
}

void setWindowPlacement(const WindowPlacement& chosen) { placement = chosen; }

int32_t countDisplays() {
  if (initVideo() != 0) return -1;
  const int32_t displays = SDL_GetNumVideoDisplays();
  quitVideo();
  return displays < 0 ? -1 : displays;
}

void appDrawableSize(int32_t& width, int32_t& height) {
  int w = 0, h = 0;
  if (appWindow.window) SDL_GL_GetDrawableSize(appWindow.window, &w, &h);
  width = w;
  height = h;
}

bool createAppWindow(const char* title, int32_t width, int32_t height, int32_t colourBits) {
  // Starting SDL's video subsystem stands in for registering the window class.
  if (platform->initVideo() != 0) {
    std::printf("ERROR: registrazione della Window Class fallita.\n");
    return false;
  }

  // SDL sizes the client area itself and picks the closest visual for the
  // requested format while it creates the window: a failure of either is a
  // failed window creation, which prints nothing.
  appWindow.colourBits = colourBits;
  requestPixelFormat(colourBits);
  // Not resizable: SDL fixes the minimum and maximum size, so no maximise.
  const WindowPlace place = placeWindow(width, height);
  const uint32_t flags = SDL_WINDOW_OPENGL | SDL_WINDOW_SHOWN | place.flags;
  appWindow.window = platform->createWindow(title, place.x, place.y, place.width, place.height, flags);
  if (!appWindow.window && colourBits != 0) {
    // GLX takes the buffer size as a hard minimum, and an X server offering
    // only 24-bit visuals has none of 32; red, green and blue still get 8 bits.
    requestPixelFormat(0);
    appWindow.window = platform->createWindow(title, place.x, place.y, place.width, place.height, flags);
  }
  if (!appWindow.window) {
    destroyAppWindow();
    return false;
  }

  appWindow.renderContext = platform->createContext(appWindow.window);
  if (!appWindow.renderContext) {
    destroyAppWindow();
    std::printf("ERRORE: impossibile creare un GL Rendering Context.\n");
    return false;
  }
  if (platform->makeCurrent(appWindow.window, appWindow.renderContext) != 0) {
    destroyAppWindow();
    std::printf("ERRORE: impossibile attivare il GL Rendering Context.\n");
    return false;
  }

  giveBlackBackground(appWindow.window);
  watchForLostDisplay();
  SDL_ShowWindow(appWindow.window);
  SDL_RaiseWindow(appWindow.window);
  SDL_SetWindowInputFocus(appWindow.window);
  // Neither the screen saver nor monitor power-saving may start during a run.
  SDL_DisableScreenSaver();
  // A gallery screen shows nothing of the desktop, the pointer included.
  if (placement.fullScreen) SDL_ShowCursor(SDL_DISABLE);

  setProjection(width, height);
  return true;
}

void setProjection(int32_t width, int32_t height) {
  if (height == 0) height = 1;
  appWindow.windowWidth = width;
  appWindow.windowHeight = height;
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(60.0, static_cast<double>(width) / static_cast<double>(height), static_cast<double>(0.1f),
                 100.0);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
}

void destroyAppWindow() {
  if (appWindow.renderContext) {
    platform->makeCurrent(nullptr, nullptr);
    platform->deleteContext(appWindow.renderContext);
    appWindow.renderContext = nullptr;
  }
  if (appWindow.window) {
    platform->destroyWindow(appWindow.window);
    appWindow.window = nullptr;
  }
  // Stopping the video subsystem stands in for unregistering the class.
  platform->quitVideo();
}

void swapAppBuffers() { SDL_GL_SwapWindow(appWindow.window); }

void presentBlack() {
  if (!appWindow.window || !appWindow.renderContext || !renderingContextCurrent()) return;
  // The scene state leaves the clear colour at the fog's grey for good; black
  // only for this one clear.
  GLfloat kept[4];
  glGetFloatv(GL_COLOR_CLEAR_VALUE, kept);
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  swapAppBuffers();
  glClearColor(kept[0], kept[1], kept[2], kept[3]);
}

bool renderingContextCurrent() { return SDL_GL_GetCurrentContext() != nullptr; }
