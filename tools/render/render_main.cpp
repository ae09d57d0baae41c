// tessaro-render: a recording in, the installation's sound and a picture of
// what it heard out, and on request the motion log of every frame.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/options.h"
#include "app/settings.h"
#include "osc/osc_output.h"
#include "platform/ending_signals.h"
#include "platform/diagnostics.h"
#include "sound/synth_state.h"
#include "tools/render/motion_csv.h"
#include "tools/render/render_core.h"
#include "tools/render/wav_output.h"

namespace {
constexpr double maxSeconds = 24 * 3600.0;

// The renderer's options; those it shares with the installation are the
// installation's table entries. It reads no settings file: the same command
// line renders the same file on any machine.
const char* checkSeconds(const std::string& value) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(value.c_str(), &end);
  if (errno != 0 || end == value.c_str() || *end != '\0' || !std::isfinite(seconds)) return "takes a number";
  if (seconds <= 0) return "must be more than 0";
  if (seconds > maxSeconds) return "may be at most 86400 (a day)";
  if (std::llround(seconds * renderSampleRate) < 1) return "must give at least one sample (1/44100 s)";
  return nullptr;
}

const char* checkSeed(const std::string& value) {
  char* end = nullptr;
  errno = 0;
  std::strtoull(value.c_str(), &end, 10);
  const bool whole = value[0] != '-' && errno == 0 && end != value.c_str() && *end == '\0';
  return whole ? nullptr : "takes a whole number from 0 up";
}

const OptionSpec secondsOption{"seconds", nullptr, OptionKind::Value, "N", "", checkSeconds,
                               "how much to render (default: the whole recording; the demo runs 60 s)"};
const OptionSpec seedOption{"seed", nullptr, OptionKind::Value, "S", "", checkSeed,
                            "seed of the note cycle's random steps"};
const OptionSpec csvOption{"csv", "TESSARO_CSV", OptionKind::Value, "OUT.csv", "", nullptr,
                           "also write every analysed frame's motion record and the voices'\n"
                           "values that followed it, one row per frame"};

struct Options {
  double seconds = 0.0;
  uint64_t seed = noteRandomSeed;
  std::string source;
  std::string output;
  std::string csv;  // empty: no motion log
  std::vector<std::string> osc;  // each receiver; empty: nothing is sent
  RoomFitting room;
};

const OptionField<Options> fields[] = {
    {secondsOption, &Options::seconds},
    {seedOption, &Options::seed},
    {csvOption, &Options::csv},
    {oscOption, &Options::osc},
    {maskOption, &Options::room, &RoomFitting::mask},
    {thresholdOption, &Options::room, &RoomFitting::threshold},
    {ignoreOverOption, &Options::room, &RoomFitting::ignoreOver},
    {volumeOption, &Options::room, &RoomFitting::volume},
    {fadeInOption, &Options::room, &RoomFitting::fadeIn},
};
const std::vector<const OptionSpec*> specs = optionSpecs<Options>(fields);
const ProgramSettings renderSettings{"tessaro-render", specs, {}};

void printUsage(std::FILE* stream) {
  std::fprintf(stream,
               "usage: tessaro-render %s SOURCE OUT.wav\n"
               "  SOURCE   'demo' (the built-in demo camera) or a video file\n"
               "  OUT.wav  the sound, 44.1 kHz 16-bit stereo; OUT.png beside it shows what was heard\n",
               optionsUsage(renderSettings).c_str());
  printOptionsHelp(stream, renderSettings);
  std::fprintf(stream, "The default seed is %llu. With --osc, the messages carry the recording's times\n"
               "and go out as fast as it renders. More in tessaro-render(1).\n",
               static_cast<unsigned long long>(noteRandomSeed));
}

int fail(const std::string& message) {
  diagnostic("tessaro-render", "%s", message.c_str());
  return 1;
}

int usage(const std::string& message) {
  diagnostic("tessaro-render", "%s", message.c_str());
  printUsage(stderr);
  return 2;
}

std::string cannotWrite(const std::string& path, const std::string& reason) {
  return "cannot write '" + path + "': " + reason;
}

std::string picturePath(const std::string& wav) {
  const size_t dot = wav.rfind('.');
  const size_t slash = wav.rfind('/');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? wav.substr(0, dot) : wav) + ".png";
}

// The same file, or the same place once links are followed.
bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return a == b || std::filesystem::equivalent(a, b, error) || outputTarget(a) == outputTarget(b);
}

// 0 when the options are usable, else the exit status after the message.
int parseOptions(int argc, char** argv, Options& options) {
  const SettingsResult result = readSettings(renderSettings, argc, argv);
  switch (result.outcome) {
    case SettingsOutcome::Help: printUsage(stdout); return -1;
    case SettingsOutcome::Version: std::printf("tessaro-render %s\n", tessaroVersion()); return -1;
    case SettingsOutcome::Run: break;
    default: return usage(result.mistake);
  }
  if (result.arguments.size() > 2) return usage("too many arguments");
  const size_t positional = result.arguments.size();
  if (positional > 0) options.source = result.arguments[0];
  if (positional > 1) options.output = result.arguments[1];
  storeSettings<Options>(result, fields, options);
  if (positional < 2) return usage("needs a SOURCE and an OUT.wav");
  // The picture goes beside the sound; no output may replace another or the recording.
  const std::string picture = picturePath(options.output);
  if (picture == options.output) return usage("OUT.wav must not end in .png: its picture would replace it");
  const bool fromFile = options.source != "demo";
  if (fromFile && (sameFile(options.source, options.output) || sameFile(options.source, picture))) {
    return usage("OUT.wav or its picture " + picture + " would replace SOURCE");
  }
  if (!options.csv.empty()) {
    if (sameFile(options.csv, options.output) || sameFile(options.csv, picture)) {
      return usage("OUT.csv must be another file than OUT.wav and its picture " + picture);
    }
    if (fromFile && sameFile(options.csv, options.source)) return usage("OUT.csv would replace SOURCE");
  }
  return 0;
}

// The recording is read by FFmpeg, which would wait for ever in open() on a
// FIFO and read a device without end: only regular files are recordings.
int checkSource(const std::string& source) {
  if (source == "demo") return 0;
  struct stat status {};
  if (access(source.c_str(), R_OK) != 0 || stat(source.c_str(), &status) != 0) {
    return fail("cannot read video file '" + source + "': " + std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) return fail("cannot read video file '" + source + "': not a regular file");
  return 0;
}

// Everything a render writes, removed together unless all of it is finished.
struct Outputs {
  WavOutput wav;
  OutputFile picture;
  MotionCsv csv;
  bool withCsv = false;
  ~Outputs() {
    abandonWavOutput(wav);
    discardOutputFile(picture);
    if (withCsv) abandonMotionCsv(csv);
  }
};

bool startWav(void* user, uint64_t totalFrames, std::string& error) {
  auto& wav = *static_cast<WavOutput*>(user);
  std::string reason;
  if (beginWavOutput(wav, renderSampleRate, totalFrames, reason)) return true;
  error = cannotWrite(wav.output.path, reason);
  return false;
}

// Sends the motion and the voices as the render goes, with the recording's
// times; everything waiting is sent when it ends.
struct OscDuringRender {
  explicit OscDuringRender(const std::vector<std::string>& receivers) {
    std::vector<OscTarget> targets;
    for (const std::string& where : receivers) {
      if (OscTarget target; parseOscTarget(where.c_str(), target)) targets.push_back(target);
    }
    if (!targets.empty()) startOscOutput(targets, OscSending::Inline);
  }
  ~OscDuringRender() { stopOscOutput(); }
};

bool writeToWav(void* user, const int16_t* samples, uint32_t frames, std::string& error) {
  if (endingSignal() != 0) return false;
  // The request's frames and its synthesis call are done: their messages go out.
  sendPendingOscMessages();
  auto& wav = *static_cast<WavOutput*>(user);
  std::string reason;
  if (writeWavFrames(wav, samples, frames, reason)) return true;
  error = cannotWrite(wav.output.path, reason);
  return false;
}

bool logFrame(void* user, float frameMs, const MotionValues& motion, std::string& error) {
  return motionCsvTap.frameAnalysed(user, frameMs, motion, error);
}
bool logVoices(void* user, const SynthTargets& targets, const SynthState& state, std::string& error) {
  auto& csv = *static_cast<MotionCsv*>(user);
  std::string reason;
  if (motionCsvTap.synthesisCalled(user, targets, state, reason)) return true;
  error = cannotWrite(csv.output.path, reason);
  return false;
}
const RenderTap csvLog{logFrame, logVoices};

int interrupted() {
  const int signal = endingSignal();
  diagnostic("tessaro-render", "interrupted by SIG%s: nothing written", sigabbrev_np(signal));
  return 128 + signal;
}

double dbfs(int32_t peak) { return peak > 0 ? 20.0 * std::log10(peak / 32768.0) : -INFINITY; }
}  // namespace

int main(int argc, char** argv) {
  // SIGINT, SIGTERM, SIGHUP (a closed terminal) and SIGXFSZ (a file past the
  // size limit, which also fails its write) end the render at the next
  // request; the outputs are then removed.
  catchEndingSignals({SIGINT, SIGTERM, SIGHUP, SIGXFSZ});
  Options options;
  if (int status = parseOptions(argc, argv, options); status != 0) return status < 0 ? 0 : status;
  if (int status = checkSource(options.source); status != 0) return status;
  if (!applyRoomFitting(options.room, "tessaro-render")) return 2;

  std::string error;
  Outputs out;
  const std::string png = picturePath(options.output);
  if (!openWavOutput(out.wav, options.output, error)) {
    return fail(cannotWrite(options.output, error));
  }
  if (!openOutputFile(out.picture, png, error)) return fail(cannotWrite(png, error));
  closeOutputDescriptor(out.picture);  // the picture is written by name
  out.withCsv = !options.csv.empty();
  if (out.withCsv && !openMotionCsv(out.csv, options.csv, error)) {
    return fail(cannotWrite(options.csv, error));
  }

  RenderRequest request{options.source, options.seconds, options.seed, isatty(STDOUT_FILENO) == 1,
                        writeToWav,     &out.wav};
  request.start = startWav;
  request.volumeDb = options.room.volume;
  request.fadeInSeconds = options.room.fadeIn;
  if (out.withCsv) {
    request.tap = &csvLog;
    request.tapUser = &out.csv;
  }
  const OscDuringRender osc(options.osc);
  RenderResult result;
  // A write refused at the size limit says so, rather than the signal that came with it.
  if (!renderRecording(request, result, error)) return error.empty() && endingSignal() != 0 ? interrupted() : fail(error);
  if (!drawTimeline(result.timeline, out.picture.partialPath, error)) return fail(cannotWrite(png, error));
  if (!finishWavOutput(out.wav, error)) return fail(cannotWrite(options.output, error));
  if (out.withCsv && !finishMotionCsv(out.csv, error)) return fail(cannotWrite(options.csv, error));

  if (endingSignal() != 0) return interrupted();
  // All is written; only the renames are left, which a signal from here on
  // no longer stops. One that fails takes back the ones before it, so that
  // the outputs appear together or not at all.
  if (!commitWavOutput(out.wav, error)) return fail(cannotWrite(options.output, error));
  if (!commitOutputFile(out.picture, error)) {
    unlink(out.wav.output.target.c_str());
    return fail(cannotWrite(png, error));
  }
  if (out.withCsv && !commitMotionCsv(out.csv, error)) {
    unlink(out.wav.output.target.c_str());
    unlink(out.picture.target.c_str());
    return fail(cannotWrite(options.csv, error));
  }

  std::printf("Rendered %.1f s of %s into %s, with its timeline in %s\n", result.seconds,
              options.source.c_str(), options.output.c_str(), png.c_str());
  if (out.withCsv) std::printf("  motion log: %s\n", options.csv.c_str());
  std::printf("  frames analysed: %lld\n", static_cast<long long>(result.framesAnalysed));
  std::printf("  tone voice audible: %.0f %% of the time\n", 100.0 * result.toneAudibleShare);
  std::printf("  strike voice audible: %.0f %% of the time\n", 100.0 * result.strikeAudibleShare);
  std::printf("  peak level: %.1f dBFS\n", dbfs(result.peakSample));
  return 0;
}
