#pragma once
// The camera layer: lists cameras and their modes, connects one and delivers
// its frames to a callback on a capture thread of its own. Results are tested
// by their sign (negative = failure); handles and identifiers are small
// integers.
//
// Cameras: the V4L2 capture nodes /dev/video* (numeric order), or, when
// TESSARO_CAMERA is set, the built-in demo camera ("demo"), one V4L2 device
// (a path that is a character device, such as /dev/video2 or a
// /dev/v4l/by-id/ link, or any path in /dev) or a video file (any other
// value: its path).
//
// Every frame reaches the callback in the analysis layout of the chosen mode
// (W x H): the luma of pixel (j, k) at byte j * (2W + 640) + 2k, in a buffer
// of captureLayoutBytes(W, H) bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "camera/frame_layout.h"

using CaptureFrameCallback = int32_t (*)(uint32_t tag, const FrameRecord* frame, uint32_t user);

void CVGetVidCapString(char* text, uint32_t* capacity);
int32_t CVAcquireVidCap(uint32_t* system);
int32_t CVGetNumDevices(uint32_t system);
int32_t CVGetDeviceName(uint32_t system, int32_t device, char* name, uint32_t* capacity);
int32_t CVDevConnect(uint32_t system, int32_t device);
int32_t CVDevGetNumModes(uint32_t system);
int32_t CVDevGetModeInfo(uint32_t system, int32_t mode, int32_t* width, int32_t* height,
                         int32_t* framesPerSecond, int32_t* formatCode);
int32_t CVDevGetFormatName(uint32_t system, int32_t formatCode, char* name, uint32_t* capacity);
// Starts capture in `mode` of the connected camera. Every frame goes to
// callback(tag, frame, user), one at a time, on the capture thread, only the
// newest frame after each wait.
int32_t CVDevStartCap(uint32_t system, int32_t mode, uint32_t tag, CaptureFrameCallback callback,
                      uint32_t user, uint32_t* captureId);
// Returns only when no callback runs or will run for that capture.
int32_t CVDevStopCap(uint32_t system, uint32_t captureId);
int32_t CVDevDisconnect(uint32_t system);
int32_t CVReleaseVidCap(uint32_t system);

// Whether the capture thread of `system` still runs. It ends by itself when
// a camera fails for good, a video file gives no more pictures, or a camera
// that was unplugged comes back without the mode it ran in; while an
// unplugged camera is away it runs on, asleep until the camera is back.
bool isCaptureRunning(uint32_t system);

// A camera (or one format of it) that is there but cannot be used.
struct CameraSkip {
  std::string path;    // device node or video file
  std::string reason;  // for a person, e.g. "cannot be opened: Permission denied"
  std::string line;    // the diagnostic CVGetNumDevices prints for it
};

// Lists the cameras as CVGetNumDevices does (which then answers from this
// listing), handing back why each camera or format was left out instead of
// printing it. The count, or -1 for an unknown handle.
int32_t listCameras(uint32_t system, std::vector<CameraSkip>& skipped);

struct CameraDetails {
  std::string path;     // device node, video file, or "demo"
  std::string name;     // as CVGetDeviceName gives it
  std::string driver;   // the V4L2 driver, "FFmpeg" for a file, "built in" for the demo
  std::string busInfo;  // V4L2 only: where the camera is plugged in
};
// False for an unknown handle or device.
bool cameraDetails(uint32_t system, int32_t device, CameraDetails& details);

// How a capture is doing, for a watchdog on the thread that starts and stops
// captures. It reads a few atomics: no lock, no system call but the clock.
// The thread gives a sign of life when a frame it delivered comes back from
// the callback and when it wakes from a wait it chose (the device had
// something, even frames it could not use; a pacing wait ended). A watchdog
// acts on Stalled and Ended, and on a camera that is there but has delivered
// no frame for long; WaitingForCamera is healthy however long it lasts.
enum class CaptureState : uint8_t {
  NotCapturing,      // no capture started (or it was stopped)
  Delivering,        // a sign within captureStallMs (or within a timed wait the thread
                     // began, such as a video file's pause between two pictures)
  WaitingForCamera,  // the camera was unplugged; the thread sleeps until it comes back
  Stalled,           // no sign for longer: stuck in the callback or a driver call,
                     // or the camera sends nothing
  Ended,             // the thread ended by itself (see isCaptureRunning)
};
constexpr uint32_t captureStallMs = 1000;
struct CaptureActivity {
  CaptureState state;
  uint32_t millisecondsSinceSign;   // since the last sign (while waiting for the camera: since
                                    // the wait began or last woke); 0 when not capturing
  uint64_t framesDelivered;         // by this capture so far
  uint32_t millisecondsSinceFrame;  // since the last frame delivered (or the capture's start, or the
                                    // unplugged camera's return); 0 when not capturing
};
CaptureActivity captureActivity(uint32_t system);
