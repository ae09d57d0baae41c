// tessaro-render: a recording in, the installation's sound and a picture of
// what it heard out.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/osc_output.h"
#include "platform/diagnostics.h"
#include "sound/synth_state.h"
#include "tools/render/render_core.h"
#include "tools/render/wav_output.h"

namespace {
constexpr double maxSeconds = 24 * 3600.0;

void printUsage(std::FILE* stream) {
  std::fprintf(stream,
               "usage: tessaro-render [--seconds N] [--seed S] [--osc HOST:PORT] SOURCE OUT.wav\n"
               "  SOURCE   'demo' (the built-in demo camera) or a video file\n"
               "  OUT.wav  the sound, 44.1 kHz 16-bit stereo; OUT.png beside it shows what was heard\n"
               "  --seconds N  how much to render (default: the whole recording; the demo runs 60 s)\n"
               "  --seed S     seed of the note cycle's random steps (default %llu)\n"
               "  --osc HOST:PORT  send every analysed frame and synthesis step as OSC, as tessaro does,\n"
               "                   with the recording's times, as fast as it renders (or TESSARO_OSC)\n",
               static_cast<unsigned long long>(noteRandomSeed));
}

struct Options {
  double seconds = 0.0;
  uint64_t seed = noteRandomSeed;
  std::string source;
  std::string output;
  std::string osc;  // empty: nothing is sent
};

int fail(const std::string& message) {
  diagnostic("tessaro-render", "%s", message.c_str());
  return 1;
}

int usage(const std::string& message) {
  diagnostic("tessaro-render", "%s", message.c_str());
  printUsage(stderr);
  return 2;
}

bool parseSeconds(const char* text, double& seconds) {
  char* end = nullptr;
  errno = 0;
  seconds = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && std::isfinite(seconds);
}

bool parseSeed(const char* text, uint64_t& seed) {
  char* end = nullptr;
  errno = 0;
  if (*text == '-') return false;
  seed = std::strtoull(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

std::string picturePath(const std::string& wav) {
  const size_t dot = wav.rfind('.');
  const size_t slash = wav.rfind('/');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? wav.substr(0, dot) : wav) + ".png";
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || std::filesystem::equivalent(a, b, error);
}

// 0 when the options are usable, else the exit status after the message.
int parseOptions(int argc, char** argv, Options& options) {
  if (const char* osc = std::getenv("TESSARO_OSC")) options.osc = osc;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      printUsage(stdout);
      return -1;
    }
    if (arg == "--seconds" || arg == "--seed" || arg == "--osc") {
      if (i + 1 >= argc) return usage(arg + " needs a value");
      const char* value = argv[++i];
      if (arg == "--seconds") {
        if (!parseSeconds(value, options.seconds))
          return usage("--seconds takes a number, not '" + std::string(value) + "'");
        if (options.seconds <= 0) return usage("--seconds must be more than 0, not " + std::string(value));
        if (options.seconds > maxSeconds) return usage("--seconds may be at most 86400 (a day)");
      } else if (arg == "--osc") {
        options.osc = value;
      } else if (!parseSeed(value, options.seed)) {
        return usage("--seed takes a whole number from 0 up, not '" + std::string(value) + "'");
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option " + arg);
    } else if (positional == 0) {
      options.source = arg;
      ++positional;
    } else if (positional == 1) {
      options.output = arg;
      ++positional;
    } else {
      return usage("too many arguments");
    }
  }
  if (positional < 2) return usage("needs a SOURCE and an OUT.wav");
  OscTarget target;
  if (!options.osc.empty() && !parseOscTarget(options.osc.c_str(), target)) {
    return usage("--osc takes HOST:PORT with a port from 1 to 65535, not '" + options.osc + "'");
  }
  // The picture goes beside the sound; neither may replace the other or the recording.
  const std::string picture = picturePath(options.output);
  if (picture == options.output) return usage("OUT.wav must not end in .png: its picture would replace it");
  if (options.source != "demo" &&
      (sameFile(options.source, options.output) || sameFile(options.source, picture))) {
    return usage("OUT.wav or its picture " + picture + " would replace SOURCE");
  }
  return 0;
}

// Sends the motion and the voices as the render goes, with the recording's
// times; everything waiting is sent when it ends.
struct OscDuringRender {
  explicit OscDuringRender(const std::string& where) {
    OscTarget target;
    if (!where.empty() && parseOscTarget(where.c_str(), target)) startOscOutput(target, OscSending::Inline);
  }
  ~OscDuringRender() { stopOscOutput(); }
};

bool writeToWav(void* user, const int16_t* samples, uint32_t frames, std::string& error) {
  // The request's frames and its synthesis call are done: their messages go out.
  sendPendingOscMessages();
  return writeWavFrames(*static_cast<WavOutput*>(user), samples, frames, error);
}

double dbfs(int32_t peak) { return peak > 0 ? 20.0 * std::log10(peak / 32768.0) : -INFINITY; }
}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (int status = parseOptions(argc, argv, options); status != 0) return status < 0 ? 0 : status;
  if (options.source != "demo" && access(options.source.c_str(), R_OK) != 0) {
    return fail("cannot read video file '" + options.source + "': " + std::strerror(errno));
  }

  std::string error;
  WavOutput wav{};
  if (!openWavOutput(wav, options.output, renderSampleRate, error)) {
    return fail("cannot write '" + options.output + "': " + error);
  }
  RenderRequest request{
      options.source, options.seconds, options.seed, isatty(STDOUT_FILENO) == 1, writeToWav, &wav};
  const OscDuringRender osc(options.osc);
  RenderResult result;
  if (!renderRecording(request, result, error)) {
    abandonWavOutput(wav);
    return fail(error);
  }
  const std::string png = picturePath(options.output);
  const std::string partialPng = png + ".partial";
  if (!drawTimeline(result.timeline, partialPng, error)) {
    abandonWavOutput(wav);
    unlink(partialPng.c_str());
    return fail("cannot write '" + png + "': " + error);
  }
  if (!finishWavOutput(wav, error)) {
    unlink(partialPng.c_str());
    return fail("cannot write '" + options.output + "': " + error);
  }
  if (std::rename(partialPng.c_str(), png.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    unlink(partialPng.c_str());
    unlink(options.output.c_str());
    return fail("cannot write '" + png + "': " + reason);
  }

  std::printf("Rendered %.1f s of %s into %s, with its timeline in %s\n", result.seconds,
              options.source.c_str(), options.output.c_str(), png.c_str());
  std::printf("  frames analysed: %lld\n", static_cast<long long>(result.framesAnalysed));
  std::printf("  tone voice audible: %.0f %% of the time\n", 100.0 * result.toneAudibleShare);
  std::printf("  strike voice audible: %.0f %% of the time\n", 100.0 * result.strikeAudibleShare);
  std::printf("  peak level: %.1f dBFS\n", dbfs(result.peakSample));
  return 0;
}
