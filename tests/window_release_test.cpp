#include "platform/window.h"

#include "support/display.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
// Each window-system call is logged, then made for real unless it is the
// one chosen to fail.
std::string calls;
std::string failing;
int failingTimes = 1;  // how many calls of the failing step fail in a row

bool fails(const char* step) {
  calls += step;
  calls += ' ';
  if (failing != step || failingTimes == 0) return false;
  --failingTimes;
  return true;
}

struct WindowRequest {
  std::string title;
  int x, y, w, h;
  uint32_t flags;
};
std::vector<WindowRequest> windowRequests;

int recordInitVideo() {
  if (fails("initVideo")) return -1;
  return sdlWindowPlatform.initVideo();
}
SDL_Window* recordCreateWindow(const char* title, int x, int y, int w, int h, uint32_t flags) {
  windowRequests.push_back({title, x, y, w, h, flags});
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
constexpr WindowPlatform recordingPlatform{recordInitVideo,   recordCreateWindow,  recordCreateContext,
                                           recordMakeCurrent, recordDeleteContext, recordDestroyWindow,
                                           recordQuitVideo};

struct Attempt {
  bool created;
  std::string output;
};

Attempt createFailingAt(const char* step, int times = 1) {
  calls.clear();
  windowRequests.clear();
  failing = step;
  failingTimes = times;
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
  const Attempt attempt = createFailingAt("createWindow", 2);
  EXPECT_FALSE(attempt.created);
  EXPECT_EQ(attempt.output, "");
  // Once with the colour depth requested, once more without it.
  EXPECT_EQ(calls, "initVideo createWindow createWindow quitVideo ");
  EXPECT_EQ(appWindow.window, nullptr);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

// An X server without 32-bit visuals refuses the first request; the window
// then comes from a second one that leaves the colour depth to the server.
TEST(WindowRelease, RefusedColourDepthIsRetriedOnceWithoutIt) {
  SKIP_WITHOUT_DISPLAY();
  const Attempt attempt = createFailingAt("createWindow", 1);
  EXPECT_TRUE(attempt.created);
  EXPECT_EQ(attempt.output, "");
  EXPECT_EQ(calls,
            "initVideo createWindow createWindow createContext makeCurrent "
            "makeNoneCurrent deleteContext destroyWindow quitVideo ");
  ASSERT_EQ(windowRequests.size(), 2u);
  for (const WindowRequest& r : windowRequests) {
    EXPECT_EQ(r.title, "Tessaro");
    EXPECT_EQ(r.x, 0);
    EXPECT_EQ(r.y, 0);
    EXPECT_EQ(r.w, 640);
    EXPECT_EQ(r.h, 480);
    EXPECT_EQ(r.flags, static_cast<uint32_t>(SDL_WINDOW_OPENGL | SDL_WINDOW_SHOWN));
  }
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
