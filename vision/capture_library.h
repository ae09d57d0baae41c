#pragma once
// The camera layer: lists cameras and their modes, connects one and delivers
// its frames to a callback on a capture thread of its own. Results are tested
// by their sign (negative = failure); handles and identifiers are small
// integers.
//
// Cameras: the V4L2 capture nodes /dev/video* (numeric order), or, when
// TESSARO_CAMERA is set, the built-in demo camera ("demo") or a video file
// (any other value: its path).
//
// Every frame reaches the callback in the analysis layout of the chosen mode
// (W x H): the luma of pixel (j, k) at byte j * (2W + 640) + 2k, in a buffer
// of captureLayoutBytes(W, H) bytes.
#include <cstddef>
#include <cstdint>

#include "vision/frame_layout.h"
#include "vision/frame_pipeline.h"

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

// Whether the capture thread of `system` still runs (it ends by itself when
// the camera goes away).
bool isCaptureRunning(uint32_t system);
