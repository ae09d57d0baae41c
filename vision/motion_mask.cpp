#include "vision/motion_mask.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "camera/capture_offline.h"

namespace {
MaskPicture mask;

bool watchedLevel(uint8_t brightness) { return brightness >= 128; }
}  // namespace

bool readMaskPicture(const std::string& path, MaskPicture& picture, std::string& reason) {
  // FFmpeg would wait for ever on a FIFO: only regular files are pictures.
  struct stat status {};
  if (access(path.c_str(), R_OK) != 0 || stat(path.c_str(), &status) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = "not a regular file";
    return false;
  }
  // The offline source takes "demo" for the demo camera; a file of that name is a path.
  const std::string name = path == "demo" ? "./demo" : path;
  OfflineSource source{};
  if (!openOfflineSource(source, name.c_str(), reason)) return false;
  FrameRecord frame{};
  double seconds = 0.0;
  if (!nextOfflineFrame(source, frame, seconds)) {
    closeOfflineSource(source);
    reason = "no picture in it";
    return false;
  }
  picture.width = source.width;
  picture.height = source.height;
  picture.brightness.resize(static_cast<size_t>(source.width) * static_cast<size_t>(source.height));
  const size_t stride = frameLayoutStride(source.width);
  for (int32_t j = 0; j < source.height; ++j) {
    for (int32_t k = 0; k < source.width; ++k) {
      picture.brightness[static_cast<size_t>(j) * source.width + k] = frame.pixels[j * stride + 2 * static_cast<size_t>(k)];
    }
  }
  closeOfflineSource(source);
  if (std::none_of(picture.brightness.begin(), picture.brightness.end(), watchedLevel)) {
    reason = "it is black all over: nothing would be watched";
    return false;
  }
  return true;
}

void setMotionMask(const MaskPicture& picture) { mask = picture; }

bool motionMaskSet() { return !mask.brightness.empty(); }

uint8_t* scaledMotionMask(int32_t width, int32_t height, int64_t& watched) {
  watched = 0;
  if (!motionMaskSet() || width <= 0 || height <= 0) return nullptr;
  auto* plane = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(width) * static_cast<size_t>(height)));
  if (!plane) return nullptr;
  for (int32_t j = 0; j < height; ++j) {
    const int64_t sourceRow = (2 * int64_t{j} + 1) * mask.height / (2 * int64_t{height});
    for (int32_t k = 0; k < width; ++k) {
      const int64_t sourceColumn = (2 * int64_t{k} + 1) * mask.width / (2 * int64_t{width});
      const bool on = watchedLevel(mask.brightness[static_cast<size_t>(sourceRow * mask.width + sourceColumn)]);
      plane[static_cast<size_t>(j) * static_cast<size_t>(width) + k] = on ? 0xFF : 0;
      watched += on;
    }
  }
  return plane;
}
