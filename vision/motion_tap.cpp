#include "vision/motion_tap.h"

#include "platform/sample_tap.h"

namespace {
// About four seconds of a 30 fps camera.
SampleTap<MotionSample, 128> motionTap;
}  // namespace

void tapMotion(float frameMs) {
  motionTap.offer([&] { return MotionSample{frameMs, copyMotionState()}; });
}

void openMotionTap(WakeSignal* wake) { motionTap.open(wake); }

void closeMotionTap() { motionTap.close(); }

bool takeMotionSample(MotionSample& sample) { return motionTap.take(sample); }

uint64_t motionSamplesDropped() { return motionTap.dropped(); }
