#include "platform/audio_device.h"

#include <SDL.h>

#include <atomic>
#include <cstring>

#include "platform/monotonic_time.h"

namespace {
// One device at a time; its request lives as long as it is open.
AudioDeviceRequest openRequest{};
// Monotonic milliseconds of the last callback's start and end; a start later
// than the end means one runs now.
std::atomic<uint64_t> callbackStartMs{0};
std::atomic<uint64_t> callbackEndMs{0};

// Whether this layer holds SDL's audio subsystem: from the first opening until
// the driver is released, across the reopenings of a lost device.
bool driverHeld = false;

void releaseDriver() {
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  driverHeld = false;
}

void SDLCALL deviceCallback(void*, Uint8* stream, int length) {
  callbackStartMs.store(monotonicMilliseconds(), std::memory_order_relaxed);
  const uint32_t frames = static_cast<uint32_t>(length) / 4;
  openRequest.callback(openRequest.user, reinterpret_cast<int16_t*>(stream), frames);
  std::memset(stream + frames * 4, 0, static_cast<size_t>(length) - frames * 4);
  callbackEndMs.store(monotonicMilliseconds(), std::memory_order_release);
}
}  // namespace

uint32_t openAudioDevice(const AudioDeviceRequest& request, AudioDeviceFailure& failure,
                         std::string& reason) {
  failure = AudioDeviceFailure::None;
  const bool startingDriver = !driverHeld;
  if (startingDriver) {
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
      failure = AudioDeviceFailure::NoDriver;
      reason = SDL_GetError();
      return 0;
    }
    driverHeld = true;
  }
  openRequest = request;
  SDL_AudioSpec want{};
  want.freq = static_cast<int>(request.rate);
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = static_cast<Uint16>(request.periodFrames);
  want.callback = deviceCallback;
  SDL_AudioSpec have{};
  const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (id == 0) {
    failure = AudioDeviceFailure::NoDevice;
    reason = SDL_GetError();
    if (startingDriver) releaseDriver();
    return 0;
  }
  return id;
}

const char* audioDriverName() {
  const char* name = driverHeld ? SDL_GetCurrentAudioDriver() : nullptr;
  return name ? name : "";
}

void startAudioDevice(uint32_t device) {
  const uint64_t now = monotonicMilliseconds();
  callbackStartMs.store(now, std::memory_order_relaxed);
  callbackEndMs.store(now, std::memory_order_release);
  SDL_PauseAudioDevice(device, 0);
}

AudioDeviceHealth audioDeviceHealth(uint32_t device, uint32_t silentMs) {
  const uint64_t end = callbackEndMs.load(std::memory_order_acquire);
  const uint64_t start = callbackStartMs.load(std::memory_order_relaxed);
  const uint64_t now = monotonicMilliseconds();
  if (start > end && now - start >= silentMs) return AudioDeviceHealth::Stuck;
  // SDL stops a device whose driver reports it gone (a sound server that
  // died, a USB interface unplugged) and calls back no more.
  if (SDL_GetAudioDeviceStatus(device) != SDL_AUDIO_PLAYING) return AudioDeviceHealth::Lost;
  if (start <= end && now - end >= silentMs) return AudioDeviceHealth::Lost;
  return AudioDeviceHealth::Playing;
}

uint64_t msSinceAudioCallback() {
  const uint64_t end = callbackEndMs.load(std::memory_order_acquire);
  const uint64_t now = monotonicMilliseconds();
  return now > end ? now - end : 0;
}

void closeAudioDevice(uint32_t device, AudioDriver driver) {
  SDL_CloseAudioDevice(device);  // waits for the audio thread to end
  if (driver == AudioDriver::Release) releaseDriver();
}
