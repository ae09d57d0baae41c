#pragma once
// Two alternating camera frames in the analysis layout, full rows, with a
// bright block that moves between them over sensor noise.
#include <cstdint>
#include <random>
#include <vector>

#include "camera/frame_layout.h"

struct BenchFrames {
  int32_t width;
  int32_t height;
  size_t rowBytes;
  std::vector<uint8_t> frame[2];
};

inline BenchFrames makeBenchFrames(int32_t width, int32_t height) {
  BenchFrames f{width, height, frameLayoutStride(width), {}};
  std::mt19937 rng(42);
  for (int n = 0; n < 2; ++n) {
    f.frame[n].resize(f.rowBytes * static_cast<size_t>(height));
    for (int32_t j = 0; j < height; ++j) {
      for (size_t b = 0; b < f.rowBytes; ++b) {
        const int32_t k = static_cast<int32_t>(b / 2);
        const bool inBlock = j > height / 4 && j < height / 2 && k > width / 4 + n * width / 8 &&
                             k < width / 2 + n * width / 8;
        f.frame[n][static_cast<size_t>(j) * f.rowBytes + b] =
            static_cast<uint8_t>(inBlock ? 220 + rng() % 8 : 60 + rng() % 8);
      }
    }
  }
  return f;
}
