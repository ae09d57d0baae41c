#pragma once
// Frames in the camera layout the analysis walks, and a fresh mode per test.
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"
#include "vision/motion_state.h"

// Exactly as many bytes as the walk of a width x height mode needs, so any read
// past the last sample lands outside the allocation. Bytes that are not samples
// hold noise, so reading a wrong byte shows.
struct TestFrame {
  int32_t width;
  int32_t height;
  std::vector<uint8_t> bytes;

  TestFrame(int32_t w, int32_t h, const std::function<uint8_t(int32_t, int32_t)>& sample)
      : width(w), height(h), bytes(requiredFrameBytes(w, h)) {
    std::mt19937 noise(static_cast<uint32_t>(w * 7919 + h));
    for (auto& b : bytes) b = static_cast<uint8_t>(noise());
    for (int32_t j = 0; j < h; ++j)
      for (int32_t k = 0; k < w; ++k) at(j, k) = sample(j, k);
  }
  uint8_t& at(int32_t j, int32_t k) {
    return bytes[static_cast<size_t>(j) * frameLayoutStride(width) + 2 * static_cast<size_t>(k)];
  }
  FrameRecord record() const { return FrameRecord{bytes.data(), bytes.size()}; }
};

inline TestFrame uniformFrame(int32_t w, int32_t h, uint8_t value) {
  return TestFrame(w, h, [value](int32_t, int32_t) { return value; });
}

// A freshly allocated mode with the motion record and the frame timing at rest.
inline bool startMode(int32_t w, int32_t h) {
  frameTiming = FrameTiming{};
  const bool ok = allocateFrameBuffers(w, h);
  resetMotionState();
  return ok;
}

// Runs a frame through the pipeline at the given time (ms since the mark).
inline int32_t feed(const TestFrame& frame, float timeMs) {
  const FrameRecord record = frame.record();
  return processFrame(&record, timeMs);
}

inline size_t samplesOf(int32_t w, int32_t h) { return static_cast<size_t>(w) * static_cast<size_t>(h); }
