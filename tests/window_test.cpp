#include "platform/window.h"

#include "support/display.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <SDL.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {
// Column-major perspective matrix of fovy 60 degrees, computed by hand.
std::array<double, 16> expectedPerspective(double aspect) {
  const double zNear = static_cast<double>(0.1f), zFar = 100.0;
  const double f = 1.0 / std::tan(30.0 * M_PI / 180.0);
  std::array<double, 16> m{};
  m[0] = f / aspect;
  m[5] = f;
  m[10] = (zFar + zNear) / (zNear - zFar);
  m[11] = -1.0;
  m[14] = 2.0 * zFar * zNear / (zNear - zFar);
  return m;
}

void expectMatrixNear(const GLfloat* actual, const std::array<double, 16>& expected) {
  for (int i = 0; i < 16; ++i) {
    EXPECT_NEAR(actual[i], expected[i], 1e-6 * std::max(1.0, std::fabs(expected[i]))) << "element " << i;
  }
}

class WindowTest : public testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_DISPLAY();
    ASSERT_TRUE(createAppWindow("Tessaro", 640, 480, 32));
  }
  void TearDown() override {
    if (testDisplayAvailable()) destroyAppWindow();
  }
};
}  // namespace

TEST_F(WindowTest, FixedClientAreaAtScreenTopLeftWithTitle) {
  int w = 0, h = 0, x = -1, y = -1;
  SDL_GetWindowSize(appWindow.window, &w, &h);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  SDL_GL_GetDrawableSize(appWindow.window, &w, &h);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  SDL_GetWindowPosition(appWindow.window, &x, &y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  EXPECT_STREQ(SDL_GetWindowTitle(appWindow.window), "Tessaro");

  const Uint32 flags = SDL_GetWindowFlags(appWindow.window);
  EXPECT_TRUE(flags & SDL_WINDOW_OPENGL);
  EXPECT_TRUE(flags & SDL_WINDOW_SHOWN);
  EXPECT_FALSE(flags & SDL_WINDOW_RESIZABLE);
  EXPECT_FALSE(flags & (SDL_WINDOW_MAXIMIZED | SDL_WINDOW_FULLSCREEN | SDL_WINDOW_BORDERLESS));
  EXPECT_FALSE(SDL_IsScreenSaverEnabled());
  EXPECT_EQ(appWindow.colourBits, 32);
}

TEST_F(WindowTest, ContextIsCurrentDoubleBufferedWithDepth) {
  ASSERT_NE(appWindow.renderContext, nullptr);
  EXPECT_EQ(SDL_GL_GetCurrentContext(), appWindow.renderContext);
  EXPECT_EQ(SDL_GL_GetCurrentWindow(), appWindow.window);

  GLboolean doubleBuffered = GL_FALSE;
  glGetBooleanv(GL_DOUBLEBUFFER, &doubleBuffered);
  EXPECT_EQ(doubleBuffered, GL_TRUE);
  GLint depthBits = 0, red = 0, green = 0, blue = 0;
  glGetIntegerv(GL_DEPTH_BITS, &depthBits);
  glGetIntegerv(GL_RED_BITS, &red);
  glGetIntegerv(GL_GREEN_BITS, &green);
  glGetIntegerv(GL_BLUE_BITS, &blue);
  EXPECT_GE(depthBits, 16);
  EXPECT_GE(red + green + blue, 24);
  // Fixed-function state must be available: a core profile would refuse it.
  glMatrixMode(GL_TEXTURE);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(WindowTest, ViewportAndProjectionForTheClientArea) {
  GLint viewport[4] = {-1, -1, -1, -1};
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[0], 0);
  EXPECT_EQ(viewport[1], 0);
  EXPECT_EQ(viewport[2], 640);
  EXPECT_EQ(viewport[3], 480);
  EXPECT_EQ(appWindow.windowWidth, 640);
  EXPECT_EQ(appWindow.windowHeight, 480);

  GLfloat projection[16];
  glGetFloatv(GL_PROJECTION_MATRIX, projection);
  expectMatrixNear(projection, expectedPerspective(640.0 / 480.0));

  GLint mode = 0;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  EXPECT_EQ(mode, GL_MODELVIEW);
  GLfloat modelView[16];
  glGetFloatv(GL_MODELVIEW_MATRIX, modelView);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(modelView[i], (i % 5 == 0) ? 1.0f : 0.0f);
}

TEST_F(WindowTest, ZeroHeightIsTreatedAsOne) {
  setProjection(640, 0);
  EXPECT_EQ(appWindow.windowHeight, 1);
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[2], 640);
  EXPECT_EQ(viewport[3], 1);
  GLfloat projection[16];
  glGetFloatv(GL_PROJECTION_MATRIX, projection);
  expectMatrixNear(projection, expectedPerspective(640.0));
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(WindowTest, DestroyReleasesEverythingAndMayRepeat) {
  destroyAppWindow();
  EXPECT_EQ(appWindow.window, nullptr);
  EXPECT_EQ(appWindow.renderContext, nullptr);
  EXPECT_EQ(SDL_GL_GetCurrentContext(), nullptr);
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
  destroyAppWindow();  // the fixture's tear-down does it again
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}

// Without any display SDL would fall back to a driver that draws nowhere;
// the window must fail at once instead, so an unattended start ends.
TEST(WindowHeadless, NoDisplayFailsAtTheFirstStep) {
  const char* saved = std::getenv("DISPLAY");
  const std::string keep = saved ? saved : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("SDL_VIDEODRIVER");
  testing::internal::CaptureStdout();
  const bool created = createAppWindow("Tessaro", 640, 480, 32);
  const std::string out = testing::internal::GetCapturedStdout();
  if (saved) setenv("DISPLAY", keep.c_str(), 1);
  if (created) destroyAppWindow();
  EXPECT_FALSE(created);
  EXPECT_EQ(out, "ERROR: registrazione della Window Class fallita.\n");
  EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
}
