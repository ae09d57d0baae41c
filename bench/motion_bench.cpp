#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/motion_bench_frames.h"
#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"
#include "vision/motion_analysis.h"
#include "vision/motion_mask.h"
#include "vision/motion_state.h"

namespace {

// Per sample: one frame byte, two plane reads and five plane writes.
constexpr int64_t bytesPerSample = 8;

void analyseFrames(benchmark::State& state) {
  const auto width = static_cast<int32_t>(state.range(0));
  const auto height = static_cast<int32_t>(state.range(1));
  const BenchFrames frames = makeBenchFrames(width, height);
  if (!allocateFrameBuffers(width, height)) {
    state.SkipWithError("cannot allocate frame buffers");
    return;
  }
  frameTiming = FrameTiming{};
  float time = 0.0f;
  int n = 0;
  for (auto _ : state) {
    const FrameRecord record{frames.frame[n & 1].data(), frames.frame[n & 1].size()};
    time += 33.0f;
    benchmark::DoNotOptimize(processFrame(&record, time));
    ++n;
  }
  benchmark::DoNotOptimize(motionState.movingFraction);
  const int64_t samples = int64_t{width} * height;
  state.SetItemsProcessed(state.iterations() * samples);
  state.SetBytesProcessed(state.iterations() * samples * bytesPerSample);
}

void BM_AnalyseMotion(benchmark::State& state) { analyseFrames(state); }
BENCHMARK(BM_AnalyseMotion)->Args({640, 480})->Args({320, 240})->Args({1280, 720});

// The same with a mask that ignores a window and a door (a 4 x 3 picture,
// scaled up), and then with a threshold on top.
void BM_AnalyseMotionMasked(benchmark::State& state) {
  setMotionMask(MaskPicture{4, 3, {0, 255, 255, 0, 0, 255, 255, 255, 255, 255, 255, 255}});
  setMotionTuning(MotionTuning{static_cast<int32_t>(state.range(2)), 100.0});
  analyseFrames(state);
  setMotionMask(MaskPicture{});
  setMotionTuning(MotionTuning{});
}
BENCHMARK(BM_AnalyseMotionMasked)->Args({640, 480, 0})->Args({1280, 720, 0})->Args({640, 480, 30});

// The memory-traffic floor: the same bytes read and written by memcpy, row by
// row, with no work on them.
void BM_TouchSameBytes(benchmark::State& state) {
  const auto width = static_cast<size_t>(state.range(0));
  const auto height = static_cast<size_t>(state.range(1));
  const BenchFrames frames = makeBenchFrames(static_cast<int32_t>(width), static_cast<int32_t>(height));
  const size_t samples = width * height;
  std::vector<uint8_t> grey(3 * samples), difference(samples), previous(samples), next(samples);
  int n = 0;
  for (auto _ : state) {
    const uint8_t* frame = frames.frame[n & 1].data();
    for (size_t j = 0; j < height; ++j) {
      const uint8_t* frameRow = frame + j * frames.rowBytes;
      const size_t row = j * width;
      std::memcpy(&grey[3 * row], frameRow, 2 * width);
      std::memcpy(&grey[3 * row + 2 * width], &difference[row], width);
      std::memcpy(&difference[row], &previous[row], width);
      std::memcpy(&next[row], frameRow, width);
    }
    benchmark::ClobberMemory();
    std::swap(previous, next);
    ++n;
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(samples));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(samples) * bytesPerSample);
}
BENCHMARK(BM_TouchSameBytes)->Args({640, 480});

}  // namespace
