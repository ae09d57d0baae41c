#include "vision/motion_state.h"

#include <pthread.h>

MotionState motionState{};

namespace {
// Usable from the start, so tests and early callers need no initMotionLock.
// Initialising a live mutex again is undefined (and could reset one that is
// held), so init only revives the lock after a delete. Both run on the main
// thread while no other thread uses the lock.
pthread_mutex_t motionLock = PTHREAD_MUTEX_INITIALIZER;
bool motionLockLive = true;
}  // namespace

void initMotionLock() {
  if (motionLockLive) return;
  pthread_mutex_init(&motionLock, nullptr);
  motionLockLive = true;
}
void deleteMotionLock() {
  if (!motionLockLive) return;
  pthread_mutex_destroy(&motionLock);
  motionLockLive = false;
}
void enterMotionLock() { pthread_mutex_lock(&motionLock); }
void leaveMotionLock() { pthread_mutex_unlock(&motionLock); }

MotionValues copyMotionState() {
  enterMotionLock();
  const MotionState& s = motionState;
  const MotionValues v{s.movingFraction,
                       s.centroidX,
                       s.centroidY,
                       s.velocityX.load(std::memory_order_relaxed),
                       s.velocityY,
                       s.speed,
                       s.leftGain.load(std::memory_order_relaxed),
                       s.rightGain.load(std::memory_order_relaxed),
                       s.lastCentroidX,
                       s.lastCentroidY};
  leaveMotionLock();
  return v;
}

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
