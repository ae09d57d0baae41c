#include <benchmark/benchmark.h>

#include <vector>

#include "sound/synth_state.h"
#include "sound/synthesis.h"
#include "sound/wave_tables.h"
#include "vision/motion_state.h"

namespace {

// One typical request: 0.1 s of sound (4410 frames) with both voices sounding.
void BM_SynthesisCallback(benchmark::State& state) {
  if (!toneTable.samples && !buildWaveTables()) {
    state.SkipWithError("wavetables could not be allocated");
    return;
  }
  buildTuningTables();
  resetSynthState();
  enterMotionLock();
  motionState.movingFraction = 0.3f;
  motionState.speed = 0.45f;
  motionState.velocityX.store(0.02f, std::memory_order_relaxed);
  motionState.leftGain.store(0.6f, std::memory_order_relaxed);
  motionState.rightGain.store(0.8f, std::memory_order_relaxed);
  leaveMotionLock();

  constexpr uint32_t frames = 4410;
  std::vector<int16_t> buffer(2 * frames);
  for (auto _ : state) {
    benchmark::DoNotOptimize(synthesisCallback(0, buffer.data(), frames * 4, 0));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.counters["ns_per_frame"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * frames,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  resetMotionState();
}
BENCHMARK(BM_SynthesisCallback);

}  // namespace

BENCHMARK_MAIN();
