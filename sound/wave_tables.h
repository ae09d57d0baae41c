#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

// A stereo wavetable of interleaved float frames; frameCount is a power of two.
struct WaveTable {
  float* samples;
  int32_t frameCount;
};

extern WaveTable toneTable;
extern WaveTable strikeTable;
extern double noteTable[4];

// The twelve equal-tempered semitone ratios buildTuningTables derives the
// note table from; kept in wave_tables.cpp.
std::span<const double, 12> semitoneRatioTable();

float* allocateWaveTable(WaveTable& table, int32_t frameCount);
// True when both tables were built; false when the heap could not supply them
// (nothing is written then and the synthesis stays silent).
bool buildWaveTables();
void buildTuningTables();

// The largest magnitude in the tone table: (sin x + sin 2x / 4) / 2 peaks
// where cos x = (sqrt 3 - 1) / 2.
constexpr double toneTablePeak = 0.5505;

// Frame counts of the two instances.
constexpr int32_t toneFrameCount = 32768;
constexpr int32_t strikeFrameCount = 131072;

// Test seam: where the wavetables take their memory. nullptr restores malloc.
// The memory must be releasable with free().
using WaveTableAllocator = void* (*)(std::size_t byteCount);
void setWaveTableAllocator(WaveTableAllocator allocator);
