#pragma once
// The analysis layout in which frames reach the analysis: for a W x H mode the
// luma of pixel (j, k) sits at byte j * (2W + 640) + 2k. Each row spans 2W
// bytes of samples (luma at the even ones) and then 640 bytes that are never
// read.
#include <cstddef>
#include <cstdint>

constexpr size_t frameLayoutRowSkip = 640;

// Bytes from one row's first sample to the next row's.
constexpr size_t frameLayoutStride(int32_t width) {
  return 2 * static_cast<size_t>(width) + frameLayoutRowSkip;
}

// Bytes the analysis walk of a W x H mode reads: up to the last sample's byte.
// 0 for an empty mode.
constexpr size_t requiredFrameBytes(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  return static_cast<size_t>(height - 1) * frameLayoutStride(width) + 2 * static_cast<size_t>(width) - 1;
}

// Bytes of a whole layout buffer of a W x H frame, as the camera layer
// delivers it: the walk's bytes and the odd byte after the last sample.
constexpr size_t captureLayoutBytes(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  return requiredFrameBytes(width, height) + 1;
}
