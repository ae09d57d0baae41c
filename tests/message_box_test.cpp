#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {
std::string lastCaption, lastText;
int boxes = 0;
void recordBox(SDL_Window*, const char* caption, const char* text) {
  ++boxes;
  lastCaption = caption;
  lastText = text;
}
}  // namespace

TEST(MessageBox, HookReceivesCaptionAndText) {
  boxes = 0;
  setMessageBoxHook(recordBox);
  showMessageBox(nullptr, "Info:", "640 x 480 @ 30 fps (YUYV)");
  setMessageBoxHook(nullptr);
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(lastCaption, "Info:");
  EXPECT_EQ(lastText, "640 x 480 @ 30 fps (YUYV)");
}

TEST(MessageBox, WithoutDisplayPrintsToStandardErrorAndReturns) {
  const char* saved = std::getenv("DISPLAY");
  std::string keep = saved ? saved : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  testing::internal::CaptureStderr();
  showMessageBox(nullptr, "Warning:", "No performance timer found!");
  std::string err = testing::internal::GetCapturedStderr();
  if (saved) setenv("DISPLAY", keep.c_str(), 1);
  EXPECT_NE(err.find("Warning:"), std::string::npos);
  EXPECT_NE(err.find("No performance timer found!"), std::string::npos);
}
