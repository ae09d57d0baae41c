#include "vision/motion_tap.h"

#include <atomic>

#include "platform/drop_oldest_ring.h"

namespace {
// About four seconds of a 30 fps camera.
DropOldestRing<MotionSample, 128> motionSamples;
std::atomic<bool> motionTapOpen{false};
}  // namespace

void tapMotion(float frameMs) {
  if (!motionTapOpen.load(std::memory_order_relaxed)) return;
  motionSamples.push(MotionSample{frameMs, copyMotionState()});
}

void openMotionTap() {
  motionSamples.discardAll();
  motionTapOpen.store(true, std::memory_order_release);
}

void closeMotionTap() { motionTapOpen.store(false, std::memory_order_release); }

bool takeMotionSample(MotionSample& sample) { return motionSamples.pop(sample); }

uint64_t motionSamplesDropped() { return motionSamples.dropped(); }
