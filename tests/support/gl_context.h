#pragma once
#include <gtest/gtest.h>

// A hidden SDL window with an OpenGL compatibility context, current on the
// calling thread, its viewport the whole window and both matrices identity.
// Display tests use it so they need no more of the program's window code.
bool openTestGlContext(int width = 64, int height = 64);
void closeTestGlContext();

// Base for tests that need a context: skips when there is no display.
class GlContextTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};
