#include "display/difference_texture.h"

#include <cstdlib>

#include "display/texture_table.h"
#include "platform/window.h"

uint32_t differenceTexture = 0;

void differenceTextureSize(int32_t width, int32_t height, int32_t& textureWidth, int32_t& textureHeight) {
  // Not the next power of two: 513 to 639 columns get a 512-wide texture.
  textureWidth = width >= 640 ? 1024 : (width <= 256 ? 256 : 512);
  textureHeight = height <= 256 ? 256 : 512;
}

void makeDifferenceTexture(int32_t width, int32_t height) {
  if (differenceTexture != 0 || !renderingContextCurrent()) return;
  int32_t textureWidth = 0, textureHeight = 0;
  differenceTextureSize(width, height, textureWidth, textureHeight);
  auto* staging = static_cast<uint8_t*>(
      std::calloc(static_cast<size_t>(textureWidth) * static_cast<size_t>(textureHeight) * 3, 1));
  if (staging == nullptr) return;
  differenceTexture = createTexture(staging, textureWidth, textureHeight, false);
  std::free(staging);
}
