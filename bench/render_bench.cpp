// The offline renderer on the demo camera, reported as a multiple of real time.
#include <benchmark/benchmark.h>

#include "tools/render/render_core.h"

namespace {
void BM_RenderDemo(benchmark::State& state) {
  const double seconds = 10.0;
  for (auto _ : state) {
    RenderRequest request{"demo", seconds, 1234, false, nullptr, nullptr};
    RenderResult result;
    std::string error;
    if (!renderRecording(request, result, error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(result.peakSample);
  }
  state.counters["x_real_time"] =
      benchmark::Counter(seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RenderDemo)->Unit(benchmark::kMillisecond)->UseRealTime();
}  // namespace
