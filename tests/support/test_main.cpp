// The unit tests' entry point. Like the program, it lets a message box's own
// process show its box and end, should a test ever show a real box: without
// this the started copy of the test binary would run every test again.
#include <gtest/gtest.h>

#include "platform/message_box.h"

int main(int argc, char** argv) {
  if (const int boxStatus = runMessageBoxProcess(argc, argv); boxStatus >= 0) return boxStatus;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
