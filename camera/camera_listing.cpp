#include "camera/camera_listing.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

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
}  // namespace

CameraListing describeCameras() {
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
