#pragma once
// What the installation shows and sends besides its sound, each only when
// asked for: the window on another display or over a whole one, the set-up
// preview in the window, and the motion and voices as OSC messages.
#include "app/options.h"

// Before the window is made: where it goes. False, after one line on standard
// error, when the display asked for does not exist.
bool chooseWindowPlacement(const ProgramOptions& options);

// Before capture and audio start, so that their first frame and first call
// are sent too: starts the OSC sender when the options ask for it, and lets
// the message loop show the preview. A part that cannot start says so in one
// line; the installation runs on without it.
void startMotionOutputs(const ProgramOptions& options);

// Message loop, main thread: redraws the preview with the newest picture,
// from the first refresh after the capture set-up chose a mode. Without the
// preview it does nothing, and the window keeps its black.
void refreshPreview();

// Early in the shutdown: the preview and the sender stop; the sender sends
// what is still waiting first.
void stopMotionOutputs();
