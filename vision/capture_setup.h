#pragma once
// Capture set-up and teardown: lists the cameras, connects the first, shows
// its first mode in the "Info:" box and starts frames flowing into
// onFrameCaptured; stopCapture ends it at shutdown.
#include <cstdint>

#include "camera/capture_library.h"

struct ModeEntry {
  int32_t width;
  int32_t height;
  int32_t framesPerSecond;
  int32_t formatCode;
  char formatName[32];
};
constexpr int modeTableSize = 10;

extern uint32_t captureSystem;
extern uint32_t captureId;
// True once startCapture succeeded: only then does the shutdown stop,
// disconnect and release the capture system.
extern bool captureStarted;

// The camera and mode capture was started with ("NAME, W x H @ F fps (FMT)"),
// or empty when it was not started.
extern char captureDescription[512];

// 0 when capture has been started, -1 on failure (the system then released
// or never acquired).
int32_t startCapture();
// Shutdown steps: stop, "\nCleaning up...\n", disconnect, release,
// "Test complete.\n". After a failed start only the two lines are printed.
void stopCapture();

// The camera layer as the set-up reaches it; tests put a scripted layer in.
struct CaptureLibraryCalls {
  decltype(&CVGetVidCapString) getVidCapString;
  decltype(&CVAcquireVidCap) acquireVidCap;
  decltype(&CVGetNumDevices) getNumDevices;
  decltype(&CVGetDeviceName) getDeviceName;
  decltype(&CVDevConnect) devConnect;
  decltype(&CVDevGetNumModes) devGetNumModes;
  decltype(&CVDevGetModeInfo) devGetModeInfo;
  decltype(&CVDevGetFormatName) devGetFormatName;
  decltype(&CVDevStartCap) devStartCap;
  decltype(&CVDevStopCap) devStopCap;
  decltype(&CVDevDisconnect) devDisconnect;
  decltype(&CVReleaseVidCap) releaseVidCap;
};
// nullptr restores the real layer.
void setCaptureLibraryCalls(const CaptureLibraryCalls* calls);
