#pragma once
#include "platform/window_proc.h"

// The message loop: returns when the quit message is taken or Escape is down
// while the window is active; `message` holds the last message taken.
void runMessageLoop(AppMessage& message);
