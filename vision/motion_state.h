#pragma once
#include <atomic>

// The record through which vision hands its measurements to sound.
// velocityX, leftGain and rightGain are read by the audio thread without the
// lock, so they are stored and loaded whole as relaxed atomics.
struct MotionState {
  float movingFraction;
  float centroidX;
  float centroidY;
  std::atomic<float> velocityX;
  float velocityY;
  float speed;
  std::atomic<float> leftGain;
  std::atomic<float> rightGain;
  float lastCentroidX;
  float lastCentroidY;
};
static_assert(sizeof(std::atomic<float>) == 4 && std::atomic<float>::is_always_lock_free);

extern MotionState motionState;

// The record's ten values at one moment, copied under the lock: for logs and
// tools that look at the measurements from outside.
struct MotionValues {
  float movingFraction;
  float centroidX;
  float centroidY;
  float velocityX;
  float velocityY;
  float speed;
  float leftGain;
  float rightGain;
  float lastCentroidX;
  float lastCentroidY;
};
MotionValues copyMotionState();

void initMotionLock();
void deleteMotionLock();
void enterMotionLock();
void leaveMotionLock();
// Test helper: every field back to 0.
void resetMotionState();
