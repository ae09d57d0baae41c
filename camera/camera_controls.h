#pragma once
// A V4L2 camera's own controls (exposure, white balance, focus, gain...),
// listed, set at every opening of the camera, and the camera's automatics
// held at the values they reached. Controls go by the names v4l2-ctl gives
// them: the driver's name lower-cased, each run of other characters one
// underscore ("Exposure Time, Absolute" is exposure_time_absolute).
//
// Nothing here runs unless asked for: with the default set-up the camera
// layer makes no control call at all.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ControlSetting {
  std::string name;
  int64_t value;
};
// "NAME=VALUE", NAME of lower-case letters, digits and underscores, VALUE a
// whole number (a menu's entry, 0 or 1 for a switch); false otherwise.
bool parseControlSetting(const std::string& text, ControlSetting& setting);

// The longest the automatics may run before they are held.
constexpr double longestHoldSeconds = 3600;

struct CameraControlSetup {
  // Set at every opening of the camera (the first and each after an unplug,
  // a stall or a failed start), in this order.
  std::vector<ControlSetting> settings;
  // Seconds after the camera starts streaming when its automatic exposure,
  // white balance, focus and gain are switched to manual at the values they
  // reached; those values are set again at every later opening. < 0: never.
  double holdSeconds = -1;
};
// Taken by the next capture started (CVDevStartCap).
void setCameraControlSetup(const CameraControlSetup& setup);

// The name v4l2-ctl gives a control of this driver name.
std::string controlKey(const char* driverName);

struct CameraControl {
  std::string name;  // controlKey of the driver's name
  uint32_t id;
  uint32_t type;  // V4L2_CTRL_TYPE_*
  int64_t minimum, maximum, step, defaultValue;
  uint32_t flags;  // V4L2_CTRL_FLAG_*
  bool read;       // value holds the current value
  int64_t value;
  std::vector<std::pair<int64_t, std::string>> menu;  // entry number, its name or integer
};
// The controls of the connected camera, in the driver's order; empty for a
// camera without a device node (the demo, a video file) or an unknown handle.
std::vector<CameraControl> cameraControls(uint32_t system);
