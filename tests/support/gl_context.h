#pragma once
// Tests that need the program's window with its OpenGL context current:
// a small window made by createAppWindow (identity model-view, perspective
// projection), destroyed after each test. Skipped without an X display.
#include "platform/window.h"
#include "support/display.h"

#include <SDL.h>

#include <gtest/gtest.h>

constexpr int testWindowSize = 64;

class GlContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_DISPLAY();
    // The window starts SDL's video and destroying it stops it again, as in
    // the program: tests of the window's release rely on that when they share
    // a process with these. (Under LeakSanitizer, gl_driver_kept.cpp keeps
    // Mesa's driver loaded across the closed X connections.)
    ASSERT_TRUE(createAppWindow("Tessaro display test", testWindowSize, testWindowSize, 32))
        << SDL_GetError();
  }
  void TearDown() override { destroyAppWindow(); }
};
