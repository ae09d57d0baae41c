#pragma once
// The system's default sound output, through SDL: signed 16-bit interleaved
// stereo, fed by a callback on the device's own thread.
#include <cstdint>
#include <string>

// Fills `frames` frames of 16-bit stereo at `samples`.
using AudioDeviceCallback = void (*)(void* user, int16_t* samples, uint32_t frames);

enum class AudioDeviceFailure : uint8_t {
  None,
  NoDriver,  // no way to play sound at all (no sound server, no ALSA device)
  NoDevice,  // a driver, but the default output would not open in that format
};

struct AudioDeviceRequest {
  uint32_t rate;
  uint32_t periodFrames;  // frames the device takes per callback
  AudioDeviceCallback callback;
  void* user;
};

// How much sound PulseAudio holds behind SDL's period, in milliseconds. SDL
// asks for one period and PulseAudio then asks for more every quarter of it:
// with a period of 10 ms it wakes the audio thread 400 times a second, and a
// 2.5 ms hiccup plays a gap. Set through libpulse's PULSE_LATENCY_MSEC, only
// when the environment does not set it already; call it before any thread
// starts, as it writes the environment.
void askSoundServerBuffer(uint32_t milliseconds);

// Opens the default output, paused; 0 with `failure` and `reason` set when it
// cannot be had.
uint32_t openAudioDevice(const AudioDeviceRequest& request, AudioDeviceFailure& failure, std::string& reason);
// The name of the audio driver a device was last opened through
// ("pulseaudio", "alsa", ...); empty before the first opening.
const char* audioDriverName();

// Starts the device's callbacks.
void startAudioDevice(uint32_t device);

enum class AudioDeviceHealth : uint8_t {
  Playing,  // callbacks come, or have not been due for long
  Lost,     // the device or its sound server went away, or callbacks stopped coming
  Stuck,    // a callback has not returned for seconds: closing would wait for it for ever
};
// How the started device is doing. Callbacks that stop for `silentMs` count as
// a lost device; one that runs that long counts as stuck.
AudioDeviceHealth audioDeviceHealth(uint32_t device, uint32_t silentMs);
// Milliseconds since the device's callback last returned (or since it was
// started, before the first one), for a watchdog.
uint64_t msSinceAudioCallback();

// Callbacks that came too late since the first device was opened: each one
// later than the device could wait, so that it played a gap (an underrun).
uint64_t audioDeviceUnderruns();

// Called inside the device's callback before rendering what should follow
// the motion as closely as it can (the start of a synthesis step): waits
// while the device would not take the frames anyway. Through PulseAudio SDL
// calls back as soon as the last period is written, when the server's buffer
// is full, and the server asks for more only once a request's worth (a
// quarter of its buffer, 5 ms at 20 ms) has played: rendering that much later
// costs the buffer nothing and makes the sound that much sooner. A callback
// that came late waits that much less; in the first second, outside a
// callback, through other drivers and a second time in one callback it
// returns at once.
void holdForDevice();
// How a device's callbacks keep time with what it plays. A callback that
// asks for frames after `given` frames were handed over should come by the
// time those have played; the earliest any callback came, so measured, is
// its due time (a device runs ahead while it fills its buffer), allowed to
// drift by 0.1 % for a sound card's clock and measured only after the first
// second, while the device settles its buffer. Lateness over `allowedFrames`
// (one period, and the size in which the sound server asks for more, as a
// callback waits for a whole period's worth of its requests) means the
// device ran dry.
struct CallbackPacing {
  bool started;
  int64_t originNanoseconds;  // the due time of frame 0 on the monotonic clock
  int64_t lastNanoseconds;
  int64_t latenessNanoseconds;  // the last callback's, after the first second
};
// Counts the callback at `now`; true when it came late.
bool callbackCameLate(CallbackPacing& pacing, int64_t nowNanoseconds, uint64_t given, uint32_t rate,
                      uint32_t allowedFrames);
enum class AudioDriver : uint8_t {
  Keep,     // to open the device again
  Release,  // for good
};
// Stops and closes the device: once it returns no callback runs or will run.
void closeAudioDevice(uint32_t device, AudioDriver driver);
