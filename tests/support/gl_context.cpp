#include "support/gl_context.h"

#include "app/window.h"

#include <GL/gl.h>
#include <SDL2/SDL.h>

#include <cstdlib>

namespace {
SDL_Window* testWindow = nullptr;
SDL_GLContext testContext = nullptr;
bool videoStarted = false;
}  // namespace

// Not ours: SDL's D-Bus connection, released only by SDL_Quit, which the
// tests never reach, and what Mesa's software driver keeps per context.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\nleak:swrast_dri.so\n"; }

bool openTestGlContext(int width, int height) {
  // Video stays up for the whole process: shutting it down unloads the GL
  // driver, whose allocations then show up as leaks with no module to name.
  if (!videoStarted && SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return false;
  videoStarted = true;
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
  SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
  SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 16);
  testWindow = SDL_CreateWindow("display test", 0, 0, width, height, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
  if (testWindow == nullptr) return false;
  testContext = SDL_GL_CreateContext(testWindow);
  if (testContext == nullptr || SDL_GL_MakeCurrent(testWindow, testContext) != 0) {
    closeTestGlContext();
    return false;
  }
  // What the window set-up leaves: buffers presented through appWindow.
  appWindow.window = testWindow;
  appWindow.renderContext = testContext;
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  return true;
}

void closeTestGlContext() {
  if (testContext != nullptr) {
    SDL_GL_MakeCurrent(testWindow, nullptr);
    SDL_GL_DeleteContext(testContext);
    testContext = nullptr;
  }
  if (testWindow != nullptr) {
    SDL_DestroyWindow(testWindow);
    testWindow = nullptr;
  }
  appWindow.window = nullptr;
  appWindow.renderContext = nullptr;
}

void GlContextTest::SetUp() {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
  ASSERT_TRUE(openTestGlContext()) << SDL_GetError();
}

void GlContextTest::TearDown() { closeTestGlContext(); }
