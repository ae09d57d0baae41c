#pragma once
#include <cstddef>
#include <cstdint>

struct FrameBuffers {
  uint8_t* greyImage[2];
  uint8_t* brightness[2];
  uint8_t* difference;
  // Roles, reassigned by the frame pipeline before every analysis.
  uint8_t* greyImageOut;
  uint8_t* greyImageReady;
  uint8_t* brightnessPrevious;
  uint8_t* brightnessNext;
};

extern FrameBuffers frameBuffers;
extern int32_t analysisWidth;
extern int32_t analysisHeight;
// A black texture made with the buffers, sized by differenceTextureSize;
// nothing updates or draws it. 0 until made.
extern uint32_t differenceTexture;

// Bytes a frame must hold for the analysis walk of a W x H mode.
size_t requiredFrameBytes(int32_t width, int32_t height);

// Width 1024 from 640 columns, 256 up to 256 columns, else 512; height 256
// up to 256 rows, else 512.
void differenceTextureSize(int32_t width, int32_t height, int32_t& textureWidth, int32_t& textureHeight);

// Sizes the analysis buffers for a mode; false (nothing allocated, dimensions
// 0) when a buffer cannot be had or the mode is empty. With a rendering
// context current it also makes differenceTexture, if it does not exist yet.
bool allocateFrameBuffers(int32_t width, int32_t height);
