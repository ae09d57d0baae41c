#include "app/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "osc/osc_output.h"
#include "platform/diagnostics.h"

#ifndef TESSARO_VERSION
#define TESSARO_VERSION "unknown"
#endif

namespace {
const char* const usageLine =
    "usage: tessaro [--camera DEV|demo|FILE] [--unattended] [--log FILE] [--osc HOST:PORT] [--preview] "
    "[--fullscreen] [--display-index N] [--help] [--version]";

void printHelp() {
  std::printf(
      "%s\n"
      "An interactive sound installation: a camera watches a visitor and their movement becomes sound.\n"
      "With no option it opens its black window, shows the camera's mode in a box and waits for it.\n"
      "\n"
      "  --camera DEV|demo|FILE  the camera: a V4L2 device (/dev/video0), the built-in demo camera,\n"
      "                          or a video file played as one (default: the first camera found)\n"
      "  --unattended            no box waits for anyone: their texts go to the log and the program\n"
      "                          goes on as after the button (for a gallery machine started at boot)\n"
      "  --log FILE              append the program's own lines to FILE instead of standard error\n"
      "  --osc HOST:PORT         send every analysed frame as OSC /tessaro/motion and every synthesis\n"
      "                          step as /tessaro/voices over UDP to HOST:PORT (a name or IPv4 address)\n"
      "  --preview               for setting up: the window shows what the camera sees change, moving\n"
      "                          samples in red and the centre of the movement as a green cross\n"
      "  --fullscreen            the black window covers the whole display, mouse cursor hidden\n"
      "  --display-index N       the display the window goes on, 0 the first (default 0); a display\n"
      "                          that does not exist is an error\n"
      "  --help                  this text\n"
      "  --version               the version\n"
      "\n"
      "Each option has an environment variable of the same meaning, for service files:\n"
      "TESSARO_CAMERA, TESSARO_UNATTENDED (1 or 0), TESSARO_LOG, TESSARO_OSC, TESSARO_PREVIEW (1 or 0),\n"
      "TESSARO_FULLSCREEN (1 or 0), TESSARO_DISPLAY_INDEX. The command line wins.\n"
      "\n"
      "Examples:\n"
      "  tessaro --camera demo --preview               see what counts as movement\n"
      "  tessaro --osc 127.0.0.1:9000 & oscdump 9000   watch the values as they are sent\n"
      "  tessaro --unattended --fullscreen --display-index 1   a gallery screen\n"
      "\n"
      "Stop it with Escape, by closing the window, or with Ctrl+C or kill.\n",
      usageLine);
}

// One line: what is wrong, then the usage.
OptionsOutcome mistake(const char* what, const char* value) {
  diagnostic("tessaro", "%s %s; %s", what, value, usageLine);
  return OptionsOutcome::Usage;
}

// "1", "yes", "true", "on" or "0", "no", "false", "off", "" (case as written).
bool parseSwitch(const char* text, bool& on) {
  for (const char* yes : {"1", "yes", "true", "on"}) {
    if (std::strcmp(text, yes) == 0) return on = true, true;
  }
  for (const char* no : {"0", "no", "false", "off", ""}) {
    if (std::strcmp(text, no) == 0) return on = false, true;
  }
  return false;
}

// A display number: decimal digits, 0 to 255.
bool parseDisplayIndex(const char* text, int32_t& index) {
  const size_t length = std::strlen(text);
  if (length == 0 || length > 3 || std::strspn(text, "0123456789") != length) return false;
  const long value = std::strtol(text, nullptr, 10);
  if (value > 255) return false;
  index = static_cast<int32_t>(value);
  return true;
}

// The values that must have a form, checked once everything is read and
// named as they were given; an empty one means the default.
OptionsOutcome checkValues(ProgramOptions& options, const char* oscFrom, const std::string& displayIndex,
                           const char* displayIndexFrom) {
  OscTarget target;
  if (!options.osc.empty() && !parseOscTarget(options.osc.c_str(), target)) {
    return mistake((std::string(oscFrom) + " takes HOST:PORT with a port from 1 to 65535, not").c_str(),
                   options.osc.c_str());
  }
  options.displayIndex = 0;
  if (!displayIndex.empty() && !parseDisplayIndex(displayIndex.c_str(), options.displayIndex)) {
    return mistake((std::string(displayIndexFrom) + " takes a display number from 0 to 255, not").c_str(),
                   displayIndex.c_str());
  }
  return OptionsOutcome::Run;
}
}  // namespace

OptionsOutcome parseProgramOptions(int argc, char** argv, ProgramOptions& options) {
  options = ProgramOptions{};
  if (const char* camera = std::getenv("TESSARO_CAMERA")) options.camera = camera;
  if (const char* log = std::getenv("TESSARO_LOG")) options.log = log;
  if (const char* unattended = std::getenv("TESSARO_UNATTENDED")) {
    if (!parseSwitch(unattended, options.unattended)) {
      return mistake("TESSARO_UNATTENDED must be 1 or 0, not", unattended);
    }
  }
  for (auto [variable, field] : {std::pair{"TESSARO_PREVIEW", &options.preview},
                                 std::pair{"TESSARO_FULLSCREEN", &options.fullscreen}}) {
    const char* value = std::getenv(variable);
    if (value && !parseSwitch(value, *field)) {
      return mistake((std::string(variable) + " must be 1 or 0, not").c_str(), value);
    }
  }
  if (const char* osc = std::getenv("TESSARO_OSC")) options.osc = osc;
  std::string displayIndex;
  if (const char* index = std::getenv("TESSARO_DISPLAY_INDEX")) displayIndex = index;
  const char* oscFrom = "TESSARO_OSC";
  const char* displayIndexFrom = "TESSARO_DISPLAY_INDEX";
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
      printHelp();
      return OptionsOutcome::Exit;
    }
    if (std::strcmp(argument, "--version") == 0) {
      std::printf("tessaro %s\n", TESSARO_VERSION);
      return OptionsOutcome::Exit;
    }
    if (std::strcmp(argument, "--unattended") == 0) {
      options.unattended = true;
      continue;
    }
    if (std::strcmp(argument, "--preview") == 0) {
      options.preview = true;
      continue;
    }
    if (std::strcmp(argument, "--fullscreen") == 0) {
      options.fullscreen = true;
      continue;
    }
    // Options with a value: "--camera demo" or "--camera=demo".
    std::string* target = nullptr;
    const char* name = nullptr;
    for (auto [option, field] :
         {std::pair{"--camera", &options.camera}, std::pair{"--log", &options.log},
          std::pair{"--osc", &options.osc}, std::pair{"--display-index", &displayIndex}}) {
      const size_t length = std::strlen(option);
      if (std::strncmp(argument, option, length) == 0 &&
          (argument[length] == '\0' || argument[length] == '=')) {
        target = field;
        name = option;
      }
    }
    if (!target) return mistake(argument[0] == '-' ? "unknown option" : "unexpected argument", argument);
    const char* equals = std::strchr(argument, '=');
    const char* value = equals ? equals + 1 : (i + 1 < argc ? argv[++i] : nullptr);
    if (!value || !*value) return mistake(name, "needs a value");
    *target = value;
    if (target == &options.osc) oscFrom = "--osc";
    if (target == &displayIndex) displayIndexFrom = "--display-index";
  }
  return checkValues(options, oscFrom, displayIndex, displayIndexFrom);
}
