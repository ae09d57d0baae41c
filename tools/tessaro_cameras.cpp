// tessaro-cameras: prints how many cameras the installation would find, so
// `make run` can fall back to the demo camera on a machine without one.
#include <cstdio>

#include "vision/capture_library.h"

int main() {
  uint32_t system = 0;
  if (CVAcquireVidCap(&system) < 0) {
    std::puts("0");
    return 1;
  }
  const int32_t count = CVGetNumDevices(system);
  CVReleaseVidCap(system);
  std::printf("%d\n", count > 0 ? count : 0);
  return count > 0 ? 0 : 1;
}
