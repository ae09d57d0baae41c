#pragma once
// A camera's frames in recording time, as fast as they can be made: the
// offline renderer's frame source. Frames come in the same analysis layout,
// through the same conversions, as the live camera layer delivers them.
#include <cstdint>
#include <memory>
#include <string>

#include "camera/frame_layout.h"

struct OfflineCamera;
struct OfflineCameraRelease {
  void operator()(OfflineCamera* camera) const;
};

struct OfflineSource {
  std::unique_ptr<OfflineCamera, OfflineCameraRelease> camera;
  int32_t width;
  int32_t height;
  int32_t framesPerSecond;
  double durationSeconds;  // one pass of the recording; 0 when unknown
  double passEndSeconds;   // > 0 once a pass ended well before durationSeconds: where
};

// "demo" for the built-in demo camera, else the path of a video file. False
// with a reason (such as "No such file or directory") when it cannot be used.
bool openOfflineSource(OfflineSource& source, const char* name, std::string& reason);
// The next frame and its time in seconds from the start of the recording; a
// file plays on from its start when it ends (a file cut short too, once it
// has said so and set passEndSeconds). False when no picture can be had.
bool nextOfflineFrame(OfflineSource& source, FrameRecord& frame, double& seconds);
void closeOfflineSource(OfflineSource& source);
