#include "vision/frame_pipeline.h"

#include <cmath>

#include "platform/exact_float.h"
#include "vision/frame_buffers.h"
#include "vision/motion_analysis.h"
#include "vision/motion_tap.h"
#include "vision/preview_picture.h"

FrameTiming frameTiming{};

namespace {

bool frameFitsWalk(const FrameRecord* frame) {
  if (analysisWidth <= 0 || analysisHeight <= 0) return false;
  if (frame == nullptr || frame->pixels == nullptr) return false;
  return frame->byteCount >= requiredFrameBytes(analysisWidth, analysisHeight);
}

// The plane filled by one frame is the one the next frame reads back.
void assignRoles(int32_t counter) {
  const int out = (counter & 1) == 0 ? 1 : 0;
  frameBuffers.greyImageOut = frameBuffers.greyImage[out];
  frameBuffers.greyImageReady = frameBuffers.greyImage[1 - out];
  frameBuffers.brightnessNext = frameBuffers.brightness[out];
  frameBuffers.brightnessPrevious = frameBuffers.brightness[1 - out];
}

}  // namespace

int32_t processFrame(const FrameRecord* frame, float frameTimeMs, double exactTimeMs) {
  if (!frameFitsWalk(frame)) return 1;

  const float previousTime = frameTiming.frameTime;
  const double previousExact = frameTiming.exactFrameTime;
  frameTiming.frameTime = frameTimeMs;
  frameTiming.exactFrameTime = exactTimeMs;
  const bool fine = std::fabs(previousTime) < coarseFrameTimeMs && std::fabs(frameTimeMs) < coarseFrameTimeMs;
  frameTiming.frameInterval =
      fine ? frameTiming.frameTime - previousTime : exactFloat(exactTimeMs - previousExact);

  assignRoles(frameTiming.frameCounter);
  // Wraps instead of overflowing; parity survives the wrap.
  frameTiming.frameCounter = static_cast<int32_t>(static_cast<uint32_t>(frameTiming.frameCounter) + 1u);

  analyseMotion(frame->pixels);
  tapMotion(frameTiming.frameTime);
  publishPreviewPicture();
  return 1;
}
