#pragma once
// The motion as data for outside listeners: while the tap is open, every
// analysed frame leaves a copy of its time and the motion record's published
// values for one reader on another thread (a SampleTap, platform/sample_tap.h:
// the camera thread never waits for it, and the oldest copies are dropped and
// counted when the reader falls behind). Closed, it costs one relaxed load per
// frame.
#include <cstdint>

class WakeSignal;

#include "vision/motion_state.h"

struct MotionSample {
  float frameMs;  // the frame's time, ms since the clock's start mark
  MotionValues motion;
};

// Camera thread, right after the analysis of a frame stamped frameMs.
void tapMotion(float frameMs);

// The reader's side; one reader at a time. Opening forgets what an earlier
// opening left behind; `wake`, if given, is rung after every copy.
void openMotionTap(WakeSignal* wake = nullptr);
void closeMotionTap();
// The oldest copy not yet taken; false when there is none.
bool takeMotionSample(MotionSample& sample);
// Copies dropped since the process started because the reader fell behind.
uint64_t motionSamplesDropped();
