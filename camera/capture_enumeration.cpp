#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera/capture_device_ops.h"
#include "camera/capture_system.h"

namespace {
// Every camera source, in the order TESSARO_CAMERA's value is offered to
// them; the first that takes it lists the cameras.
const CameraSource* const cameraSources[] = {&demoSource, &v4l2Source, &videoFileSource};

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
}  // namespace

std::vector<std::string> videoNodePaths() {
  std::vector<long> numbers;
  if (DIR* folder = opendir(videoDeviceFolder())) {
    while (const dirent* entry = readdir(folder)) {
      const long number = videoNodeNumber(entry->d_name);
      if (number >= 0) numbers.push_back(number);
    }
    closedir(folder);
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<std::string> paths;
  for (const long number : numbers)
    paths.push_back(std::string(videoDeviceFolder()) + "/video" + std::to_string(number));
  return paths;
}

std::vector<CameraEntry> listCaptureNodes(std::vector<CameraSkip>& skipped) {
  std::vector<CameraEntry> cameras;
  for (const std::string& path : videoNodePaths()) {
    CameraEntry camera{};
    if (queryCaptureNode(path.c_str(), false, camera, skipped)) cameras.push_back(camera);
  }
  return cameras;
}

const CameraSource& cameraSourceFor(const char* choice) {
  if (choice && !*choice) choice = nullptr;
  for (const CameraSource* source : cameraSources) {
    if (source->chosenBy(choice)) return *source;
  }
  return videoFileSource;  // any other value names a file
}

std::vector<CameraEntry> findCameras(std::vector<CameraSkip>& skipped) {
  const char* choice = std::getenv("TESSARO_CAMERA");
  if (choice && !*choice) choice = nullptr;
  return cameraSourceFor(choice).list(choice, skipped);
}
