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

// What a node is, asked of its driver. A capture node of a media-controller
// pipeline (V4L2_CAP_IO_MC) streams only once its pipeline is set up (else
// STREAMON gives EPIPE): it is no camera unless named.
enum class NodeKind { Camera, PipelineNode, NoStreaming, MultiPlanarOnly, NotACamera };
inline bool capturesVideo(NodeKind kind) {
  return kind == NodeKind::Camera || kind == NodeKind::PipelineNode;
}
// Fills the camera's name, driver and bus from the node's answer; error is
// the errno of a node that does not answer.
NodeKind askNode(int fd, CameraEntry& camera, int& error);

enum class StreamEnd { Stopped, Lost, Failed, Stalled, QueueFailed };
// Delivers the device's frames until a stop, an unplug, a failure, a stall
// (no buffer at all for two seconds, or three frame intervals; five seconds
// for the first after a start) or a queue error (its errno in
// run.device.failure).
StreamEnd streamFrames(CaptureRun& run);
// Starts streaming `fd` in the run's mode; the descriptor is the run's from
// here on, whatever the outcome. Every opening of the camera passes here, the
// first and each after an unplug or a stall: the one place for what a camera
// must be told again when it has been opened anew.
bool startStream(int fd, CaptureRun& run, StartFailure& failure);
// Sets the run's controls on the camera just opened, and the automatics
// held before, and starts the wait before they are held. Nothing without a
// control set-up.
void applyCameraControls(CaptureRun& run);
// Switches the automatics to manual at the values they reached, with a line.
void holdAutomatics(CaptureRun& run);
// The current value of a control; false when it cannot be read.
bool readControl(int fd, uint32_t id, uint32_t type, int64_t& value);
// STREAMOFF, every buffer queued again, STREAMON: what videobuf2 needs to
// clear a queue error, and what starts a stopped transfer again. 0, or the
// errno of the call that failed.
int restartStream(V4l2Stream& stream);
// Gives up a device that is gone: its buffers and its descriptor, so that
// the driver can free it and give its node to the camera when it returns.
void releaseLostDevice(CaptureRun& run);
// Says that the camera is unplugged and waited for.
void reportLoss(int error);

// Opens the capture node that is `camera` come back: the same bus path, or
// the same name on a node that is not another camera of that name (one in
// `others`). -1 when there is none yet.
int openCameraAgain(const CameraEntry& camera, const std::vector<std::string>& others, std::string& path);
// The capture nodes of other cameras with the camera's name: not to be taken
// for it.
std::vector<std::string> namesakes(const CameraEntry& camera);

// A start that failed while the camera is there is tried again after a
// pause, first this long, then twice as long each time, up to the longest.
constexpr int64_t firstPauseMs = 1000;
constexpr int64_t longestPauseMs = 30000;
int64_t nextPauseMs(V4l2Recovery& recovery);
// Counts a failed start and says it, once for each kind of failure.
void noteStartFailure(CaptureRun& run, const StartFailure& failure);

// Why the camera is opened again.
enum class Reopening { Replugged, StartFailed, Stalled };
// Opens the camera again and streams it in the run's mode (true), or ends
// (false: a stop, a return without its mode, an answer that cannot be used,
// /dev that cannot be watched). While its node is missing the thread sleeps
// until one appears in /dev (inotify); while the node is there but the
// driver fails, it tries again after a pause that grows to 30 s, with one
// line for each kind of failure.
bool reopenCamera(CaptureRun& run, Reopening why);
// What to do about a stream that stalled or whose queue failed: restart it,
// then open the camera again. False when the thread ends.
bool recoverStream(CaptureRun& run, StreamEnd trouble);
