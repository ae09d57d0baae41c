#include "platform/audio_device.h"

#include <SDL.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/monotonic_time.h"

namespace {
// One device at a time; its request lives as long as it is open.
AudioDeviceRequest openRequest{};
// Monotonic milliseconds of the last callback's start and end; a start later
// than the end means one runs now.
std::atomic<uint64_t> callbackStartMs{0};
std::atomic<uint64_t> callbackEndMs{0};
std::atomic<uint64_t> underruns{0};
// The audio thread's own: what it handed over and when.
CallbackPacing pacing{};
uint64_t framesGiven = 0;
uint32_t lateAfterFrames = 0;  // set while the device is closed
// How long a callback may wait before the device takes its frames (see
// holdForDevice), set while the device is closed; and, inside a callback,
// until when this one may wait (0: not at all).
int64_t holdNanoseconds = 0;
thread_local int64_t holdUntilNanoseconds = 0;

// Whether this layer holds SDL's audio subsystem: from the first opening until
// the driver is released, across the reopenings of a lost device.
bool driverHeld = false;

// Whether late callbacks are gaps: SDL's dummy and disk drivers pace
// themselves by sleeping a period after each callback, a little slower or
// faster than a sound card, and have no buffer to run dry.
bool countGaps = false;

// Those drivers sleep whole milliseconds after each period without counting
// the time the period itself took, so short periods add that time up to a
// pace below real time on a busy machine. They get the longer period of
// old: 23.2 ms of sound for a sleep of 23 ms leaves room for the work.
constexpr uint32_t sleepingDriverPeriodFrames = 1024;

bool sleepingDriver(const char* driver) {
  return driver && (std::strcmp(driver, "dummy") == 0 || std::strcmp(driver, "disk") == 0);
}

// PulseAudio's buffer behind the period (libpulse's own default: one period),
// and so the size of its requests: a quarter of it.
uint32_t soundServerRequestFrames(uint32_t rate, uint32_t periodFrames) {
  uint64_t bufferFrames = periodFrames;
  const char* ms = std::getenv("PULSE_LATENCY_MSEC");
  char* end = nullptr;
  const unsigned long value = ms ? std::strtoul(ms, &end, 10) : 0;
  if (ms && end != ms && *end == '\0' && value > 0 && value < 10000) bufferFrames = uint64_t(rate) * value / 1000;
  return uint32_t(bufferFrames / 4);
}

void releaseDriver() {
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  driverHeld = false;
}

void SDLCALL deviceCallback(void*, Uint8* stream, int length) {
  const int64_t now = monotonicNanoseconds();
  callbackStartMs.store(uint64_t(now / 1000000), std::memory_order_relaxed);
  const uint32_t frames = static_cast<uint32_t>(length) / 4;
  if (callbackCameLate(pacing, now, framesGiven, openRequest.rate, lateAfterFrames) && countGaps)
    underruns.fetch_add(1);
  const bool settled = framesGiven >= openRequest.rate;
  holdUntilNanoseconds = settled ? now + std::max<int64_t>(0, holdNanoseconds - pacing.latenessNanoseconds) : 0;
  framesGiven += frames;
  openRequest.callback(openRequest.user, reinterpret_cast<int16_t*>(stream), frames);
  holdUntilNanoseconds = 0;
  std::memset(stream + frames * 4, 0, static_cast<size_t>(length) - frames * 4);
  callbackEndMs.store(monotonicMilliseconds(), std::memory_order_release);
}
}  // namespace

void askSoundServerBuffer(uint32_t milliseconds) {
  setenv("PULSE_LATENCY_MSEC", std::to_string(milliseconds).c_str(), 0);
}

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
  const bool sleeping = sleepingDriver(SDL_GetCurrentAudioDriver());
  want.samples = static_cast<Uint16>(sleeping ? sleepingDriverPeriodFrames : request.periodFrames);
  want.callback = deviceCallback;
  SDL_AudioSpec have{};
  const SDL_AudioDeviceID id = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (id == 0) {
    failure = AudioDeviceFailure::NoDevice;
    reason = SDL_GetError();
    if (startingDriver) releaseDriver();
    return 0;
  }
  countGaps = !sleeping;
  const bool pulse = std::strcmp(SDL_GetCurrentAudioDriver(), "pulseaudio") == 0;
  const uint32_t requestFrames = pulse ? soundServerRequestFrames(request.rate, have.samples) : 0;
  lateAfterFrames = have.samples + requestFrames;
  holdNanoseconds = int64_t(uint64_t(requestFrames) * 1000000000ull / request.rate);
  return id;
}

const char* audioDriverName() {
  const char* name = driverHeld ? SDL_GetCurrentAudioDriver() : nullptr;
  return name ? name : "";
}

void startAudioDevice(uint32_t device) {
  pacing = {};  // the callbacks are not running: the thread that owns these waits for the unpause
  framesGiven = 0;
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

uint64_t audioDeviceUnderruns() { return underruns.load(); }

void holdForDevice() {
  const int64_t until = holdUntilNanoseconds;
  holdUntilNanoseconds = 0;
  if (until <= monotonicNanoseconds()) return;
  const timespec at{time_t(until / 1000000000), long(until % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
}

bool callbackCameLate(CallbackPacing& pacing, int64_t now, uint64_t given, uint32_t rate,
                      uint32_t allowedFrames) {
  // Whole seconds apart: months of frames times 10^9 would overflow.
  const int64_t played = int64_t(given / rate) * 1000000000 + int64_t((given % rate) * 1000000000ull / rate);
  const int64_t origin = now - played;    // frame 0's due time, were this callback just in time
  if (!pacing.started || given < rate) {  // the first second: the device fills its buffer and settles
    pacing = {true, origin, now, 0};
    return false;
  }
  // A sound card's clock may run slower than the system's: let the origin follow by up to 0.1 %.
  const int64_t allowed =
      pacing.originNanoseconds + std::max<int64_t>(0, now - pacing.lastNanoseconds) / 1000;
  pacing.lastNanoseconds = now;
  pacing.originNanoseconds = std::min(allowed, origin);
  pacing.latenessNanoseconds = origin - pacing.originNanoseconds;
  if (pacing.latenessNanoseconds <= int64_t(uint64_t(allowedFrames) * 1000000000ull / rate)) return false;
  pacing.originNanoseconds = origin;  // the device waited: it plays on from here
  return true;
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
