#pragma once
// The analysis layout in which frames reach the analysis: for a W x H mode the
// luma of pixel (j, k) sits at byte j * (2W + 640) + 2k. Each row spans 2W
// bytes of samples (luma at the even ones) and then 640 bytes that are never
// read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// What the camera layer hands the frame callback for one frame: the pixel
// bytes in the analysis layout and how many bytes there are.
struct FrameRecord {
  const uint8_t* pixels;
  size_t byteCount;
};

// Where the layout of a W x H mode lives.
struct LayoutTarget {
  uint8_t* bytes;
  int32_t width;
  int32_t height;
};

// Copies a plane of bytes (sample k of row j at j * pitch + k * step) into
// the layout's luma positions.
inline void placeLumaPlane(const uint8_t* plane, size_t pitch, int32_t step, int32_t width, int32_t height,
                           const LayoutTarget& target) {
  const size_t stride = frameLayoutStride(target.width);
  const int32_t cols = std::min(width, target.width);
  const int32_t rows = std::min(height, target.height);
  for (int32_t j = 0; j < rows; ++j) {
    const uint8_t* in = plane + size_t(j) * pitch;
    uint8_t* out = target.bytes + size_t(j) * stride;
    if (step == 2) {
      // Luma already sits at even offsets: copy the row whole.
      std::memcpy(out, in, size_t(2 * cols - 1));
    } else {
      int32_t k = 0;
#if defined(__SSE2__)
      if (step == 1) {
        // 16 samples at a time, keeping the bytes between them; the last
        // block stops short of the row's final byte, where a buffer may end.
        const __m128i zero = _mm_setzero_si128(), keep = _mm_set1_epi16(int16_t(0xFF00));
        for (; k + 16 < cols; k += 16) {
          const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
          auto* pair = reinterpret_cast<__m128i*>(out + 2 * k);
          _mm_storeu_si128(pair, _mm_or_si128(_mm_and_si128(_mm_loadu_si128(pair), keep),
                                              _mm_unpacklo_epi8(luma, zero)));
          _mm_storeu_si128(pair + 1, _mm_or_si128(_mm_and_si128(_mm_loadu_si128(pair + 1), keep),
                                                  _mm_unpackhi_epi8(luma, zero)));
        }
      }
#endif
      for (; k < cols; ++k) out[2 * k] = in[size_t(k) * size_t(step)];
    }
  }
}
