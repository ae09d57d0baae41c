#pragma once
// The installation's options. Each is a command-line option, an environment
// variable for service files and a key of the settings file, read through
// one table (app/settings.h): the command line wins over the environment,
// that over the user's settings file, that over the system's. With none of
// them, the program behaves exactly as it always has.
//
// A new option: its OptionSpec in options.cpp (declared here when the
// renderer takes it too), its field here and its line in the table there;
// then its entry in docs/man/tessaro.1, its commented line in
// service/tessaro.conf (a test holds both to the table) and its row in the
// README's options tables.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/settings.h"

// What fits the installation to a room: what counts as movement and how
// loud it is. The installation and the renderer take the same options.
struct RoomFitting {
  std::string mask;  // --mask / TESSARO_MASK: a PNG or PGM, black ignored, white watched; empty: all watched
  int32_t threshold = 0;       // --threshold / TESSARO_THRESHOLD: grey levels, 1 to 255; 0: the band
  double ignoreOver = 100.0;   // --ignore-over / TESSARO_IGNORE_OVER: percent of watched samples
  double volume = 0.0;         // --volume / TESSARO_VOLUME: dB, -60 to 0; 0 leaves every sample as it is
  double fadeIn = 0.0;         // --fade-in / TESSARO_FADE_IN: seconds of rise from silence after a start
};

// Hands the fitting to the analysis and the audio library; false after one
// line, from `program`, naming the option that cannot be used (a mask that
// cannot be read).
bool applyRoomFitting(const RoomFitting& room, const char* program);

struct ProgramOptions {
  std::string camera;  // --camera / TESSARO_CAMERA: /dev/videoN, "demo" or a video file; empty: the first camera
  bool unattended;     // --unattended / TESSARO_UNATTENDED: no box waits; their texts go to the log
  std::string log;     // --log / TESSARO_LOG: append the diagnostic lines to this file

  // --osc / TESSARO_OSC: each HOST:PORT to send the motion and the voices to as OSC (repeated, or a
  // comma list); empty: nothing is sent.
  std::vector<std::string> osc;
  // --preview / TESSARO_PREVIEW: the window shows what the camera sees change, instead of black.
  bool preview;
  // --fullscreen / TESSARO_FULLSCREEN: the black window covers its whole display, cursor hidden.
  bool fullscreen;
  // --display-index / TESSARO_DISPLAY_INDEX: the display the window goes on, 0 the first.
  int32_t displayIndex;
  // --osc-listen / TESSARO_OSC_LISTEN: [HOST:]PORT where OSC volume, mute and status requests are taken.
  std::string oscListen;
  // --alert-command / TESSARO_ALERT_COMMAND: run with a line of text when a part has been down a minute.
  std::string alertCommand;

  RoomFitting room;
  // --camera-control / TESSARO_CAMERA_CONTROL: NAME=VALUE controls set at every opening of the camera.
  std::vector<std::string> cameraControls;
  // --hold-exposure / TESSARO_HOLD_EXPOSURE: seconds before the camera's automatics are held; < 0: never.
  double holdExposure = -1;
};

extern const OptionSpec cameraOption;
extern const OptionSpec cameraControlOption;
extern const OptionSpec holdExposureOption;
extern const OptionSpec oscOption;
extern const OptionSpec maskOption;
extern const OptionSpec thresholdOption;
extern const OptionSpec ignoreOverOption;
extern const OptionSpec volumeOption;
extern const OptionSpec fadeInOption;

// Whether `value` is a decimal number from `low` to `high`.
bool numberWithin(const std::string& value, double low, double high);

// Every option of the installation: the keys a settings file may hold.
std::span<const OptionSpec* const> installationOptions();

enum class OptionsOutcome : uint8_t {
  Run,    // start the installation with these options
  Exit,   // --help, --version or --print-settings was answered: exit 0
  Usage,  // a mistake was reported in one line: exit 2
};

// Reads the settings files, the environment and the arguments. Help,
// version and settings go to standard output; a mistake goes to standard
// error as one line that names it (and the file and line, for a settings file).
OptionsOutcome parseProgramOptions(int argc, char** argv, ProgramOptions& options);

constexpr int usageExitStatus = 2;
// The display asked for is not there (a screen or projector not yet on):
// unlike a mistake, a later start may find it.
constexpr int missingDisplayExitStatus = 3;
