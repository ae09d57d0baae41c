#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "audio/audio_library.h"
#include "audio/reverb.h"
#include "sound/synthesis.h"
#include "sound/wave_tables.h"
#include "vision/motion_state.h"

namespace {

constexpr uint32_t oneSecond = 44100;

// Motion as a visitor in the middle of the picture makes it: both voices
// sound, the note cycle moves on every request.
void presentMotion() {
  enterMotionLock();
  motionState.movingFraction = 0.3f;
  motionState.speed = 0.4f;
  leaveMotionLock();
  motionState.velocityX.store(0.05f);
  motionState.leftGain.store(0.6f);
  motionState.rightGain.store(0.8f);
}

// The installation's whole output path for one second: the synthesis with
// motion present, two reverbs of -6 dB mix and 3000 ms, mixing and
// conversion, taken in device periods. Reported as a multiple of real time.
void BM_AudioPath(benchmark::State& state) {
  BASS_Free();
  buildWaveTables();
  buildTuningTables();
  presentMotion();
  if (!initAudioLibraryOffline(44100)) {
    state.SkipWithError("cannot open the library offline");
    return;
  }
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, synthesisCallback, 0);
  for (int i = 0; i < 2; ++i) {
    uint32_t fx = BASS_ChannelSetFX(stream, audioEffectReverb);
    ReverbParameters p;
    BASS_FXGetParameters(fx, &p);
    p.reverbMix = -6.0f;
    p.reverbTime = 3000.0f;
    BASS_FXSetParameters(fx, &p);
  }
  BASS_StreamPlay(stream, 0, audioPlayLoop);
  std::vector<int16_t> period(2 * audioDevicePeriodFrames);
  for (auto _ : state) {
    for (uint32_t done = 0; done < oneSecond; done += audioDevicePeriodFrames) {
      renderAudioOutput(period.data(), std::min(audioDevicePeriodFrames, oneSecond - done));
    }
    benchmark::DoNotOptimize(period.data());
  }
  BASS_Free();
  state.counters["x_realtime"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
  state.SetItemsProcessed(state.iterations() * oneSecond);
}
BENCHMARK(BM_AudioPath)->Unit(benchmark::kMillisecond);

// One reverb alone on stereo blocks of one request; ns per frame.
void BM_Reverb(benchmark::State& state) {
  auto reverb = std::make_unique<ReverbState>();
  initReverb(*reverb, 44100);
  setReverbParameters(*reverb, {0.0f, -6.0f, 3000.0f, 0.001f});
  std::vector<float> input(2 * audioRequestFrames);
  for (size_t i = 0; i < input.size(); ++i) input[i] = 0.3f * std::sin(0.01f * float(i));
  std::vector<float> block(input.size());
  for (auto _ : state) {
    std::copy(input.begin(), input.end(), block.begin());
    processReverb(*reverb, block.data(), audioRequestFrames);
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["time_per_frame"] = benchmark::Counter(
      audioRequestFrames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(state.iterations() * audioRequestFrames);
}
BENCHMARK(BM_Reverb);

}  // namespace
