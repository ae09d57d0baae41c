#include "tools/render/render_core.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio/audio_library.h"
#include "camera/capture_offline.h"
#include "platform/exact_float.h"
#include "sound/audio_output.h"
#include "sound/synth_state.h"
#include "sound/wave_tables.h"
#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"
#include "vision/motion_state.h"

namespace {
constexpr uint32_t blockFrames = audioRequestFrames;  // the live layer's request
constexpr int32_t envelopeFrames = 441;               // 10 ms per envelope entry
constexpr double audibleAmplitude = 0.001;            // -60 dBFS

void addEnvelope(Timeline& timeline, const int16_t* samples, uint32_t frames) {
  for (uint32_t start = 0; start < frames; start += envelopeFrames) {
    const uint32_t end = std::min(frames, start + envelopeFrames);
    WaveEnvelope e{32767, -32768, 32767, -32768};
    for (uint32_t i = start; i < end; ++i) {
      e.leftMin = std::min(e.leftMin, samples[2 * i]);
      e.leftMax = std::max(e.leftMax, samples[2 * i]);
      e.rightMin = std::min(e.rightMin, samples[2 * i + 1]);
      e.rightMax = std::max(e.rightMax, samples[2 * i + 1]);
    }
    timeline.envelope.push_back(e);
  }
}

TimelinePoint sampleState(double seconds) {
  TimelinePoint p{};
  p.seconds = seconds;
  enterMotionLock();
  p.movingFraction = motionState.movingFraction;
  p.centroidX = motionState.centroidX;
  p.speed = motionState.speed;
  leaveMotionLock();
  p.toneLevel = static_cast<float>(synthState.toneLevel);
  p.note = currentNote(synthState);
  const double left = synthState.strikeLeftLevel, right = synthState.strikeRightLevel;
  p.strikeLevel = static_cast<float>(std::sqrt(left * left + right * right));
  const double pRight = synthTargets.panRight * synthTargets.panRight;
  p.strikePan = static_cast<float>(2.0 * pRight - 1.0);
  return p;
}

bool toneAudible() {
  const double gain = std::max(synthState.toneLeftGain, synthState.toneRightGain);
  return synthState.toneLevel * toneTablePeak * gain >= audibleAmplitude;
}

bool strikeAudible() {
  return std::max(synthState.strikeLeftLevel, synthState.strikeRightLevel) >= audibleAmplitude;
}

// Every part of the sound path back to how a fresh start finds it, so that a
// render depends only on its request.
bool startSoundPath(const RenderRequest& request, std::string& error) {
  BASS_Free();  // a library left open by an earlier render
  if (!buildWaveTables()) {
    error = "no memory for the wavetables";
    return false;
  }
  buildTuningTables();
  resetSynthState();
  seedNoteRandom(request.seed);
  setOutputVolumeDb(request.volumeDb);
  setOutputFadeIn(request.fadeInSeconds);
  if (!initAudioLibraryOffline(renderSampleRate)) {
    error = "the audio library could not be opened";
    return false;
  }
  startSynthesisStream();
  return true;
}

// Whatever a render holds, released however it ends: the sound path first,
// then the recording.
struct RenderResources {
  OfflineSource source{};
  bool soundPathOpen = false;
  ~RenderResources() {
    if (soundPathOpen) BASS_Free();
    closeOfflineSource(source);
  }
};
}  // namespace

bool renderRecording(const RenderRequest& request, RenderResult& result, std::string& error) {
  result = RenderResult{};
  RenderResources held;
  OfflineSource& source = held.source;
  std::string reason;
  if (!openOfflineSource(source, request.source.c_str(), reason)) {
    error = "cannot read video file '" + request.source + "': " + reason;
    return false;
  }
  const bool onePass = request.seconds <= 0;
  double seconds = request.seconds > 0          ? request.seconds
                   : source.durationSeconds > 0 ? source.durationSeconds
                                                : 60.0;
  if (!allocateFrameBuffers(source.width, source.height)) {
    error = "no memory for the analysis of a " + std::to_string(source.width) + " x " +
            std::to_string(source.height) + " picture";
    return false;
  }
  resetMotionState();
  frameTiming = FrameTiming{};
  if (!startSoundPath(request, error)) return false;
  held.soundPathOpen = true;

  auto totalFrames = static_cast<uint64_t>(std::llround(seconds * renderSampleRate));
  Timeline& timeline = result.timeline;
  timeline.sampleRate = renderSampleRate;
  timeline.envelopeFrames = envelopeFrames;
  timeline.seconds = static_cast<double>(totalFrames) / renderSampleRate;
  timeline.points.reserve(static_cast<size_t>(totalFrames / blockFrames + 2));

  std::vector<int16_t> block(2 * blockFrames);
  FrameRecord frame{};
  double frameSeconds = 0.0;
  bool haveFrame = nextOfflineFrame(source, frame, frameSeconds);
  if (!haveFrame) {
    error = "'" + request.source + "' gives no pictures";
    return false;
  }
  if (request.start && !request.start(request.sinkUser, totalFrames, error)) return false;
  uint64_t rendered = 0;
  int64_t toneBlocks = 0, strikeBlocks = 0, blocks = 0;
  int nextProgress = 1;
  bool ok = true;
  while (rendered < totalFrames) {
    // Every frame the recording shows up to the start of this request is
    // analysed before the audio library asks for it, in time order.
    const double blockStart = static_cast<double>(rendered) / renderSampleRate;
    while (ok && haveFrame && frameSeconds <= blockStart) {
      processFrame(&frame, exactFloat(frameSeconds * 1000.0), frameSeconds * 1000.0);
      ++result.framesAnalysed;
      if (request.tap) {
        ok = request.tap->frameAnalysed(request.tapUser, frameTiming.frameTime, copyMotionState(), error);
      }
      haveFrame = nextOfflineFrame(source, frame, frameSeconds);
      // One pass of a recording cut short ends where its pictures do.
      if (haveFrame && onePass && source.passEndSeconds > 0) {
        haveFrame = false;
        seconds = source.passEndSeconds;
        totalFrames = std::max<uint64_t>(rendered, std::llround(seconds * renderSampleRate));
        timeline.seconds = static_cast<double>(totalFrames) / renderSampleRate;
      }
    }
    if (!ok || rendered >= totalFrames) break;
    const auto frames = static_cast<uint32_t>(std::min<uint64_t>(blockFrames, totalFrames - rendered));
    renderAudioOutput(block.data(), frames);
    // The one synthesis call of this request has run.
    if (request.tap && !request.tap->synthesisCalled(request.tapUser, synthTargets, synthState, error)) {
      ok = false;
      break;
    }
    for (uint32_t i = 0; i < 2 * frames; ++i) {
      result.peakSample = std::max(result.peakSample, std::abs(int32_t{block[i]}));
    }
    addEnvelope(timeline, block.data(), frames);
    timeline.points.push_back(sampleState(blockStart));
    toneBlocks += toneAudible();
    strikeBlocks += strikeAudible();
    ++blocks;
    if (request.sink && !request.sink(request.sinkUser, block.data(), frames, error)) {
      ok = false;
      break;
    }
    rendered += frames;
    if (request.showProgress && rendered >= static_cast<uint64_t>(nextProgress) * renderSampleRate) {
      std::printf("rendered %d s of %.0f s\n", nextProgress, seconds);
      std::fflush(stdout);
      ++nextProgress;
    }
  }
  if (!ok) return false;
  result.seconds = timeline.seconds;
  result.toneAudibleShare = blocks ? static_cast<double>(toneBlocks) / static_cast<double>(blocks) : 0.0;
  result.strikeAudibleShare = blocks ? static_cast<double>(strikeBlocks) / static_cast<double>(blocks) : 0.0;
  return true;
}
