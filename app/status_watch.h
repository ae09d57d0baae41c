#pragma once
// How the installation is doing, told to whoever watches from afar: a status
// line for the service manager every 5 s (only under one), the OSC heartbeat
// once a second, the alert command when the camera or the sound has been
// down for a minute and when it is back, and the last line at the end.
#include <cstdint>
#include <string>

// What the camera is doing, as the heartbeat carries it.
enum class CameraStatus : int32_t { None = 0, Delivering = 1, Unplugged = 2, NoFrames = 3, Ended = 4 };

struct StatusTiming {
  uint32_t statusPeriodMs;     // the service manager's status line
  uint32_t heartbeatPeriodMs;  // the OSC heartbeat, and the frame rate's window
  uint32_t alertAfterMs;       // a part down this long is alerted
  uint32_t framelessMs;        // a camera without frames this long counts as down
};
constexpr StatusTiming statusTiming = {5000, 1000, 60000, 2000};

// Once per pass of the message loop: samples the camera and the sound, and
// sends what is due. Reads atomics only; never waits.
void statusWatchTick();
// Before the shutdown stops the camera and the sound: their last counts.
void statusWatchFinish();
// At the very end: "ran for D: N frames, M camera losses, K audio losses,
// U underruns", once; nothing when the installation never started.
void reportRun();

// "3 d 4 h", "2 h 5 min", "2 min 5 s", "45 s": the two largest units,
// rounded down, the second left out when it is 0.
std::string formatDuration(uint64_t seconds);

// What a status line says.
struct StatusSnapshot {
  CameraStatus camera;
  int32_t framesPerSecond;
  int32_t movingPercent;
  uint64_t cameraDownSeconds;  // how long the camera has been down, when it is
  int32_t sound;               // AudioOutputStatus as a number
  uint64_t soundDownSeconds;
  uint64_t upSeconds;
};
// "playing; camera 30 fps, 2 % moving; up 3 d 4 h", or with what is down
// first: "camera lost 2 min ago; sound playing; up 5 min".
std::string statusLine(const StatusSnapshot& snapshot);

// Test seam: other timing, and the watch started afresh; nullptr restores it.
void setStatusTiming(const StatusTiming* timing);
