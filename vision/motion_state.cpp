#include "vision/motion_state.h"

#include <pthread.h>

MotionState motionState{};

namespace {
pthread_mutex_t motionLock = PTHREAD_MUTEX_INITIALIZER;
}

void initMotionLock() { pthread_mutex_init(&motionLock, nullptr); }
void deleteMotionLock() { pthread_mutex_destroy(&motionLock); }
void enterMotionLock() { pthread_mutex_lock(&motionLock); }
void leaveMotionLock() { pthread_mutex_unlock(&motionLock); }

void resetMotionState() {
  enterMotionLock();
  motionState.movingFraction = 0.0f;
  motionState.centroidX = 0.0f;
  motionState.centroidY = 0.0f;
  motionState.velocityX.store(0.0f, std::memory_order_relaxed);
  motionState.velocityY = 0.0f;
  motionState.speed = 0.0f;
  motionState.leftGain.store(0.0f, std::memory_order_relaxed);
  motionState.rightGain.store(0.0f, std::memory_order_relaxed);
  motionState.lastCentroidX = 0.0f;
  motionState.lastCentroidY = 0.0f;
  leaveMotionLock();
}
