// tessaro-cameras: the cameras the installation would find, with their
// modes, and why a camera that is there cannot be used. Exit status 0 when at
// least one camera can be used, 1 otherwise: `make run` then starts the
// installation with the demo camera.
#include <cstdio>

#include "camera/camera_listing.h"

int main() {
  const CameraListing listing = describeCameras();
  std::fputs(listing.text.c_str(), stdout);
  return listing.usableCameras > 0 ? 0 : 1;
}
