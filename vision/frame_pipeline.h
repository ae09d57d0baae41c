#pragma once
#include <cstdint>

#include "camera/frame_layout.h"

struct FrameTiming {
  float frameTime;      // ms since the clock's start mark
  float frameInterval;  // ms since the previous frame
  int32_t frameCounter;
  double exactFrameTime;  // frameTime before its rounding to float
};

// Frame times from here on step by more than a millisecond as floats (2 ms
// from 2^24 ms, about 4.7 hours, 64 ms after six days): the interval is then
// taken from the exact times instead, so that a long run hears its visitor
// as the first hours did. Before, it is the floats' difference, as always.
constexpr float coarseFrameTimeMs = 0x1p24f;

extern FrameTiming frameTiming;

// The capture library's frame callback: the first and third arguments are
// unused; returns 1 for every frame.
int32_t onFrameCaptured(uint32_t device, const FrameRecord* frame, uint32_t user);

// Everything onFrameCaptured does after reading the clock, with the frame's
// time (ms since the start mark) given. A frame that is missing or shorter
// than the analysis walk, or one that arrives while no mode is set, is dropped
// before it touches timing, roles or buffers. After the analysis the motion
// tap and the preview take their copies, each only while open. Returns 1.
int32_t processFrame(const FrameRecord* frame, float frameTimeMs, double exactTimeMs);
// The same for a time that is exact as a float.
inline int32_t processFrame(const FrameRecord* frame, float frameTimeMs) {
  return processFrame(frame, frameTimeMs, frameTimeMs);
}
