#include "vision/capture_setup.h"

#include <cstdio>
#include <cstring>

#include "display/difference_texture.h"
#include "platform/diagnostics.h"
#include "platform/message_box.h"
#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"

uint32_t captureSystem = 0;
uint32_t captureId = 0;
bool captureStarted = false;
char captureDescription[512] = "";

namespace {
const CaptureLibraryCalls layerCalls = {
    CVGetVidCapString, CVAcquireVidCap,  CVGetNumDevices,  CVGetDeviceName,
    CVDevConnect,      CVDevGetNumModes, CVDevGetModeInfo, CVDevGetFormatName,
    CVDevStartCap,     CVDevStopCap,     CVDevDisconnect,  CVReleaseVidCap,
};
const CaptureLibraryCalls* captureLayer = &layerCalls;

constexpr const char* rule = "-------------------------------------------------------\n";

// Reads mode j into `entry` and prints it; false when its information
// cannot be read.
bool scanMode(int32_t j, ModeEntry& entry) {
  if (captureLayer->devGetModeInfo(captureSystem, j, &entry.width, &entry.height, &entry.framesPerSecond,
                                   &entry.formatCode) < 0) {
    return false;
  }
  uint32_t capacity = sizeof entry.formatName;
  captureLayer->devGetFormatName(captureSystem, entry.formatCode, entry.formatName, &capacity);
  entry.formatName[sizeof entry.formatName - 1] = '\0';
  std::printf("Mode %d: %dx%d @ %d frames/sec (%s)\n", j, entry.width, entry.height, entry.framesPerSecond,
              entry.formatName);
  return true;
}

int32_t giveUp(bool connected) {
  if (connected) captureLayer->devDisconnect(captureSystem);
  captureLayer->releaseVidCap(captureSystem);
  std::fflush(stdout);
  return -1;
}
}  // namespace

void setCaptureLibraryCalls(const CaptureLibraryCalls* calls) { captureLayer = calls ? calls : &layerCalls; }

int32_t startCapture() {
  captureStarted = false;
  captureDescription[0] = '\0';
  ModeEntry modeTable[modeTableSize];
  std::memset(modeTable, 0, sizeof modeTable);  // widths and heights 0; names empty rather than stale
  char version[256] = "";
  char deviceName[256] = "";
  char boxText[256];
  uint32_t capacity = 255;

  captureLayer->getVidCapString(version, &capacity);
  version[sizeof version - 1] = '\0';
  std::printf("%s", rule);
  std::printf("CodeVis VidCapture DLL Test Program                     \n");
  std::printf("%s", version);
  std::printf("%s", rule);

  if (captureLayer->acquireVidCap(&captureSystem) < 0) {
    std::printf("Error acquiring capture system.\n");
    std::fflush(stdout);
    return -1;
  }
  const int32_t devices = captureLayer->getNumDevices(captureSystem);
  if (devices == 0) {
    std::printf("No compatible devices found. Please install a web camera.\n");
    return giveUp(false);
  }
  for (int32_t i = 0; i < devices; ++i) {
    capacity = 255;
    if (captureLayer->getDeviceName(captureSystem, i, deviceName, &capacity) >= 0) {
      deviceName[sizeof deviceName - 1] = '\0';
      std::printf("Found device: %d - %s\n", i, deviceName);
    }
  }
  capacity = 255;
  captureLayer->getDeviceName(captureSystem, 0, deviceName, &capacity);
  deviceName[sizeof deviceName - 1] = '\0';
  std::printf("Selecting the first one: %s\n", deviceName);

  if (captureLayer->devConnect(captureSystem, 0) < 0) {
    std::printf("Failed connecting to camera: %s\n", deviceName);
    return giveUp(false);
  }
  std::printf("Scanning available modes...\n");
  const int32_t modes = captureLayer->devGetNumModes(captureSystem);
  for (int32_t j = 0; j < modes; ++j) {
    // Modes beyond the table are listed but not kept.
    ModeEntry beyond{};
    scanMode(j, j < modeTableSize ? modeTable[j] : beyond);
  }

  const ModeEntry& chosen = modeTable[0];
  if (chosen.width <= 0 || chosen.height <= 0) {
    diagnostic("camera", "The camera's first mode has no picture size; capture not started.");
    return giveUp(true);
  }
  if (!allocateFrameBuffers(chosen.width, chosen.height)) {
    diagnostic("camera", "Not enough memory to analyse %dx%d frames; capture not started.", chosen.width,
               chosen.height);
    return giveUp(true);
  }
  makeDifferenceTexture(chosen.width, chosen.height);
  std::fflush(stdout);

  std::snprintf(boxText, sizeof boxText, "%i x %i @ %i fps (%s)", chosen.width, chosen.height,
                chosen.framesPerSecond, chosen.formatName);
  showMessageBox(nullptr, "Info:", boxText);

  captureLayer->devStartCap(captureSystem, 0, 1, onFrameCaptured, 0, &captureId);
  captureStarted = true;
  std::snprintf(captureDescription, sizeof captureDescription, "%s, %s", deviceName, boxText);
  return 0;
}

void stopCapture() {
  if (captureStarted) captureLayer->devStopCap(captureSystem, captureId);
  std::printf("\nCleaning up...\n");
  if (captureStarted) {
    captureLayer->devDisconnect(captureSystem);
    captureLayer->releaseVidCap(captureSystem);
  }
  std::printf("Test complete.\n");
  std::fflush(stdout);
  captureStarted = false;
}
