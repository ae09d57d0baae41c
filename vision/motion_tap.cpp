#include "vision/motion_tap.h"

#include <atomic>

#include "platform/drop_oldest_ring.h"
#include "vision/motion_state.h"

namespace {
// About four seconds of a 30 fps camera.
DropOldestRing<MotionSample, 128> motionSamples;
std::atomic<bool> motionTapOpen{false};
}  // namespace

void tapMotion(float frameMs) {
  if (!motionTapOpen.load(std::memory_order_relaxed)) return;
  enterMotionLock();
  const MotionState& s = motionState;
  const MotionSample sample{frameMs,
                            s.movingFraction,
                            s.centroidX,
                            s.centroidY,
                            s.velocityX.load(std::memory_order_relaxed),
                            s.velocityY,
                            s.speed,
                            s.leftGain.load(std::memory_order_relaxed),
                            s.rightGain.load(std::memory_order_relaxed)};
  leaveMotionLock();
  motionSamples.push(sample);
}

void openMotionTap() {
  motionSamples.discardAll();
  motionTapOpen.store(true, std::memory_order_release);
}

void closeMotionTap() { motionTapOpen.store(false, std::memory_order_release); }

bool takeMotionSample(MotionSample& sample) { return motionSamples.pop(sample); }

uint64_t motionSamplesDropped() { return motionSamples.dropped(); }
