#pragma once
// What the V4L2 camera's files share: its modes and the questions put to a
// node (capture_v4l2_modes.cpp), streaming (capture_v4l2_stream.cpp) and the
// wait for an unplugged camera's return (capture_v4l2_replug.cpp). Only they
// include it.
#include <linux/videodev2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "camera/capture_device_ops.h"
#include "camera/capture_system.h"

inline const CaptureDeviceOps& ops() { return captureDeviceOps(); }

// Why frames of this field order cannot be read as whole pictures; null
// when they can.
const char* fieldProblem(uint32_t field);

// Frames per second of a frame interval, rounded; 0 when it says none.
int32_t roundedRate(const v4l2_fract& interval);

// What a node is, asked of its driver.
enum class NodeKind { Camera, NoStreaming, MultiPlanarOnly, NotACamera };
// Fills the camera's name, driver and bus from the node's answer; error is
// the errno of a node that does not answer.
NodeKind askNode(int fd, CameraEntry& camera, int& error);

enum class StreamEnd { Stopped, Lost, Failed };
// Delivers the device's frames until a stop, an unplug or a failure.
StreamEnd streamFrames(CaptureRun& run);
// Starts streaming `fd` in the run's mode; the descriptor is the run's from
// here on, whatever the outcome.
bool startStream(int fd, CaptureRun& run);
// Gives up a device that is gone: its buffers and its descriptor, so that
// the driver can free it and give its node to the camera when it returns.
void releaseLostDevice(CaptureRun& run);

// Opens the capture node that is `camera` come back: the same bus path, or
// the same name on a node that is not another camera of that name (one in
// `others`). -1 when there is none yet.
int openCameraAgain(const CameraEntry& camera, const std::vector<std::string>& others, std::string& path);
// The capture nodes of other cameras with the camera's name: not to be taken
// for it.
std::vector<std::string> namesakes(const CameraEntry& camera);
// Sleeps until the camera is back (true, streaming again), a stop, or a
// return without its mode. The device folder is watched with inotify: the
// thread wakes only when a node appears, changes its rights or goes.
bool awaitCamera(CaptureRun& run);
