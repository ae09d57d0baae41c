#include "app/options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/alerts.h"
#include "audio/audio_library.h"
#include "camera/camera_controls.h"
#include "osc/osc_input.h"
#include "osc/osc_output.h"
#include "platform/diagnostics.h"
#include "vision/motion_analysis.h"
#include "vision/motion_mask.h"

namespace {
const char* checkOscTarget(const std::string& value) {
  OscTarget target;
  return parseOscTarget(value.c_str(), target) ? nullptr : "takes HOST:PORT with a port from 1 to 65535";
}

const char* checkListenAddress(const std::string& value) {
  OscTarget where;
  return parseListenAddress(value.c_str(), where) ? nullptr : "takes [HOST:]PORT with a port from 1 to 65535";
}

const char* checkAlertCommand(const std::string& value) {
  static thread_local std::string reason;
  std::vector<std::string> words;
  return splitAlertCommand(value, words, reason) ? nullptr : reason.c_str();
}

// Decimal digits (at most three) for a number from low to high.
bool smallNumberWithin(const std::string& value, int low, int high) {
  const bool digits = value.size() <= 3 && value.find_first_not_of("0123456789") == std::string::npos;
  return digits && std::stoi(value) >= low && std::stoi(value) <= high;
}

const char* checkDisplayIndex(const std::string& value) {
  return smallNumberWithin(value, 0, 255) ? nullptr : "takes a display number from 0 to 255";
}

const char* checkThreshold(const std::string& value) {
  return smallNumberWithin(value, 1, 255) ? nullptr : "takes grey levels from 1 to 255";
}

const char* checkIgnoreOver(const std::string& value) {
  return numberWithin(value, 0.0, 100.0) && std::strtod(value.c_str(), nullptr) > 0.0
             ? nullptr
             : "takes a percentage above 0, at most 100";
}

const char* checkVolume(const std::string& value) {
  return numberWithin(value, outputVolumeFloorDb, 0.0) ? nullptr : "takes a level in dB from -60 to 0";
}

const char* checkFadeIn(const std::string& value) {
  return numberWithin(value, 0.0, outputFadeInLimit) ? nullptr : "takes seconds from 0 to 600";
}

const char* checkControlSetting(const std::string& value) {
  ControlSetting setting;
  return parseControlSetting(value, setting) ? nullptr : "takes NAME=VALUE, a control's name and a whole number";
}

const char* checkHoldSeconds(const std::string& value) {
  return numberWithin(value, 0.0, longestHoldSeconds) ? nullptr : "takes seconds from 0 to 3600";
}
}  // namespace

bool numberWithin(const std::string& value, double low, double high) {
  char* end = nullptr;
  errno = 0;
  const double number = std::strtod(value.c_str(), &end);
  const bool whole = errno == 0 && end != value.c_str() && *end == '\0' && std::isfinite(number);
  return whole && number >= low && number <= high;
}

const OptionSpec cameraOption{"camera", "TESSARO_CAMERA", OptionKind::Value, "DEV|demo|FILE", "", nullptr,
                              "the camera: a V4L2 device (/dev/video0), the built-in demo camera,\n"
                              "or a video file played as one (default: the first camera found)"};
const OptionSpec oscOption{"osc", "TESSARO_OSC", OptionKind::List, "HOST:PORT", "", checkOscTarget,
                           "send every analysed frame as OSC /tessaro/motion and every synthesis\n"
                           "step as /tessaro/voices over UDP to HOST:PORT (a name or IPv4 address);\n"
                           "again for more receivers (a comma list in the environment and the file)"};
const OptionSpec maskOption{"mask", "TESSARO_MASK", OptionKind::Value, "FILE", "", nullptr,
                            "a PNG or PGM picture of any size, scaled to the camera's: black parts\n"
                            "are ignored (never move), white parts watched"};
const OptionSpec thresholdOption{"threshold", "TESSARO_THRESHOLD", OptionKind::Value, "N", "", checkThreshold,
                                 "a sample moves when its brightness changes by at least N grey levels\n"
                                 "either way, 1 to 255 (default: up 63 or down 60)"};
const OptionSpec ignoreOverOption{"ignore-over", "TESSARO_IGNORE_OVER", OptionKind::Value, "P", "100",
                                  checkIgnoreOver,
                                  "a frame in which more than P % of the watched picture moves (the\n"
                                  "light switched, the camera re-exposed) counts as no movement"};
const OptionSpec volumeOption{"volume", "TESSARO_VOLUME", OptionKind::Value, "DB", "0", checkVolume,
                              "the output's level in dB, -60 to 0, applied after the reverbs\n"
                              "(default 0: every sample as it is)"};
const OptionSpec fadeInOption{"fade-in", "TESSARO_FADE_IN", OptionKind::Value, "SECONDS", "0", checkFadeIn,
                              "the sound rises from silence over SECONDS after every start,\n"
                              "0 to 600 (default 0: no fade)"};
const OptionSpec cameraControlOption{
    "camera-control", "TESSARO_CAMERA_CONTROL", OptionKind::List, "NAME=VALUE", "", checkControlSetting,
    "set one of the camera's controls at start and again after every replug,\n"
    "named as 'tessaro-cameras --controls' and v4l2-ctl name them (the driver's\n"
    "name lower-cased, spaces and punctuation as underscores), for example\n"
    "auto_exposure=1 or exposure_time_absolute=250; a control the camera does\n"
    "not have is said in one line and left alone"};
const OptionSpec holdExposureOption{
    "hold-exposure", "TESSARO_HOLD_EXPOSURE", OptionKind::Value, "SECONDS", "", checkHoldSeconds,
    "let the camera's automatic exposure, white balance, focus and gain settle\n"
    "for SECONDS (0 to 3600) after it starts, then hold each at the value it\n"
    "reached (set again after a replug), so a visitor does not re-expose it"};

namespace {
const OptionSpec unattendedOption{"unattended", "TESSARO_UNATTENDED", OptionKind::Switch, nullptr, "no", nullptr,
                                  "no box waits for anyone: their texts go to the log and the program\n"
                                  "goes on as after the button (for a gallery machine started at boot)"};
const OptionSpec logOption{"log", "TESSARO_LOG", OptionKind::Value, "FILE", "", nullptr,
                           "append the program's own lines to FILE instead of standard error"};
const OptionSpec previewOption{"preview", "TESSARO_PREVIEW", OptionKind::Switch, nullptr, "no", nullptr,
                               "for setting up: the window shows what the camera sees change, moving\n"
                               "samples in red and the centre of the movement as a green cross"};
const OptionSpec fullscreenOption{"fullscreen", "TESSARO_FULLSCREEN", OptionKind::Switch, nullptr, "no", nullptr,
                                  "the black window covers the whole display, mouse cursor hidden"};
const OptionSpec displayIndexOption{"display-index", "TESSARO_DISPLAY_INDEX", OptionKind::Value, "N", "0",
                                    checkDisplayIndex,
                                    "the display the window goes on, 0 the first (default 0); a display\n"
                                    "that does not exist is an error"};
const OptionSpec oscListenOption{"osc-listen", "TESSARO_OSC_LISTEN", OptionKind::Value, "[HOST:]PORT", "",
                                 checkListenAddress,
                                 "take OSC /tessaro/volume f (dB), /tessaro/mute i and /tessaro/status\n"
                                 "on UDP PORT of HOST (an IPv4 address; default 127.0.0.1)"};
const OptionSpec alertCommandOption{"alert-command", "TESSARO_ALERT_COMMAND", OptionKind::Value, "CMD", "",
                                    checkAlertCommand,
                                    "run CMD (a program and its arguments, no shell) with one line of text\n"
                                    "added when the camera or the sound has been down for 60 s, and again\n"
                                    "when it is back"};

// The table: each option and the field its value goes into.
const OptionField<ProgramOptions> fields[] = {
    {cameraOption, &ProgramOptions::camera},
    {unattendedOption, &ProgramOptions::unattended},
    {logOption, &ProgramOptions::log},
    {oscOption, &ProgramOptions::osc},
    {previewOption, &ProgramOptions::preview},
    {fullscreenOption, &ProgramOptions::fullscreen},
    {displayIndexOption, &ProgramOptions::displayIndex},
    {oscListenOption, &ProgramOptions::oscListen},
    {alertCommandOption, &ProgramOptions::alertCommand},
    {maskOption, &ProgramOptions::room, &RoomFitting::mask},
    {thresholdOption, &ProgramOptions::room, &RoomFitting::threshold},
    {ignoreOverOption, &ProgramOptions::room, &RoomFitting::ignoreOver},
    {volumeOption, &ProgramOptions::room, &RoomFitting::volume},
    {fadeInOption, &ProgramOptions::room, &RoomFitting::fadeIn},
    {cameraControlOption, &ProgramOptions::cameraControls},
    {holdExposureOption, &ProgramOptions::holdExposure},
};
const std::vector<const OptionSpec*> specs = optionSpecs<ProgramOptions>(fields);

ProgramSettings tessaroSettings() { return ProgramSettings{"tessaro", specs, specs}; }

void printHelp(const ProgramSettings& program) {
  std::printf("usage: tessaro %s\n"
              "An interactive sound installation: a camera watches a visitor and their movement becomes sound.\n"
              "With no option it opens its black window, shows the camera's mode in a box and waits for it.\n\n",
              optionsUsage(program).c_str());
  printOptionsHelp(stdout, program);
  std::printf(
      "\n"
      "Each option has an environment variable and a settings key of the same meaning. Settings are read\n"
      "from /etc/tessaro/tessaro.conf, then ~/.config/tessaro/tessaro.conf (or --config FILE), as lines\n"
      "'key = value'. The command line wins over the environment, that over the user's file, that over\n"
      "the system's. Switches take 1 or 0 (yes or no) in the environment and the files.\n"
      "\n"
      "Examples:\n"
      "  tessaro --camera demo --preview               see what counts as movement\n"
      "  tessaro --osc 127.0.0.1:9000 & oscdump 9000   watch the values as they are sent\n"
      "  tessaro --unattended --fullscreen --display-index 1   a gallery screen\n"
      "\n"
      "Stop it with Escape, by closing the window, or with Ctrl+C or kill. More in tessaro(1).\n");
}
}  // namespace

bool applyRoomFitting(const RoomFitting& room, const char* program) {
  MaskPicture mask;
  std::string reason;
  if (!room.mask.empty() && !readMaskPicture(room.mask, mask, reason)) {
    diagnostic(program, "--mask: cannot read '%s': %s", room.mask.c_str(), reason.c_str());
    return false;
  }
  setMotionMask(mask);
  setMotionTuning(MotionTuning{room.threshold, room.ignoreOver});
  setOutputVolumeDb(room.volume);
  setOutputFadeIn(room.fadeIn);
  return true;
}

std::span<const OptionSpec* const> installationOptions() { return specs; }

OptionsOutcome parseProgramOptions(int argc, char** argv, ProgramOptions& options) {
  options = ProgramOptions{};
  const ProgramSettings program = tessaroSettings();
  SettingsResult result = readSettings(program, argc, argv);
  if (result.outcome == SettingsOutcome::Run && !result.arguments.empty()) {
    result.outcome = SettingsOutcome::Mistake;
    result.mistake = "unexpected argument " + result.arguments.front();
  }
  switch (result.outcome) {
    case SettingsOutcome::Help: printHelp(program); return OptionsOutcome::Exit;
    case SettingsOutcome::Version: std::printf("tessaro %s\n", tessaroVersion()); return OptionsOutcome::Exit;
    case SettingsOutcome::PrintSettings: printSettings(stdout, result); return OptionsOutcome::Exit;
    case SettingsOutcome::Mistake:
      diagnostic("tessaro", "%s; usage: tessaro %s", result.mistake.c_str(), optionsUsage(program).c_str());
      return OptionsOutcome::Usage;
    case SettingsOutcome::FileMistake: diagnostic("tessaro", "%s", result.mistake.c_str()); return OptionsOutcome::Usage;
    case SettingsOutcome::Run: break;
  }
  storeSettings<ProgramOptions>(result, fields, options);
  return OptionsOutcome::Run;
}
