#include "app/window.h"

#include "support/display.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <string>

namespace {
// Each window-system call is logged, then made for real unless it is the
// one chosen to fail.
std::string calls;
std::string failing;

bool fails(const char* step) {
  calls += step;
  calls += ' ';
  return failing == step;
}

int recordInitVideo() {
  if (fails("initVideo")) return -1;
  return sdlWindowPlatform.initVideo();
}
SDL_Window* recordCreateWindow(const char* title, int x, int y, int w, int h, uint32_t flags) {
  if (fails("createWindow")) return nullptr;
  return sdlWindowPlatform.createWindow(title, x, y, w, h, flags);
}
SDL_GLContext recordCreateContext(SDL_Window* window) {
  if (fails("createContext")) return nullptr;
  return sdlWindowPlatform.createContext(window);
}
int recordMakeCurrent(SDL_Window* window, SDL_GLContext context) {
  if (fails(context ? "makeCurrent" : "makeNoneCurrent")) return -1;
  return sdlWindowPlatform.makeCurrent(window, context);
}
void recordDeleteContext(SDL_GLContext context) {
  fails("deleteContext");
  sdlWindowPlatform.deleteContext(context);
}
void recordDestroyWindow(SDL_Window* window) {
  fails("destroyWindow");
  sdlWindowPlatform.destroyWindow(window);
}
void recordQuitVideo() {
  fails("quitVideo");
  sdlWindowPlatform.quitVideo();
}
constexpr WindowPlatform recordingPlatform{recordInitVideo,     recordCreateWindow,  recordCreateContext,
                                           recordMakeCurrent,   recordDeleteContext, recordDestroyWindow,
                                           recordQuitVideo};

struct Attempt {
  bool created;
  std::string output;
};

Attempt createFailingAt(const char* step) {
  calls.clear();
  failing = step;
  setWindowPlatform(&recordingPlatform);
  testing::internal::CaptureStdout();
  const bool created = createAppWindow("Tessaro", 640, 480, 32);
  Attempt attempt{created, testing::internal::GetCapturedStdout()};
  if (created) destroyAppWindow();
  setWindowPlatform(nullptr);
  failing.clear();
  return attempt;
}
}  // namespace

TEST(WindowRelease, ShutdownReleasesInOrder) {
  SKIP_WITHOUT_DISPLAY();
  calls.clear();
  setWindowPlatform(&recordingPlatform);
  ASSERT_TRUE(createAppWindow("Tessaro", 640, 480, 32));
  EXPECT_EQ(calls, "initVideo createWindow createContext makeCurrent ");
  calls.clear();
  destroyAppWindow();
  setWindowPlatform(nullptr);
  EXPECT_EQ(calls, "makeNoneCurrent deleteContext destroyWindow quitVideo ");
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

TEST(WindowRelease, VideoStartFailurePrintsAndReleasesNothing) {
  const Attempt attempt = createFailingAt("initVideo");
  EXPECT_FALSE(attempt.created);
  EXPECT_EQ(attempt.output, "ERROR: registrazione della Window Class fallita.\n");
  EXPECT_EQ(calls, "initVideo ");
}

TEST(WindowRelease, WindowCreationFailureIsSilentAndStopsVideo) {
  SKIP_WITHOUT_DISPLAY();
  const Attempt attempt = createFailingAt("createWindow");
  EXPECT_FALSE(attempt.created);
  EXPECT_EQ(attempt.output, "");
  EXPECT_EQ(calls, "initVideo createWindow quitVideo ");
  EXPECT_EQ(appWindow.window, nullptr);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

TEST(WindowRelease, ContextCreationFailureReleasesWindowThenPrints) {
  SKIP_WITHOUT_DISPLAY();
  const Attempt attempt = createFailingAt("createContext");
  EXPECT_FALSE(attempt.created);
  EXPECT_EQ(attempt.output, "ERRORE: impossibile creare un GL Rendering Context.\n");
  EXPECT_EQ(calls, "initVideo createWindow createContext destroyWindow quitVideo ");
  EXPECT_EQ(appWindow.window, nullptr);
  EXPECT_EQ(appWindow.renderContext, nullptr);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

TEST(WindowRelease, MakeCurrentFailureReleasesContextAndWindowThenPrints) {
  SKIP_WITHOUT_DISPLAY();
  const Attempt attempt = createFailingAt("makeCurrent");
  EXPECT_FALSE(attempt.created);
  EXPECT_EQ(attempt.output, "ERRORE: impossibile attivare il GL Rendering Context.\n");
  EXPECT_EQ(calls,
            "initVideo createWindow createContext makeCurrent "
            "makeNoneCurrent deleteContext destroyWindow quitVideo ");
  EXPECT_EQ(appWindow.window, nullptr);
  EXPECT_EQ(appWindow.renderContext, nullptr);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}
