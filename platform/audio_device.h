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

// Opens the default output, paused; 0 with `failure` and `reason` set when it
// cannot be had.
uint32_t openAudioDevice(const AudioDeviceRequest& request, AudioDeviceFailure& failure, std::string& reason);
// Starts the device's callbacks.
void startAudioDevice(uint32_t device);
// Stops and closes the device: once it returns no callback runs or will run.
void closeAudioDevice(uint32_t device);
