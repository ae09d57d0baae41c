#pragma once
// The command line, each option with an environment variable of the same
// meaning for service files; the command line wins. With neither, the
// program behaves exactly as it always has.
#include <cstdint>
#include <string>

struct ProgramOptions {
  std::string camera;  // --camera / TESSARO_CAMERA: /dev/videoN, "demo" or a video file; empty: the first camera
  bool unattended;     // --unattended / TESSARO_UNATTENDED: no box waits; their texts go to the log
  std::string log;     // --log / TESSARO_LOG: append the diagnostic lines to this file

  // --osc / TESSARO_OSC: HOST:PORT to send the motion and the voices to as OSC; empty: nothing is sent.
  std::string osc;
  // --preview / TESSARO_PREVIEW: the window shows what the camera sees change, instead of black.
  bool preview;
  // --fullscreen / TESSARO_FULLSCREEN: the black window covers its whole display, cursor hidden.
  bool fullscreen;
  // --display-index / TESSARO_DISPLAY_INDEX: the display the window goes on, 0 the first.
  int32_t displayIndex;
};

enum class OptionsOutcome : uint8_t {
  Run,    // start the installation with these options
  Exit,   // --help or --version was answered: exit 0
  Usage,  // a mistake was reported in one line: exit 2
};

// Reads the environment, then the arguments. Help and version go to standard
// output; a mistake goes to standard error as one line that names it and
// points to --help.
OptionsOutcome parseProgramOptions(int argc, char** argv, ProgramOptions& options);

constexpr int usageExitStatus = 2;
