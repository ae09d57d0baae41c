#pragma once
#include <cstdint>

// The stream procedure of the output stream: fills byteCount bytes of 16-bit
// interleaved stereo at 44 100 Hz and returns byteCount.
uint32_t synthesisCallback(uint32_t stream, void* buffer, uint32_t byteCount, uint32_t user);
