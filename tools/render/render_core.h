#pragma once
// Turns a recording into the installation's sound without a window, a camera
// or a sound card, through the system's own code: each frame goes through the
// camera layer's conversion and the frame pipeline, stamped with its time in
// the recording; between frames the audio library asks the synthesis for
// 100 ms requests in time order and runs them through the two reverbs and the
// 16-bit conversion, as it does for a sound card.
#include <cstdint>
#include <string>

#include "tools/render/timeline.h"

constexpr int32_t renderSampleRate = 44100;

// Receives each rendered stretch of interleaved stereo samples; false stops
// the render with `error` set.
using RenderSink = bool (*)(void* user, const int16_t* samples, uint32_t frames, std::string& error);
// Told once, before the first stretch, how many frames the sink will receive.
using RenderStart = bool (*)(void* user, uint64_t totalFrames, std::string& error);

struct MotionValues;
struct SynthState;
struct SynthTargets;

// Told, in the order they happen, of every analysed frame (its time and the
// motion record after it) and every synthesis call (what it derived). False
// stops the render with `error` set.
struct RenderTap {
  bool (*frameAnalysed)(void* user, float frameMs, const MotionValues& motion, std::string& error);
  bool (*synthesisCalled)(void* user, const SynthTargets& targets, const SynthState& state,
                          std::string& error);
};

struct RenderRequest {
  std::string source;  // "demo" or a video file
  double seconds;      // 0: one pass of the recording
  uint64_t seed;       // of the note cycle's random jumps
  bool showProgress;   // one line per second of sound on standard output
  RenderSink sink;
  void* sinkUser;
  RenderStart start = nullptr;  // with sinkUser
  const RenderTap* tap = nullptr;
  void* tapUser = nullptr;
  double volumeDb = 0.0;       // the output's level (setOutputVolumeDb)
  double fadeInSeconds = 0.0;  // the rise from silence at the start (setOutputFadeIn)
};

struct RenderResult {
  Timeline timeline;
  double seconds;
  int64_t framesAnalysed;
  double toneAudibleShare;  // of the rendered time, 0 to 1
  double strikeAudibleShare;
  int32_t peakSample;  // largest magnitude in the output
};

// False with a one-line reason when the source cannot be used or the sink fails.
bool renderRecording(const RenderRequest& request, RenderResult& result, std::string& error);
