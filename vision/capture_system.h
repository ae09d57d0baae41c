#pragma once
// The camera layer's own records, shared by its source files only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "vision/capture_formats.h"
#include "vision/capture_library.h"

struct AVFormatContext;

enum class CameraKind : uint8_t { V4l2, Demo, VideoFile };

struct CameraEntry {
  CameraKind kind;
  std::string path;  // device node or video file
  std::string name;
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
  // Frames that arrived since the last one the analysis got, and when that was.
  std::chrono::steady_clock::time_point lastUsable;
  uint32_t unusableFrames;
  const char* lastRefusal;
  bool silenceReported;
};

// A video file while it plays.
struct FileStream {
  AVFormatContext* format;
  int streamIndex;
  double framesPerSecond;
  uint32_t rewinds;  // times the file started over
};

// One capture from start to stop.
struct CaptureRun {
  std::thread thread;
  int stopFd;  // eventfd: written once to end the thread
  std::atomic<bool> running;
  uint32_t id;
  CaptureFrameCallback callback;
  uint32_t tag;
  uint32_t user;
  CaptureMode mode;
  LayoutTarget target;
  size_t layoutBytes;
  PictureDecoder decoder;
  V4l2Stream device;
  FileStream file;
};

struct CaptureSystem {
  bool acquired;
  std::vector<CameraEntry> cameras;
  bool listed;
  int32_t connected;  // index into cameras, -1 when none
  std::vector<CaptureMode> modes;
  int deviceFd;  // V4L2 node of the connected camera
  bool capturing;
  CaptureRun run;
};

// --- enumeration ---
std::vector<CameraEntry> listCameras();

// --- V4L2 ---
// Name (card) of a node that captures video by streaming; false otherwise.
bool queryCaptureNode(const char* path, std::string& name);
int openCaptureNode(const char* path);
void listV4l2Modes(int fd, std::vector<CaptureMode>& modes);
bool startV4l2Stream(int fd, const CaptureMode& mode, V4l2Stream& stream);
void stopV4l2Stream(V4l2Stream& stream);
void runV4l2Capture(CaptureRun& run);

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

// --- capture thread ---
// Waits until `timeoutMs` passed (-1: forever) or a stop was asked; true on stop.
bool waitForStop(const CaptureRun& run, int timeoutMs);
// Hands the layout to the callback.
void deliverFrame(CaptureRun& run);
