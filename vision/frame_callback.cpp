#include "platform/clock.h"
#include "platform/exact_float.h"
#include "vision/frame_pipeline.h"

int32_t onFrameCaptured(uint32_t, const FrameRecord* frame, uint32_t) {
  const double exact = exactMsSinceStartMark();  // the one clock reading
  return processFrame(frame, exactFloat(exact), exact);
}
