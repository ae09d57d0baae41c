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
    // Held for the whole process, so destroying the window does not close
    // the X connection: that would unload Mesa's driver, and what it keeps
    // per context would then be reported as leaks of no named library.
    static const bool videoHeld = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
    ASSERT_TRUE(videoHeld) << SDL_GetError();
    ASSERT_TRUE(createAppWindow("Tessaro display test", testWindowSize, testWindowSize, 32))
        << SDL_GetError();
  }
  void TearDown() override { destroyAppWindow(); }
};
