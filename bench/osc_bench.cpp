// What the motion's ways out cost the threads that must never wait.
#include <benchmark/benchmark.h>

#include "app/osc_output.h"
#include "vision/motion_tap.h"

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

}  // namespace
