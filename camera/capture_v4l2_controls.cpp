// The camera's controls through the extended control calls: listed with
// QUERY_EXT_CTRL (and QUERYMENU), read with G_EXT_CTRLS, set with
// S_EXT_CTRLS, one control (or one automatic with its value) per call, so
// that each failure names its control: for a list the kernel says only
// that the whole call failed (error_idx is the count).
#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "camera/camera_controls.h"
#include "camera/capture_v4l2.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"

namespace {
std::mutex setupLock;
CameraControlSetup nextSetup;

// Menus are a handful of entries; a driver that claims more is not believed.
constexpr int64_t longestMenu = 256;

bool isMenu(uint32_t type) { return type == V4L2_CTRL_TYPE_MENU || type == V4L2_CTRL_TYPE_INTEGER_MENU; }

// Types whose value is one number.
bool holdsNumber(uint32_t type) {
  return type == V4L2_CTRL_TYPE_INTEGER || type == V4L2_CTRL_TYPE_BOOLEAN || isMenu(type) ||
         type == V4L2_CTRL_TYPE_INTEGER64 || type == V4L2_CTRL_TYPE_BITMASK;
}

void readMenu(int fd, CameraControl& control) {
  if (control.maximum - control.minimum >= longestMenu) return;
  for (int64_t index = std::max<int64_t>(control.minimum, 0); index <= control.maximum; ++index) {
    v4l2_querymenu entry{};
    entry.id = control.id;
    entry.index = uint32_t(index);
    if (deviceIoctl(fd, VIDIOC_QUERYMENU, &entry) < 0) continue;  // an entry the camera leaves out
    control.menu.emplace_back(index, control.type == V4L2_CTRL_TYPE_MENU
                                         ? std::string(reinterpret_cast<const char*>(entry.name))
                                         : std::to_string(entry.value));
  }
}

CameraControl describe(int fd, const v4l2_query_ext_ctrl& query) {
  CameraControl control{controlKey(query.name),
                        query.id,
                        query.type,
                        query.minimum,
                        query.maximum,
                        int64_t(query.step),
                        query.default_value,
                        query.flags,
                        false,
                        0,
                        {}};
  if (isMenu(query.type)) readMenu(fd, control);
  return control;
}

// Every control of the node, in the driver's order (of id).
std::vector<CameraControl> listControls(int fd, bool withValues) {
  std::vector<CameraControl> controls;
  v4l2_query_ext_ctrl query{};
  query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
  uint32_t last = 0;
  // Each answer comes after the one before: a driver that says otherwise would go round for ever.
  while (deviceIoctl(fd, VIDIOC_QUERY_EXT_CTRL, &query) == 0 && query.id > last) {
    controls.push_back(describe(fd, query));
    CameraControl& control = controls.back();
    const bool readable = !(query.flags & (V4L2_CTRL_FLAG_WRITE_ONLY | V4L2_CTRL_FLAG_DISABLED));
    if (withValues && readable && holdsNumber(query.type)) {
      int64_t value = 0;
      if (readControl(fd, query.id, query.type, value)) control.read = true, control.value = value;
    }
    last = query.id;
    query = {};
    query.id = last | V4L2_CTRL_FLAG_NEXT_CTRL;
  }
  return controls;
}

v4l2_ext_control extControl(uint32_t id, uint32_t type, int64_t value) {
  v4l2_ext_control control{};
  control.id = id;
  if (type == V4L2_CTRL_TYPE_INTEGER64) control.value64 = value;
  else control.value = int32_t(value);
  return control;
}

// Sets the controls in one call: 0, or the errno. `values` gets what the
// driver made of them (it rounds and clamps a number to its range).
int writeControls(int fd, std::vector<v4l2_ext_control>& values) {
  v4l2_ext_controls list{};
  list.which = V4L2_CTRL_WHICH_CUR_VAL;
  list.count = uint32_t(values.size());
  list.controls = values.data();
  return deviceIoctl(fd, VIDIOC_S_EXT_CTRLS, &list) == 0 ? 0 : errno;
}

int64_t valueOf(const v4l2_ext_control& control, uint32_t type) {
  return type == V4L2_CTRL_TYPE_INTEGER64 ? control.value64 : control.value;
}

const CameraControl* findControl(const std::vector<CameraControl>& controls, const std::string& name) {
  for (const CameraControl& control : controls)
    if (control.name == name) return &control;
  return nullptr;
}

const CameraControl* findControl(const std::vector<CameraControl>& controls, uint32_t id) {
  for (const CameraControl& control : controls)
    if (control.id == id) return &control;
  return nullptr;
}

// Why a control was not set, for a person.
std::string refusal(const CameraControl& control, int64_t value, int error) {
  if (error == EACCES && (control.flags & V4L2_CTRL_FLAG_READ_ONLY)) return "it is read-only";
  if (error == EACCES && (control.flags & V4L2_CTRL_FLAG_INACTIVE))
    return "it is inactive while its automatic is on (set the automatic to manual first)";
  if (isMenu(control.type) && (error == EINVAL || error == ERANGE))
    return std::to_string(value) + " is not one of its entries";
  return std::strerror(error);
}

// A value the control's type cannot carry, or nullptr.
const char* unfit(const CameraControl& control, int64_t value) {
  if (!holdsNumber(control.type) && control.type != V4L2_CTRL_TYPE_BUTTON) return "it takes no number";
  if (control.type != V4L2_CTRL_TYPE_INTEGER64 && (value < INT32_MIN || value > INT32_MAX))
    return "the value is out of its range";
  return nullptr;
}

struct Automatic {
  uint32_t automatic;  // the automatic's control
  int32_t manual;      // its value that turns it off
  uint32_t control;    // the value it sets by itself
  const char* name;    // the automatic's usual name, for a camera without it
};
// The automatics a held picture needs off: in this order, as exposure decides
// what gain is left to do.
constexpr Automatic automatics[] = {
    {V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL, V4L2_CID_EXPOSURE_ABSOLUTE, "auto_exposure"},
    {V4L2_CID_AUTO_WHITE_BALANCE, 0, V4L2_CID_WHITE_BALANCE_TEMPERATURE, "white_balance_automatic"},
    {V4L2_CID_FOCUS_AUTO, 0, V4L2_CID_FOCUS_ABSOLUTE, "focus_automatic_continuous"},
    {V4L2_CID_AUTOGAIN, 0, V4L2_CID_GAIN, "gain_automatic"},
};

// Turns the automatic off, then sets the value it had reached (given back
// as the driver took it): two calls, as a camera may refuse the value until
// its automatic is off, and a driver need not write one list in its order.
// 0, or the errno of the call that failed.
int hold(int fd, HeldControl& held) {
  std::vector<v4l2_ext_control> values = {extControl(held.automatic, V4L2_CTRL_TYPE_INTEGER, held.manual)};
  if (held.automatic) {
    if (const int error = writeControls(fd, values)) return error;
  }
  if (!held.control) return 0;
  values = {extControl(held.control, held.type, held.value)};
  const int error = writeControls(fd, values);
  if (error == 0) held.value = valueOf(values[0], held.type);
  return error;
}

void setHeld(CaptureRun& run) {
  for (HeldControl& held : run.controls.held) {
    if (const int error = hold(run.device.fd, held); error && !run.controls.said)
      diagnostic("camera", "cannot hold %s again: %s", held.name.c_str(), std::strerror(error));
  }
}

void applySettings(CaptureRun& run, const std::vector<CameraControl>& controls) {
  ControlRun& state = run.controls;
  const bool say = !state.said;
  const char* camera = run.camera.name.c_str();
  std::string done;
  struct Pending {
    const CameraControl* control;
    int64_t value;
  };
  std::vector<Pending> later;  // refused while inactive: perhaps a later setting turns its automatic off
  auto set = [&](const CameraControl& control, int64_t value, bool last) {
    std::vector<v4l2_ext_control> values = {extControl(control.id, control.type, value)};
    const int error = writeControls(run.device.fd, values);
    if (error == 0) {
      done +=
          (done.empty() ? "" : ", ") + control.name + "=" + std::to_string(valueOf(values[0], control.type));
    } else if (!last && error == EACCES && (control.flags & V4L2_CTRL_FLAG_INACTIVE)) {
      later.push_back({&control, value});
    } else if (say) {
      diagnostic("camera", "cannot set %s=%lld on %s: %s", control.name.c_str(),
                 static_cast<long long>(value), camera, refusal(control, value, error).c_str());
    }
  };
  for (const ControlSetting& setting : state.setup.settings) {
    const CameraControl* control = findControl(controls, setting.name);
    if (!control) {
      if (say)
        diagnostic("camera", "%s has no control %s: left alone (tessaro-cameras --controls lists them)",
                   camera, setting.name.c_str());
    } else if (const char* problem = unfit(*control, setting.value)) {
      if (say)
        diagnostic("camera", "cannot set %s=%lld on %s: %s", control->name.c_str(),
                   static_cast<long long>(setting.value), camera, problem);
    } else {
      set(*control, setting.value, false);
    }
  }
  for (const Pending& pending : later) set(*pending.control, pending.value, true);
  if (say && !done.empty()) diagnostic("camera", "set on %s: %s", camera, done.c_str());
}
}  // namespace

bool parseControlSetting(const std::string& text, ControlSetting& setting) {
  const size_t equals = text.find('=');
  if (equals == 0 || equals == std::string::npos) return false;
  const std::string name = text.substr(0, equals);
  const std::string value = text.substr(equals + 1);
  const bool nameFits = std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
  const size_t digits = value.find_first_not_of('-') == 1 ? 1 : 0;
  if (!nameFits || value.size() <= digits || value.size() - digits > 18 ||
      value.find_first_not_of("0123456789", digits) != std::string::npos)
    return false;
  setting = {name, std::strtoll(value.c_str(), nullptr, 10)};
  return true;
}

void setCameraControlSetup(const CameraControlSetup& setup) {
  std::lock_guard guard(setupLock);
  nextSetup = setup;
}

CameraControlSetup cameraControlSetup() {
  std::lock_guard guard(setupLock);
  return nextSetup;
}

std::string controlKey(const char* driverName) {
  std::string key;
  bool gap = false;
  for (const char* c = driverName; *c; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c))) {
      if (gap && !key.empty()) key += '_';
      key += char(std::tolower(static_cast<unsigned char>(*c)));
      gap = false;
    } else {
      gap = true;
    }
  }
  return key;
}

bool readControl(int fd, uint32_t id, uint32_t type, int64_t& value) {
  v4l2_ext_control control = extControl(id, type, 0);
  v4l2_ext_controls list{};
  list.which = V4L2_CTRL_WHICH_CUR_VAL;
  list.count = 1;
  list.controls = &control;
  if (deviceIoctl(fd, VIDIOC_G_EXT_CTRLS, &list) < 0) return false;
  value = valueOf(control, type);
  return true;
}

std::vector<CameraControl> listDeviceControls(int fd) { return listControls(fd, true); }

void applyCameraControls(CaptureRun& run) {
  ControlRun& state = run.controls;
  if (state.setup.settings.empty() && state.setup.holdSeconds < 0) return;
  if (!state.setup.settings.empty()) applySettings(run, listControls(run.device.fd, false));
  if (state.setup.holdSeconds >= 0 && state.held.empty() && !state.holdDone) {
    // The automatics settle anew after every opening before they are held.
    state.holdDueNanoseconds = monotonicNanoseconds() + int64_t(std::llround(state.setup.holdSeconds * 1e9));
  }
  setHeld(run);
  state.said = true;
}

void noteNoControls(const CaptureRun& run) {
  const CameraControlSetup& setup = run.controls.setup;
  if (setup.settings.empty() && setup.holdSeconds < 0) return;
  diagnostic("camera", "%s has no controls: none is set or held", run.camera.name.c_str());
}

void holdAutomatics(CaptureRun& run) {
  ControlRun& state = run.controls;
  state.holdDueNanoseconds = 0;
  state.holdDone = true;
  const int fd = run.device.fd;
  const std::vector<CameraControl> controls = listControls(fd, false);
  // A camera without automatic gain (USB video class cameras have none)
  // leaves gain to its automatic exposure: the gain it chose is held with it.
  const CameraControl* gain = findControl(controls, V4L2_CID_GAIN);
  HeldControl gainReached{gain ? gain->name : "", 0, 0, V4L2_CID_GAIN, gain ? gain->type : 0, 0};
  const bool gainToHold =
      gain && !findControl(controls, V4L2_CID_AUTOGAIN) &&
      !(gain->flags & (V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_INACTIVE)) &&
      readControl(fd, gain->id, gain->type, gainReached.value);
  std::string held, without;
  bool exposureHeld = false;
  auto note = [&](const HeldControl& reached, const std::string& what) {
    held += (held.empty() ? "" : ", ") + what;
    state.held.push_back(reached);
  };
  for (const Automatic& entry : automatics) {
    const CameraControl* automatic = findControl(controls, entry.automatic);
    if (!automatic || (automatic->flags & (V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_DISABLED))) {
      without += (without.empty() ? "" : ", ") + std::string(entry.name);
      continue;
    }
    int64_t mode = 0;
    if (!readControl(fd, automatic->id, automatic->type, mode) || mode == entry.manual)
      continue;  // off already
    HeldControl reached{automatic->name, automatic->id, entry.manual, 0, V4L2_CTRL_TYPE_INTEGER, 0};
    const CameraControl* control = findControl(controls, entry.control);
    if (control && readControl(fd, control->id, control->type, reached.value)) {
      reached.control = control->id;
      reached.type = control->type;
    }
    if (const int error = hold(fd, reached)) {
      diagnostic("camera", "cannot hold %s: %s", automatic->name.c_str(), std::strerror(error));
      continue;
    }
    note(reached,
         reached.control ? control->name + "=" + std::to_string(reached.value) : automatic->name + " off");
    exposureHeld = exposureHeld || entry.automatic == V4L2_CID_EXPOSURE_AUTO;
  }
  if (gainToHold && exposureHeld) {
    if (const int error = hold(fd, gainReached)) {
      diagnostic("camera", "cannot hold %s: %s", gainReached.name.c_str(), std::strerror(error));
    } else {
      note(gainReached, gainReached.name + "=" + std::to_string(gainReached.value));
    }
  }
  diagnostic("camera", "%s: %s after %g s%s%s%s%s", run.camera.name.c_str(),
             held.empty() ? "no automatic to hold" : "the automatics are held", state.setup.holdSeconds,
             held.empty() ? "" : ": ", held.c_str(), without.empty() ? "" : "; it has no ", without.c_str());
}
