#include "sound/wave_tables.h"

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "platform/exact_float.h"

WaveTable toneTable{};
WaveTable strikeTable{};
double noteTable[4]{};

namespace {
double semitoneRatios[12]{};

WaveTableAllocator waveTableAllocator = std::malloc;

void releaseWaveTable(WaveTable& table) {
  std::free(table.samples);
  table.samples = nullptr;
  table.frameCount = 0;
}

// Sign-preserving power: keeps the waveform's polarity while bending its shape.
double shape(double s, double e) {
  if (s > 0.0) return std::pow(s, e);
  if (s < 0.0) return -std::pow(-s, e);
  return 0.0;
}

// One cycle of a sine with a quarter-amplitude second harmonic. The angle is
// accumulated, not multiplied out, and kept in double.
void fillToneTable(float* samples) {
  const double step = 2.0 * std::numbers::pi / toneFrameCount;
  double x = 0.0;
  for (int32_t i = 0; i < toneFrameCount; ++i) {
    const float v = exactFloat((std::sin(2.0 * x) * 0.25 + std::sin(x)) * 0.5);
    samples[2 * i] = v;
    samples[2 * i + 1] = v;
    x += step;
  }
}

// Decaying tones, two per table on the left and three on the right. Both
// counters are single floats rounded after every addition: the time counter's
// accumulated rounding drift is part of the table's sound.
void fillStrikeTable(float* samples) {
  const double timeStep = 2.0 * std::numbers::pi / strikeFrameCount;
  const double rampStep = 1.0 / strikeFrameCount;
  float p = 0.0f;
  float t = 0.0f;
  for (int32_t i = 0; i < strikeFrameCount; ++i) {
    const float eL = exactFloat(1.0 - std::fmod(2.0 * p, 1.0));
    const double sL = std::sin(2250.0 * t);
    samples[2 * i] = exactFloat(eL * shape(sL, 5.0));
    const float eR = exactFloat(1.0 - std::fmod(3.0 * p, 1.0));
    const double sR = std::sin(1500.0 * t);
    samples[2 * i + 1] = exactFloat(eR * shape(sR, 0.8));
    p = exactFloat(p + rampStep);
    t = exactFloat(t + timeStep);
  }
}

}  // namespace

void setWaveTableAllocator(WaveTableAllocator allocator) {
  waveTableAllocator = allocator ? allocator : std::malloc;
}

float* allocateWaveTable(WaveTable& table, int32_t frameCount) {
  table.samples = nullptr;
  table.frameCount = 0;
  const bool powerOfTwo = frameCount > 0 && (frameCount & (frameCount - 1)) == 0;
  if (!powerOfTwo) return nullptr;
  auto* samples =
      static_cast<float*>(waveTableAllocator(static_cast<std::size_t>(frameCount) * 2 * sizeof(float)));
  if (!samples) return nullptr;
  table.samples = samples;
  table.frameCount = frameCount;
  return samples;
}

// Runs once before the stream exists. A repeated call replaces the tables; on
// failure both are left absent so the synthesis plays silence.
bool buildWaveTables() {
  releaseWaveTable(toneTable);
  releaseWaveTable(strikeTable);
  float* tone = allocateWaveTable(toneTable, toneFrameCount);
  float* strike = allocateWaveTable(strikeTable, strikeFrameCount);
  if (!tone || !strike) {
    releaseWaveTable(toneTable);
    releaseWaveTable(strikeTable);
    return false;
  }
  fillToneTable(tone);
  fillStrikeTable(strike);
  return true;
}

std::span<const double, 12> semitoneRatioTable() { return semitoneRatios; }

void buildTuningTables() {
  for (int i = 0; i < 12; ++i) semitoneRatios[i] = std::pow(2.0, i * 0.08333333333333333);
  noteTable[0] = semitoneRatios[0] * 0.25;
  noteTable[1] = semitoneRatios[7] * 0.5;
  noteTable[2] = semitoneRatios[2];
  noteTable[3] = semitoneRatios[9];
}
