#pragma once
// The camera layer's own records, shared by its source files only.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_controls.h"
#include "camera/capture_formats.h"
#include "camera/capture_library.h"

struct AVFormatContext;
struct CameraSource;

struct CameraEntry {
  const CameraSource* source;
  std::string path;  // device node or video file
  std::string name;
  std::string driver;   // who delivers its frames: the V4L2 driver, "FFmpeg", "built in"
  std::string busInfo;  // V4L2: where it is plugged in (QUERYCAP bus_info); else empty
};

struct CaptureMode {
  int32_t width;
  int32_t height;
  int32_t framesPerSecond;
  int32_t formatCode;  // V4L2: the FourCC; video file: FFmpeg's codec id
};

constexpr uint32_t maxStreamBuffers = 4;
// A driver may grant more buffers than asked (up to VIDEO_MAX_FRAME) and
// need all of them queued before it fills one: every granted one is mapped.
constexpr uint32_t maxGrantedBuffers = 32;

struct StreamBuffer {
  void* start;
  size_t length;
};

// A V4L2 device while it streams.
struct V4l2Stream {
  int fd;
  uint32_t fourcc;
  int32_t width;
  int32_t height;
  uint32_t bytesPerLine;
  StreamBuffer buffers[maxGrantedBuffers];
  uint32_t bufferCount;
  bool streaming;
  int64_t lastBufferNanoseconds;  // monotonic: the last buffer dequeued, whole or not, or the start
  bool buffered;                  // a buffer came since the start
  int failure;                    // errno of the call that found the queue failed
  // Frames that arrived since the last one the analysis got, and when that was.
  int64_t lastUsableNanoseconds;  // monotonic
  uint32_t unusableFrames;
  const char* lastRefusal;
  bool silenceReported;
};

// What the V4L2 camera has tried since its frames stopped or a start failed;
// kept across the reopenings it makes.
struct V4l2Recovery {
  int64_t troubleSinceNanoseconds;  // the last buffer before a stall or a queue error; 0: none
  int steps;                        // restarts and reopenings since then
  uint32_t attempts;                // starts tried since the last one that streamed
  int64_t pauseMs;                  // before the next attempt
  const char* lastStep;             // the last failure said, so each kind is said once
  int lastError;
};

// A video file's pictures on the recording's time line: the same stamps live
// and offline.
struct PictureClock {
  uint32_t pictures;  // stamped so far
  int64_t firstPts;
  double loopOffset;  // seconds added once the file started over
  double lastSeconds;
  double framesPerSecond;  // for pictures without a time stamp
  uint32_t passes;         // the file's rewinds when the last picture was stamped
};

// A video file while it plays.
struct FileStream {
  AVFormatContext* format;
  int streamIndex;
  double framesPerSecond;
  uint32_t rewinds;  // times the file started over
  PictureClock clock;
  int64_t lastPacketPts;  // of the video stream, to say where a read failed
  bool unreadable;        // reading stopped for good, said in a line
  bool cutShort;          // its pictures ended well before its header said, said in a line
};

// An automatic switched to manual at the value it reached.
struct HeldControl {
  std::string name;    // the automatic's
  uint32_t automatic;  // its control, and the value that turns it off
  int32_t manual;
  uint32_t control;  // the value it had reached, 0 when the camera has none to set
  uint32_t type;
  int64_t value;
};

// A capture's camera controls: what each opening of the camera sets, and
// the automatics once held.
struct ControlRun {
  CameraControlSetup setup;
  int64_t holdDueNanoseconds;  // monotonic; 0: no hold waiting
  bool holdDone;
  std::vector<HeldControl> held;
  bool said;  // the first opening's lines are said; the same again after a replug are not
};

// What the capture thread is doing, for captureActivity.
enum class CapturePhase : uint8_t { Streaming, WaitingForCamera, Ended };

// One capture from start to stop.
struct CaptureRun {
  const CameraSource* source;
  CameraEntry camera;
  std::thread thread;
  int stopFd;  // eventfd: written once to end the thread
  std::atomic<bool> running;
  uint32_t id;
  // Published by the capture thread, read lock-free by captureActivity.
  std::atomic<CapturePhase> phase;
  std::atomic<int64_t> signNanoseconds;        // monotonic: last frame delivered or knowing wake
  std::atomic<int64_t> stallAfterNanoseconds;  // no sign by then: stalled
  std::atomic<uint64_t> framesDelivered;
  std::atomic<int64_t> frameNanoseconds;  // monotonic: the last frame delivered, or since the camera is there
  CaptureFrameCallback callback;
  uint32_t tag;
  uint32_t user;
  CaptureMode mode;
  LayoutTarget target;
  size_t layoutBytes;
  PictureDecoder decoder;
  V4l2Stream device;
  V4l2Recovery recovery;
  ControlRun controls;
  FileStream file;
};

struct CaptureSystem {
  bool acquired;
  std::vector<CameraEntry> cameras;
  std::vector<CameraSkip> skipped;
  bool listed;
  int32_t connected;  // index into cameras, -1 when none
  std::vector<CaptureMode> modes;
  int deviceFd;  // V4L2 node of the connected camera; the capture's own while it runs
  bool capturing;
  CaptureRun run;
};

// A camera's frames in recording time, for the offline renderer.
struct OfflineCamera {
  const CameraSource* source;
  CaptureRun run;
  std::vector<uint8_t> layout;
  std::vector<uint8_t> grey;  // the demo's picture
  uint32_t frameIndex;
  double lastSeconds;
  int32_t framesPerSecond;
  double passEndSeconds;  // > 0 once a pass ended short of the header's length: where
};

// What one kind of camera does, filled in by its own file. The layer calls
// through it and never asks which kind a camera is; a new kind is a new file
// and one line in cameraSources (capture_enumeration.cpp).
struct CameraSource {
  // Whether TESSARO_CAMERA's value picks this source (nullptr: not set).
  bool (*chosenBy)(const char* choice);
  // The cameras of this source for that value, and in `skipped` why each
  // camera (or format of one) that is there cannot be used.
  std::vector<CameraEntry> (*list)(const char* choice, std::vector<CameraSkip>& skipped);
  // Opens the camera and fills system.modes; false when it cannot be used.
  bool (*connect)(CaptureSystem& system, const CameraEntry& camera);
  void (*disconnect)(CaptureSystem& system);
  // The name of one of its modes' format codes.
  std::string (*formatName)(int32_t formatCode);
  // Readies run (its mode, target and stop descriptor set) to deliver frames;
  // false when it cannot. stop releases what it made either way.
  bool (*start)(CaptureSystem& system, const CameraEntry& camera, CaptureRun& run);
  // The capture thread: delivers frames until a stop or the camera's end.
  void (*run)(CaptureRun& run);
  // After the thread ended: releases what start and run made, and hands what
  // the camera keeps between captures back to the system.
  void (*stop)(CaptureSystem& system, CaptureRun& run);
  // Offline, in recording time; nullptr for a source that cannot be rendered.
  // open fills the mode and the length of one pass (0 when unknown).
  bool (*openOffline)(OfflineCamera& camera, const char* name, CaptureMode& mode, double& durationSeconds,
                      std::string& reason);
  // Places the next frame into camera.layout with its time in the recording.
  bool (*nextOffline)(OfflineCamera& camera, double& seconds);
  void (*closeOffline)(OfflineCamera& camera);
};

extern const CameraSource v4l2Source;
extern const CameraSource demoSource;
extern const CameraSource videoFileSource;

// The source TESSARO_CAMERA's value picks (nullptr or empty: not set).
const CameraSource& cameraSourceFor(const char* choice);

// A V4L2 FourCC as a format name ("YUYV", "MJPG").
std::string fourCodeName(int32_t formatCode);

// --- enumeration ---
// The cameras TESSARO_CAMERA's value (or its absence) names.
std::vector<CameraEntry> findCameras(std::vector<CameraSkip>& skipped);
// The V4L2 capture nodes in videoDeviceFolder(), in numeric order.
std::vector<CameraEntry> listCaptureNodes(std::vector<CameraSkip>& skipped);
// The paths of the videoN entries of videoDeviceFolder(), in numeric order.
std::vector<std::string> videoNodePaths();

// --- V4L2 ---
// Fills `camera` (name, driver, bus) for a node that captures video by
// streaming and returns true; otherwise says why in `skipped`, unless the
// node is no camera at all (UVC metadata, output, radio...) and was not
// `named` by the user. The formats it leaves out are said there too.
bool queryCaptureNode(const char* path, bool named, CameraEntry& camera, std::vector<CameraSkip>& skipped);
int openCaptureNode(const char* path);
void listV4l2Modes(int fd, std::vector<CaptureMode>& modes);
// Why a start failed: what the camera did and the driver's errno, 0 when its
// answer cannot be used (said in a line already).
struct StartFailure {
  const char* step;
  int error;
};
bool startV4l2Stream(int fd, const CaptureMode& mode, V4l2Stream& stream, StartFailure& failure);
void stopV4l2Stream(V4l2Stream& stream);
void runV4l2Capture(CaptureRun& run);
// Says in one line that a camera without controls leaves the run's control
// set-up alone; nothing without one.
void noteNoControls(const CaptureRun& run);
// The set-up the next capture takes (setCameraControlSetup).
CameraControlSetup cameraControlSetup();
// The node's controls, each with its current value where it has one.
std::vector<CameraControl> listDeviceControls(int fd);

// --- demo camera ---
constexpr int32_t demoWidth = 640;
constexpr int32_t demoHeight = 480;
constexpr int32_t demoFramesPerSecond = 30;
// Draws frame `frame` of the demo scene as demoWidth x demoHeight grey bytes.
void renderDemoFrame(uint32_t frame, uint8_t* grey);
void runDemoCapture(CaptureRun& run);

// --- video file ---
// Size and rate of a file's first video stream; false with a reason.
bool probeVideoFile(const char* path, CaptureMode& mode, std::string& reason);
bool openVideoFile(const char* path, CaptureRun& run);
void closeVideoFile(CaptureRun& run);
// Decodes the next picture into run.decoder.frame, rewinding at the end of
// the file. False when the file yields no picture at all.
bool nextPicture(CaptureRun& run);
// Places run.decoder.frame into run.target and releases the picture; false
// when it cannot be converted (it is skipped, as a camera drops a frame).
bool placeVideoPicture(CaptureRun& run);
void runVideoFileCapture(CaptureRun& run);
// Tests: replaces how a video file's pictures are placed, live and offline;
// nullptr restores placeDecodedPicture.
using PicturePlacer = bool (*)(const AVFrame* picture, PictureDecoder& decoder, const LayoutTarget& target);
void setVideoPicturePlacer(PicturePlacer placer);

// The time of a decoded picture on the recording's time line, from its time
// stamp. A file that started over (its rewinds differ from the last picture's)
// carries on one frame after where it ended; a time stamp that repeats or goes
// back within a pass gives the time of the picture before.
double stampPicture(PictureClock& clock, const AVFrame* picture, double secondsPerTick, uint32_t rewinds);
// Tests: replaces how a video file's packets are read (av_read_frame's
// contract), live and offline; nullptr restores av_read_frame.
using PacketReader = int (*)(AVFormatContext* format, AVPacket* packet);
void setVideoPacketReader(PacketReader reader);

// --- capture thread ---
// Waits until `timeoutMs` passed (-1: forever) or a stop was asked; true on
// stop. A timed wait counts as a sign of life for its whole length.
bool waitForStop(CaptureRun& run, int timeoutMs);
// The same until the monotonic clock reads `dueNanoseconds`, to the microsecond.
bool waitForStopUntil(CaptureRun& run, int64_t dueNanoseconds);
// A wait of the thread's own until then (a poll with a timeout) counts as a sign of life.
void noteWaitUntil(CaptureRun& run, int64_t dueNanoseconds);
// The capture thread is awake and doing its work (for captureActivity).
void noteSign(CaptureRun& run);
void setCapturePhase(CaptureRun& run, CapturePhase phase);
// Hands the layout to the callback.
void deliverFrame(CaptureRun& run);
