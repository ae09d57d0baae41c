#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "sound/synth_state.h"
#include "sound/synthesis.h"
#include "sound/wave_tables.h"
#include "vision/motion_state.h"

namespace {

constexpr uint32_t requestFrames = 4410;  // one typical request: 0.1 s of sound

void setMotion(float fraction, float speed) {
  enterMotionLock();
  motionState.movingFraction = fraction;
  motionState.speed = speed;
  motionState.velocityX.store(0.02f, std::memory_order_relaxed);
  motionState.leftGain.store(0.6f, std::memory_order_relaxed);
  motionState.rightGain.store(0.8f, std::memory_order_relaxed);
  leaveMotionLock();
}

bool prepare(benchmark::State& state) {
  if (!toneTable.samples && !buildWaveTables()) {
    state.SkipWithError("wavetables could not be allocated");
    return false;
  }
  buildTuningTables();
  resetSynthState();
  return true;
}

void measure(benchmark::State& state, std::vector<int16_t>& buffer) {
  // Timed here rather than as an inverted rate counter, which the console
  // reporter would label in seconds.
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(synthesisCallback(0, buffer.data(), requestFrames * 4, 0));
    benchmark::ClobberMemory();
  }
  const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
  const double frames = static_cast<double>(state.iterations()) * requestFrames;
  state.SetItemsProcessed(state.iterations() * requestFrames);
  state.counters["ns_per_frame"] = frames > 0.0 ? elapsed.count() / frames : 0.0;
  resetMotionState();
}

// Both voices sounding.
void BM_SynthesisCallback(benchmark::State& state) {
  if (!prepare(state)) return;
  setMotion(0.3f, 0.45f);
  std::vector<int16_t> buffer(2 * requestFrames);
  measure(state, buffer);
}
BENCHMARK(BM_SynthesisCallback);

// A silent room after a visitor left: both voices have faded out for two
// minutes, the state of a long quiet stretch in a gallery.
void BM_SynthesisCallbackSilentAfterMotion(benchmark::State& state) {
  if (!prepare(state)) return;
  setMotion(0.3f, 0.45f);
  std::vector<int16_t> buffer(2 * requestFrames);
  for (int call = 0; call < 20; ++call) synthesisCallback(0, buffer.data(), requestFrames * 4, 0);
  setMotion(0.0f, 0.0f);
  for (int call = 0; call < 1200; ++call) synthesisCallback(0, buffer.data(), requestFrames * 4, 0);
  measure(state, buffer);
}
BENCHMARK(BM_SynthesisCallbackSilentAfterMotion);

}  // namespace

BENCHMARK_MAIN();
