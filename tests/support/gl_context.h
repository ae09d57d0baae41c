#pragma once
// Tests that need the program's window with its OpenGL context current:
// a small window made by createAppWindow (identity model-view, perspective
// projection), destroyed after each test. Skipped without an X display.
#include "app/window.h"
#include "support/display.h"

#include <SDL.h>
#include <gtest/gtest.h>

constexpr int testWindowSize = 64;

class GlContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_DISPLAY();
    ASSERT_TRUE(createAppWindow("Tessaro display test", testWindowSize, testWindowSize, 32)) << SDL_GetError();
  }
  void TearDown() override { destroyAppWindow(); }
};
