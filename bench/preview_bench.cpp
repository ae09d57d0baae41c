// The preview's cost on the main thread per refresh of the message loop: the
// newest picture coloured, loaded into the difference texture, drawn over the
// window with its cross and presented, finished by the GL driver. Needs an X
// display (Mesa's llvmpipe under Xvfb here).
#include <GL/gl.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "app/options.h"
#include "app/outputs.h"
#include "bench/motion_bench_frames.h"
#include "display/difference_texture.h"
#include "display/scene_state.h"
#include "display/texture_table.h"
#include "platform/window.h"
#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"

namespace {

void BM_PreviewRefresh(benchmark::State& state) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    state.SkipWithError("needs an X display");
    return;
  }
  const auto width = static_cast<int32_t>(state.range(0));
  const auto height = static_cast<int32_t>(state.range(1));
  clearTextureTable();  // each run makes its textures anew
  differenceTexture = 0;
  if (!createAppWindow("Tessaro preview benchmark", width, height, 32) || !initSceneState()) {
    state.SkipWithError("no window with an OpenGL context");
    return;
  }
  const BenchFrames frames = makeBenchFrames(width, height);
  frameTiming = FrameTiming{};
  if (!allocateFrameBuffers(width, height)) {
    state.SkipWithError("cannot allocate frame buffers");
    destroyAppWindow();
    return;
  }
  makeDifferenceTexture(width, height);
  ProgramOptions options{};
  options.preview = true;
  startMotionOutputs(options);
  int n = 0;
  std::vector<double> refreshMs;
  for (auto _ : state) {
    // The camera thread's part, not counted.
    state.PauseTiming();
    const FrameRecord record{frames.frame[n & 1].data(), frames.frame[n & 1].size()};
    processFrame(&record, static_cast<float>(33 * ++n));
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    refreshPreview();
    glFinish();
    refreshMs.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  stopMotionOutputs();
  // The rasteriser's threads and the X server share the cores with whatever
  // else runs: the median and the fastest refresh say more than the mean.
  std::sort(refreshMs.begin(), refreshMs.end());
  state.counters["median_ms"] = refreshMs[refreshMs.size() / 2];
  state.counters["fastest_ms"] = refreshMs.front();
  destroyAppWindow();
}
BENCHMARK(BM_PreviewRefresh)->Args({640, 480})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
