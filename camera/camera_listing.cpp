#include "camera/camera_listing.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include <linux/videodev2.h>

#include "camera/camera_controls.h"
#include "camera/capture_library.h"

namespace {
void append(std::string& text, const char* format, ...) {
  char line[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  text += line;
}

// The modes of the camera as the "Info:" box shows one; their number.
int describeModes(uint32_t system, std::string& text) {
  const int32_t modes = CVDevGetNumModes(system);
  for (int32_t i = 0; i < modes; ++i) {
    int32_t width = 0, height = 0, rate = 0, code = 0;
    if (CVDevGetModeInfo(system, i, &width, &height, &rate, &code) < 0) continue;
    char format[64] = {};
    uint32_t capacity = sizeof format;
    CVDevGetFormatName(system, code, format, &capacity);
    append(text, "  mode %d: %d x %d @ %d fps (%s)\n", i, width, height, rate, format);
  }
  return modes > 0 ? modes : 0;
}

// The type as v4l2-ctl names it.
const char* typeName(uint32_t type) {
  switch (type) {
    case V4L2_CTRL_TYPE_INTEGER: return "int";
    case V4L2_CTRL_TYPE_INTEGER64: return "int64";
    case V4L2_CTRL_TYPE_BOOLEAN: return "bool";
    case V4L2_CTRL_TYPE_MENU: return "menu";
    case V4L2_CTRL_TYPE_INTEGER_MENU: return "intmenu";
    case V4L2_CTRL_TYPE_BUTTON: return "button";
    case V4L2_CTRL_TYPE_BITMASK: return "bitmask";
    case V4L2_CTRL_TYPE_STRING: return "str";
    default: return "compound";
  }
}

std::string flagNames(uint32_t flags) {
  static constexpr std::pair<uint32_t, const char*> names[] = {
      {V4L2_CTRL_FLAG_DISABLED, "disabled"},     {V4L2_CTRL_FLAG_GRABBED, "grabbed"},
      {V4L2_CTRL_FLAG_READ_ONLY, "read-only"},   {V4L2_CTRL_FLAG_INACTIVE, "inactive"},
      {V4L2_CTRL_FLAG_WRITE_ONLY, "write-only"}, {V4L2_CTRL_FLAG_VOLATILE, "volatile"},
  };
  std::string text;
  for (const auto& [flag, name] : names)
    if (flags & flag) text += (text.empty() ? " flags=" : ",") + std::string(name);
  return text;
}

void describeControls(uint32_t system, std::string& text) {
  const std::vector<CameraControl> controls = cameraControls(system);
  text += controls.empty() ? "  controls: none\n" : "  controls:\n";
  for (const CameraControl& c : controls) {
    if (c.type == V4L2_CTRL_TYPE_CTRL_CLASS) continue;  // a heading, not a control
    append(text, "    %s (%s):", c.name.c_str(), typeName(c.type));
    const bool ranged = c.type == V4L2_CTRL_TYPE_INTEGER || c.type == V4L2_CTRL_TYPE_INTEGER64 ||
                        c.type == V4L2_CTRL_TYPE_MENU || c.type == V4L2_CTRL_TYPE_INTEGER_MENU ||
                        c.type == V4L2_CTRL_TYPE_BITMASK;
    if (ranged) append(text, " min=%lld max=%lld", static_cast<long long>(c.minimum), static_cast<long long>(c.maximum));
    if (c.type == V4L2_CTRL_TYPE_INTEGER || c.type == V4L2_CTRL_TYPE_INTEGER64)
      append(text, " step=%lld", static_cast<long long>(c.step));
    if (ranged || c.type == V4L2_CTRL_TYPE_BOOLEAN)
      append(text, " default=%lld", static_cast<long long>(c.defaultValue));
    if (c.read) append(text, " value=%lld", static_cast<long long>(c.value));
    text += flagNames(c.flags) + "\n";
    for (const auto& [index, name] : c.menu) append(text, "      %lld: %s\n", static_cast<long long>(index), name.c_str());
  }
}
}  // namespace

CameraListing describeCameras(bool controls) {
  CameraListing listing{"", 0};
  uint32_t system = 0;
  if (CVAcquireVidCap(&system) < 0) {
    listing.text = "The camera layer could not start.\n";
    return listing;
  }
  std::vector<CameraSkip> skipped;
  const int32_t count = listCameras(system, skipped);
  std::string firstUnusable;
  for (int32_t i = 0; i < count; ++i) {
    CameraDetails camera;
    if (!cameraDetails(system, i, camera)) continue;
    append(listing.text, "%d: %s: %s (%s%s%s)\n", i, camera.path.c_str(), camera.name.c_str(),
           camera.driver.c_str(), camera.busInfo.empty() ? "" : ", ", camera.busInfo.c_str());
    int modes = 0;
    if (CVDevConnect(system, i) >= 0) {
      modes = describeModes(system, listing.text);
      if (controls) describeControls(system, listing.text);
      CVDevDisconnect(system);
    } else {
      listing.text += "  cannot be opened now\n";
    }
    for (const CameraSkip& skip : skipped) {
      if (skip.path == camera.path) append(listing.text, "  %s\n", skip.reason.c_str());
    }
    if (modes > 0) {
      ++listing.usableCameras;
    } else {
      listing.text += "  no mode the installation can use\n";
      if (i == 0) firstUnusable = camera.path;
    }
  }
  for (const CameraSkip& skip : skipped) {
    bool listed = false;
    for (int32_t i = 0; i < count && !listed; ++i) {
      CameraDetails camera;
      listed = cameraDetails(system, i, camera) && camera.path == skip.path;
    }
    if (!listed) append(listing.text, "skipped: %s: %s\n", skip.path.c_str(), skip.reason.c_str());
  }
  CVReleaseVidCap(system);
  if (listing.usableCameras == 0) {
    listing.text += count <= 0 && skipped.empty() ? "No camera found.\n" : "No usable camera.\n";
  } else if (!firstUnusable.empty()) {
    append(listing.text,
           "The installation takes the first camera, %s, which it cannot use; TESSARO_CAMERA=PATH picks "
           "another.\n",
           firstUnusable.c_str());
  }
  return listing;
}
