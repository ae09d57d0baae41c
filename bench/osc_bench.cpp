// What the motion's ways out cost the threads that must never wait.
#include <benchmark/benchmark.h>

#include "bench/motion_bench_frames.h"
#include "osc/osc_output.h"
#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"
#include "vision/motion_tap.h"
#include "vision/preview_picture.h"

namespace {

// One analysed frame's share of OSC on the camera thread: the copy of the
// motion record into the tap, while the sender thread empties it and sends
// to a local port (nobody listens there; the kernel discards the datagrams).
// Argument 0: OSC off, the tap closed.
void BM_OscSend(benchmark::State& state) {
  const bool on = state.range(0) != 0;
  if (on && !startOscOutput(OscTarget{"127.0.0.1", "9"}, OscSending::OwnThread)) {
    state.SkipWithError("the OSC output did not start");
    return;
  }
  float frameMs = 0.0f;
  for (auto _ : state) {
    frameMs += 33.0f;
    tapMotion(frameMs);
  }
  // Far more frames than a camera gives: the sender falls behind and says so.
  stopOscOutput();
}
BENCHMARK(BM_OscSend)->Arg(0)->Arg(1);

// One analysed frame's share of the preview on the camera thread: the copy of
// the grey picture into the hand-over.
void BM_PreviewPublish(benchmark::State& state) {
  const auto width = static_cast<int32_t>(state.range(0));
  const auto height = static_cast<int32_t>(state.range(1));
  const BenchFrames frames = makeBenchFrames(width, height);
  frameTiming = FrameTiming{};
  if (!allocateFrameBuffers(width, height) || !openPreviewPictures()) {
    state.SkipWithError("cannot allocate the pictures");
    return;
  }
  for (int n = 0; n < 2; ++n) {
    const FrameRecord record{frames.frame[n].data(), frames.frame[n].size()};
    processFrame(&record, static_cast<float>(33 * (n + 1)));
  }
  for (auto _ : state) publishPreviewPicture();
  closePreviewPictures();
  state.SetBytesProcessed(state.iterations() * int64_t{width} * height);
}
BENCHMARK(BM_PreviewPublish)->Args({640, 480});

}  // namespace
