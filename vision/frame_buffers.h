#pragma once
#include <cstddef>
#include <cstdint>

#include "camera/frame_layout.h"

struct FrameBuffers {
  uint8_t* greyImage[2];
  uint8_t* brightness[2];
  uint8_t* difference;
  // 0xFF where watched, 0 where ignored (vision/motion_mask.h); null without a mask.
  uint8_t* mask;
  // Roles, reassigned by the frame pipeline before every analysis.
  uint8_t* greyImageOut;
  uint8_t* greyImageReady;
  uint8_t* brightnessPrevious;
  uint8_t* brightnessNext;
};

extern FrameBuffers frameBuffers;
extern int32_t analysisWidth;
extern int32_t analysisHeight;

// The samples the analysis watches: all of them unless a mask ignores some.
int64_t watchedSamples();

// Sizes the analysis buffers for a mode; false (nothing allocated, dimensions
// 0) when a buffer cannot be had or the mode is empty.
bool allocateFrameBuffers(int32_t width, int32_t height);
