#include "vision/frame_buffers.h"

#include <cstdlib>

#include "vision/frame_pipeline.h"
#include "vision/motion_mask.h"
#include "vision/motion_state.h"

FrameBuffers frameBuffers{};
int32_t analysisWidth = 0;
int32_t analysisHeight = 0;

namespace {
int64_t watched = 0;

void releasePlanes() {
  std::free(frameBuffers.greyImage[0]);
  std::free(frameBuffers.greyImage[1]);
  std::free(frameBuffers.brightness[0]);
  std::free(frameBuffers.brightness[1]);
  std::free(frameBuffers.difference);
  std::free(frameBuffers.mask);
  frameBuffers = FrameBuffers{};
  watched = 0;
  analysisWidth = 0;
  analysisHeight = 0;
}

// Zero-filled planes for a W x H mode; false with nothing held when any
// of them cannot be had.
bool allocatePlanes(int32_t width, int32_t height) {
  const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (samples > SIZE_MAX / 3) return false;
  frameBuffers.greyImage[0] = static_cast<uint8_t*>(std::calloc(samples * 3, 1));
  frameBuffers.greyImage[1] = static_cast<uint8_t*>(std::calloc(samples * 3, 1));
  frameBuffers.brightness[0] = static_cast<uint8_t*>(std::calloc(samples, 1));
  frameBuffers.brightness[1] = static_cast<uint8_t*>(std::calloc(samples, 1));
  frameBuffers.difference = static_cast<uint8_t*>(std::calloc(samples, 1));
  watched = static_cast<int64_t>(samples);
  if (motionMaskSet()) frameBuffers.mask = scaledMotionMask(width, height, watched);
  if (!frameBuffers.greyImage[0] || !frameBuffers.greyImage[1] || !frameBuffers.brightness[0] ||
      !frameBuffers.brightness[1] || !frameBuffers.difference || (motionMaskSet() && !frameBuffers.mask)) {
    releasePlanes();
    return false;
  }
  return true;
}

void assignInitialRoles() {
  frameBuffers.greyImageOut = frameBuffers.greyImage[0];
  frameBuffers.greyImageReady = frameBuffers.greyImage[1];
  frameBuffers.brightnessPrevious = frameBuffers.brightness[0];
  frameBuffers.brightnessNext = frameBuffers.brightness[1];
  frameTiming.frameCounter = 0;
}

}  // namespace

int64_t watchedSamples() { return watched; }

bool allocateFrameBuffers(int32_t width, int32_t height) {
  releasePlanes();
  if (width <= 0 || height <= 0) return false;
  if (!allocatePlanes(width, height)) return false;
  analysisWidth = width;
  analysisHeight = height;
  assignInitialRoles();

  // No callback runs yet, so the lock is not needed.
  motionState.movingFraction = 0.0f;
  return true;
}
