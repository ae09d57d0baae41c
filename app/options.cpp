#include "app/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef TESSARO_VERSION
#define TESSARO_VERSION "unknown"
#endif

namespace {
const char* const usageLine =
    "usage: tessaro [--camera DEV|demo|FILE] [--unattended] [--log FILE] [--help] [--version]";

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
      "  --help                  this text\n"
      "  --version               the version\n"
      "\n"
      "Each option has an environment variable of the same meaning, for service files:\n"
      "TESSARO_CAMERA, TESSARO_UNATTENDED (1 or 0), TESSARO_LOG. The command line wins.\n"
      "Stop it with Escape, by closing the window, or with Ctrl+C or kill.\n",
      usageLine);
}

// One line: what is wrong, then the usage.
OptionsOutcome mistake(const char* what, const char* value) {
  std::fprintf(stderr, "tessaro: %s %s; %s\n", what, value, usageLine);
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
    // Options with a value: "--camera demo" or "--camera=demo".
    std::string* target = nullptr;
    const char* name = nullptr;
    for (auto [option, field] : {std::pair{"--camera", &options.camera}, std::pair{"--log", &options.log}}) {
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
  }
  return OptionsOutcome::Run;
}
