#pragma once
// What tessaro-cameras prints: every camera the installation would find, its
// node, name, driver and the modes the camera layer can deliver, and why each
// camera (or format of one) that is there cannot be used; on request, its
// controls.
#include <string>

struct CameraListing {
  std::string text;
  int usableCameras;  // cameras with at least one mode
};

// Lists through the camera layer as the installation would (TESSARO_CAMERA
// included); with `controls`, each camera's controls too: name (as
// --camera-control takes it), type, range or menu entries, default, current
// value and flags (inactive, read-only...).
CameraListing describeCameras(bool controls = false);
