#pragma once
#include <cstdint>

// The stream procedure of the output stream: fills byteCount bytes of 16-bit
// interleaved stereo at 44 100 Hz and returns byteCount.
uint32_t synthesisCallback(uint32_t stream, void* buffer, uint32_t byteCount, uint32_t user);

struct WaveTable;

struct StereoValue {
  double left;
  double right;
};

// Linear interpolation between frame floor(phase) mod N and the one after it
// (the last frame wraps to frame 0). Serves any phase >= 0.
StereoValue readFrame(const WaveTable& table, double phase);
