#include "platform/audio_device.h"

#include <SDL.h>

#include <cstring>

namespace {
// One device at a time; its request lives as long as it is open.
AudioDeviceRequest openRequest{};

void SDLCALL deviceCallback(void*, Uint8* stream, int length) {
  const uint32_t frames = static_cast<uint32_t>(length) / 4;
  openRequest.callback(openRequest.user, reinterpret_cast<int16_t*>(stream), frames);
  std::memset(stream + frames * 4, 0, static_cast<size_t>(length) - frames * 4);
}
}  // namespace

uint32_t openAudioDevice(const AudioDeviceRequest& request, AudioDeviceFailure& failure,
                         std::string& reason) {
  failure = AudioDeviceFailure::None;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    failure = AudioDeviceFailure::NoDriver;
    reason = SDL_GetError();
    return 0;
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
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return 0;
  }
  return id;
}

void startAudioDevice(uint32_t device) { SDL_PauseAudioDevice(device, 0); }

void closeAudioDevice(uint32_t device) {
  SDL_CloseAudioDevice(device);  // waits for the audio thread to end
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}
