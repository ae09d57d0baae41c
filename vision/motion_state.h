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

void initMotionLock();
void deleteMotionLock();
void enterMotionLock();
void leaveMotionLock();
// Test helper: every field back to 0.
void resetMotionState();
