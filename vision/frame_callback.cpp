#include "platform/clock.h"
#include "vision/frame_pipeline.h"

int32_t onFrameCaptured(uint32_t, const FrameRecord* frame, uint32_t) {
  return processFrame(frame, msSinceStartMark());
}
