#pragma once
#include <cstdint>

// A sample moves when its difference value lies outside the still band:
// above movingAbove or below movingBelow (a still sample gives 127).
constexpr uint8_t movingAbove = 158;
constexpr uint8_t movingBelow = 98;

// What the per-sample pass of one frame found, from the difference values the
// previous frame left: moving samples and the sums of their column and row
// numbers. 64-bit so that no mode can overflow them.
struct MotionCounts {
  int64_t count;
  int64_t sumColumns;
  int64_t sumRows;
};

// The per-sample pass over the analysisWidth x analysisHeight samples, no lock
// held: classifies and counts the old difference values, writes them as grey
// triples into greyImageOut, stores the new difference and the frame's samples
// into difference and brightnessNext. The frame must hold
// requiredFrameBytes(analysisWidth, analysisHeight) bytes; nothing beyond the
// last sample's byte is read. An empty mode does nothing.
MotionCounts scanSamples(const uint8_t* frameBytes);

// What counts as movement in a room; the defaults are the band above and no
// frame ignored. Set before frames arrive (the camera thread reads it).
struct MotionTuning {
  // 1 to 255: a sample moves when its brightness changed by at least this
  // many grey levels either way between the two frames its difference value
  // compares; 0: the band. (The very first frame, which has nothing before
  // it, then counts as still.)
  int32_t threshold = 0;
  // A frame in which more than this share of the watched samples moves (the
  // light switched, the camera re-exposed) counts as no movement; 100: never.
  double ignoreOverPercent = 100.0;
};
void setMotionTuning(const MotionTuning& tuning);
int32_t motionThreshold();

// The counts of a frame in which more than the ignore-over share moved, as
// no movement; others as they are.
MotionCounts ignoreSweepingChange(const MotionCounts& counts);

// Publishes one frame's counts into motionState under the motion lock; the
// moving fraction is the share of the watched samples.
void publishMotion(const MotionCounts& counts);

// scanSamples, then publishMotion. An empty mode leaves everything untouched.
void analyseMotion(const uint8_t* frameBytes);
