#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/diagnostics.h"
#include "vision/capture_device_ops.h"
#include "vision/capture_system.h"

namespace {
// The number of a "videoN" entry, or -1 for any other name.
long videoNodeNumber(const char* name) {
  if (std::strncmp(name, "video", 5) != 0 || name[5] == '\0') return -1;
  long number = 0;
  for (const char* p = name + 5; *p; ++p) {
    if (*p < '0' || *p > '9' || number > 100000) return -1;
    number = number * 10 + (*p - '0');
  }
  return number;
}

std::vector<CameraEntry> listCaptureNodes() {
  std::vector<long> numbers;
  if (DIR* folder = opendir(videoDeviceFolder())) {
    while (const dirent* entry = readdir(folder)) {
      const long number = videoNodeNumber(entry->d_name);
      if (number >= 0) numbers.push_back(number);
    }
    closedir(folder);
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<CameraEntry> cameras;
  for (const long number : numbers) {
    const std::string path = std::string(videoDeviceFolder()) + "/video" + std::to_string(number);
    std::string name;
    if (queryCaptureNode(path.c_str(), name)) cameras.push_back({CameraKind::V4l2, path, name});
  }
  return cameras;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}
}  // namespace

std::vector<CameraEntry> listCameras() {
  const char* choice = std::getenv("TESSARO_CAMERA");
  if (!choice || !*choice) return listCaptureNodes();
  if (std::strcmp(choice, "demo") == 0) return {{CameraKind::Demo, "demo", "Tessaro demo camera"}};
  CaptureMode mode{};
  std::string reason;
  if (!probeVideoFile(choice, mode, reason)) {
    diagnostic("camera", "Cannot use video file %s as a camera: %s", choice, reason.c_str());
    return {};
  }
  return {{CameraKind::VideoFile, choice, "Video file " + baseName(choice)}};
}
