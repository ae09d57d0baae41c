#pragma once
// Tests that need a real X server and an OpenGL context. `make test` runs
// them under xvfb-run; without DISPLAY they are skipped, never failed.
#include <gtest/gtest.h>

#include <cstdlib>

inline bool testDisplayAvailable() {
  const char* display = std::getenv("DISPLAY");
  return display && *display;
}

#define SKIP_WITHOUT_DISPLAY()                                                                  \
  do {                                                                                          \
    if (!testDisplayAvailable()) GTEST_SKIP() << "needs an X display (make test provides one)"; \
  } while (0)
