#include "vision/frame_buffers.h"

#include <SDL.h>

#include <cstdlib>

#include "display/texture_table.h"
#include "vision/frame_pipeline.h"
#include "vision/motion_state.h"

FrameBuffers frameBuffers{};
int32_t analysisWidth = 0;
int32_t analysisHeight = 0;
uint32_t differenceTexture = 0;

size_t requiredFrameBytes(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  return (h - 1) * (2 * w + 640) + 2 * w - 1;
}

namespace {

void releasePlanes() {
  std::free(frameBuffers.greyImage[0]);
  std::free(frameBuffers.greyImage[1]);
  std::free(frameBuffers.brightness[0]);
  std::free(frameBuffers.brightness[1]);
  std::free(frameBuffers.difference);
  frameBuffers = FrameBuffers{};
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
  if (!frameBuffers.greyImage[0] || !frameBuffers.greyImage[1] || !frameBuffers.brightness[0] ||
      !frameBuffers.brightness[1] || !frameBuffers.difference) {
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

// A black texture sized for the mode, made once. Only with a rendering
// context current: the offline renderer and the analysis tests have none.
void makeDifferenceTexture(int32_t width, int32_t height) {
  if (differenceTexture != 0 || SDL_GL_GetCurrentContext() == nullptr) return;
  int32_t textureWidth = 0, textureHeight = 0;
  differenceTextureSize(width, height, textureWidth, textureHeight);
  auto* staging = static_cast<uint8_t*>(
      std::calloc(static_cast<size_t>(textureWidth) * static_cast<size_t>(textureHeight) * 3, 1));
  if (staging == nullptr) return;
  differenceTexture = createTexture(staging, textureWidth, textureHeight, false);
  std::free(staging);
}

}  // namespace

void differenceTextureSize(int32_t width, int32_t height, int32_t& textureWidth, int32_t& textureHeight) {
  // Not the next power of two: 513 to 639 columns get a 512-wide texture.
  textureWidth = width >= 640 ? 1024 : (width <= 256 ? 256 : 512);
  textureHeight = height <= 256 ? 256 : 512;
}

bool allocateFrameBuffers(int32_t width, int32_t height) {
  releasePlanes();
  if (width <= 0 || height <= 0) return false;
  if (!allocatePlanes(width, height)) return false;
  analysisWidth = width;
  analysisHeight = height;
  assignInitialRoles();
  makeDifferenceTexture(width, height);

  // No callback runs yet, so the lock is not needed.
  motionState.movingFraction = 0.0f;
  return true;
}
