#include "audio/audio_library.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "audio/audio_device_supervisor.h"
#include "audio/reverb.h"
#include "platform/audio_device.h"
#include "platform/diagnostics.h"

namespace {
constexpr int32_t maxEffectsPerStream = audioMaxEffects;

struct AudioStream {
  uint32_t handle;  // 0: the slot is free
  STREAMPROC* procedure;
  uint32_t user;
  bool playing;
  bool ending;                            // the procedure gave less than asked: play the block out, then stop
  uint32_t effects[maxEffectsPerStream];  // in the order they were set
  int32_t effectCount;
  uint32_t blockFrames;
  uint32_t blockPosition;
  int16_t request[audioRequestFrames * 2];
  float block[audioRequestFrames * 2];
};

struct AudioEffect {
  uint32_t handle;  // 0: the slot is free
  ReverbState reverb;
};

struct AudioLibrary {
  // Guards everything below; held by the audio thread for a whole render,
  // which is what keeps stream procedure calls from overlapping.
  std::mutex lock;
  bool initialised;
  bool deviceOpen;
  uint32_t device;
  uint32_t rate;
  uint32_t nextHandle;
  AudioStream streams[audioMaxStreams];
  AudioEffect effects[audioMaxEffects];
  float mix[audioRequestFrames * 2];
  uint64_t framesOut;   // output frames since the library was opened
  uint64_t fadeFrames;  // the fade-in's length, fixed at the opening
};

AudioLibrary library;
// Serialises BASS_Init and BASS_Free. Never taken by the audio thread, so
// opening and closing the device (which wait for that thread) can hold it.
std::mutex lifecycleLock;

std::atomic<uint32_t> reportedVersion{audioVersion};
std::atomic<uint32_t> callCount{0};
std::atomic<int32_t> streamLimit{audioMaxStreams};
std::atomic<int32_t> effectLimit{audioMaxEffects};
std::atomic<AudioEffectRunner*> effectRunner{processReverb};
thread_local int32_t lastError = AUDIO_OK;

// The output level (setOutputVolumeDb and friends): written by any thread,
// read by the audio thread.
std::atomic<float> outputGain{1.0f};
std::atomic<bool> outputMuted{false};
std::atomic<double> fadeInSeconds{0.0};

int32_t fail(int32_t code) {
  lastError = code;
  return 0;
}

int32_t succeed() {
  lastError = AUDIO_OK;
  return 1;
}

AudioStream* findStream(uint32_t handle) {
  if (handle == 0) return nullptr;
  for (AudioStream& s : library.streams) {
    if (s.handle == handle) return &s;
  }
  return nullptr;
}

template <typename Slot, int32_t count>
int32_t slotsInUse(const Slot (&slots)[count]) {
  int32_t used = 0;
  for (const Slot& slot : slots) used += slot.handle != 0;
  return used;
}

AudioEffect* findEffect(uint32_t handle) {
  if (handle == 0) return nullptr;
  for (AudioEffect& e : library.effects) {
    if (e.handle == handle) return &e;
  }
  return nullptr;
}

// The parameter calls' checks, in their order; null once the failure is
// recorded. The caller holds the lock.
AudioEffect* effectForRecord(uint32_t fx, const void* record) {
  int32_t error = AUDIO_OK;
  AudioEffect* effect = library.initialised ? findEffect(fx) : nullptr;
  if (!library.initialised) error = AUDIO_ERROR_NOT_INITIALISED;
  else if (!effect) error = AUDIO_ERROR_HANDLE;
  else if (!record) error = AUDIO_ERROR_PARAMETER;
  if (error == AUDIO_OK) return effect;
  fail(error);
  return nullptr;
}

int16_t toPcm16(float value) {
  float scaled = value * 32768.0f;
  if (scaled >= 32767.0f) return 32767;
  if (scaled <= -32768.0f) return -32768;
  if (scaled != scaled) return 0;  // NaN
  return static_cast<int16_t>(std::lrint(scaled));
}

// The mix of `frames` frames to 16-bit output, at the output's level. The
// caller holds the lock.
void convertMix(const float* mix, int16_t* output, uint32_t frames) {
  const uint64_t first = library.framesOut;
  library.framesOut += frames;
  if (outputMuted.load(std::memory_order_relaxed)) {
    std::fill(output, output + 2 * frames, int16_t{0});
    return;
  }
  const float gain = outputGain.load(std::memory_order_relaxed);
  if (first >= library.fadeFrames) {
    if (gain == 1.0f) {
      for (uint32_t i = 0; i < 2 * frames; ++i) output[i] = toPcm16(mix[i]);
    } else {
      for (uint32_t i = 0; i < 2 * frames; ++i) output[i] = toPcm16(mix[i] * gain);
    }
    return;
  }
  const auto fade = static_cast<double>(library.fadeFrames);
  for (uint32_t k = 0; k < frames; ++k) {
    const uint64_t frame = first + k;
    const float ramp = frame < library.fadeFrames ? static_cast<float>(static_cast<double>(frame) / fade) : 1.0f;
    const float level = gain * ramp;
    output[2 * k] = toPcm16(mix[2 * k] * level);
    output[2 * k + 1] = toPcm16(mix[2 * k + 1] * level);
  }
}

// Asks the procedure for the next block and runs it through the effects.
void refillStream(AudioStream& s) {
  std::memset(s.request, 0, sizeof s.request);
  uint32_t given = s.procedure(s.handle, s.request, audioRequestBytes, s.user);
  uint32_t frames = audioRequestFrames;
  if (given < audioRequestBytes) {
    s.ending = true;
    frames = given / 4;
  }
  for (uint32_t i = 0; i < frames * 2; ++i) s.block[i] = s.request[i] * (1.0f / 32768.0f);
  for (int32_t e = 0; e < s.effectCount; ++e) {
    AudioEffect* effect = findEffect(s.effects[e]);
    if (effect) effectRunner.load()(effect->reverb, s.block, frames);
  }
  s.blockFrames = frames;
  s.blockPosition = 0;
}

// Adds frameCount frames of the stream to the mix.
void mixStream(AudioStream& s, float* mix, uint32_t frameCount) {
  uint32_t done = 0;
  while (done < frameCount) {
    if (s.blockPosition == s.blockFrames) {
      if (s.ending) {
        s.ending = false;
        s.playing = false;
        return;
      }
      refillStream(s);
      continue;
    }
    uint32_t n = std::min(frameCount - done, s.blockFrames - s.blockPosition);
    const float* from = s.block + 2 * s.blockPosition;
    float* to = mix + 2 * done;
    for (uint32_t i = 0; i < 2 * n; ++i) to[i] += from[i];
    s.blockPosition += n;
    done += n;
  }
}

void forgetStreamsAndEffects() {
  for (AudioStream& s : library.streams) {
    s.handle = 0;
    s.playing = false;
  }
  for (AudioEffect& e : library.effects) {
    e.handle = 0;
    releaseReverb(e.reverb);
  }
}

// The checks BASS_Init and the offline opening share; on success the library
// is marked open (without a device).
int32_t openLibrary(uint32_t freq) {
  std::lock_guard guard(library.lock);
  if (library.initialised) return fail(AUDIO_ERROR_ALREADY);
  if (freq < 8000 || freq > 192000) return fail(AUDIO_ERROR_FORMAT);
  forgetStreamsAndEffects();
  library.initialised = true;
  library.deviceOpen = false;
  library.device = 0;
  library.rate = freq;
  library.framesOut = 0;
  library.fadeFrames = static_cast<uint64_t>(std::llround(fadeInSeconds.load() * freq));
  if (library.nextHandle == 0) library.nextHandle = 1;
  return succeed();
}

void closeLibrary() {
  std::lock_guard guard(library.lock);
  forgetStreamsAndEffects();
  library.initialised = false;
}
}  // namespace

uint32_t BASS_GetVersion() {
  ++callCount;
  return reportedVersion.load();
}

int32_t BASS_Init(int32_t device, uint32_t freq, uint32_t flags, void*, const void*) {
  ++callCount;
  if (device != audioOutputDevice) return fail(AUDIO_ERROR_DEVICE);
  if (flags != 0) return fail(AUDIO_ERROR_PARAMETER);
  std::lock_guard lifecycle(lifecycleLock);
  if (!openLibrary(freq)) return 0;

  AudioDeviceFailure failure = AudioDeviceFailure::None;
  std::string reason;
  const uint32_t id = openAudioDevice(outputDeviceRequest(freq), failure, reason);
  if (id == 0) {
    if (failure == AudioDeviceFailure::NoDriver) diagnostic("audio", "no audio driver: %s", reason.c_str());
    else diagnostic("audio", "cannot open the output device: %s", reason.c_str());
    closeLibrary();
    return fail(AUDIO_ERROR_DRIVER);
  }
  {
    std::lock_guard guard(library.lock);
    library.deviceOpen = true;
    library.device = id;
  }
  // Outside library.lock: unpausing takes the device's own lock, which the
  // audio thread holds while it waits for library.lock in a render.
  startAudioDevice(id);
  startDeviceSupervisor(freq);
  return succeed();
}

int32_t BASS_ErrorGetCode() {
  ++callCount;
  return lastError;
}

uint32_t BASS_StreamCreate(uint32_t freq, uint32_t chans, uint32_t flags, STREAMPROC* proc, uint32_t user) {
  ++callCount;
  std::lock_guard guard(library.lock);
  if (!library.initialised) return static_cast<uint32_t>(fail(AUDIO_ERROR_NOT_INITIALISED));
  if (!proc) return static_cast<uint32_t>(fail(AUDIO_ERROR_PARAMETER));
  if (freq != library.rate || chans != 2 || flags != 0) {
    return static_cast<uint32_t>(fail(AUDIO_ERROR_FORMAT));
  }
  if (slotsInUse(library.streams) >= streamLimit) {
    return static_cast<uint32_t>(fail(AUDIO_ERROR_NO_ROOM));
  }
  for (AudioStream& s : library.streams) {
    if (s.handle != 0) continue;
    s.handle = library.nextHandle++;
    s.procedure = proc;
    s.user = user;
    s.playing = false;
    s.ending = false;
    s.effectCount = 0;
    s.blockFrames = 0;
    s.blockPosition = 0;
    succeed();
    return s.handle;
  }
  return static_cast<uint32_t>(fail(AUDIO_ERROR_NO_ROOM));
}

uint32_t BASS_ChannelSetFX(uint32_t channel, uint32_t type) {
  ++callCount;
  std::lock_guard guard(library.lock);
  if (!library.initialised) return static_cast<uint32_t>(fail(AUDIO_ERROR_NOT_INITIALISED));
  AudioStream* stream = findStream(channel);
  if (!stream) return static_cast<uint32_t>(fail(AUDIO_ERROR_HANDLE));
  if (type != audioEffectReverb) return static_cast<uint32_t>(fail(AUDIO_ERROR_EFFECT_TYPE));
  if (stream->effectCount == maxEffectsPerStream || slotsInUse(library.effects) >= effectLimit) {
    return static_cast<uint32_t>(fail(AUDIO_ERROR_NO_ROOM));
  }
  for (AudioEffect& e : library.effects) {
    if (e.handle != 0) continue;
    // Each effect on a stream is a variant of its own: two reverbs in series
    // must not lift the same frequencies twice.
    if (!initReverb(e.reverb, library.rate, static_cast<uint32_t>(stream->effectCount))) {
      return static_cast<uint32_t>(fail(AUDIO_ERROR_MEMORY));
    }
    e.handle = library.nextHandle++;
    stream->effects[stream->effectCount++] = e.handle;
    succeed();
    return e.handle;
  }
  return static_cast<uint32_t>(fail(AUDIO_ERROR_NO_ROOM));
}

int32_t BASS_FXGetParameters(uint32_t fx, void* record) {
  ++callCount;
  std::lock_guard guard(library.lock);
  AudioEffect* effect = effectForRecord(fx, record);
  if (!effect) return 0;
  std::memcpy(record, &effect->reverb.parameters, sizeof(ReverbParameters));
  return succeed();
}

int32_t BASS_FXSetParameters(uint32_t fx, const void* record) {
  ++callCount;
  std::lock_guard guard(library.lock);
  AudioEffect* effect = effectForRecord(fx, record);
  if (!effect) return 0;
  ReverbParameters parameters;
  std::memcpy(&parameters, record, sizeof parameters);
  if (!setReverbParameters(effect->reverb, parameters)) return fail(AUDIO_ERROR_PARAMETER);
  return succeed();
}

int32_t BASS_StreamPlay(uint32_t stream, int32_t flush, uint32_t flags) {
  ++callCount;
  std::lock_guard guard(library.lock);
  if (!library.initialised) return fail(AUDIO_ERROR_NOT_INITIALISED);
  AudioStream* s = findStream(stream);
  if (!s) return fail(AUDIO_ERROR_HANDLE);
  if ((flags & ~audioPlayLoop) != 0) return fail(AUDIO_ERROR_PARAMETER);
  if (flush) {
    s->blockFrames = 0;
    s->blockPosition = 0;
    s->ending = false;
  }
  s->playing = true;
  return succeed();
}

int32_t BASS_Free() {
  ++callCount;
  std::lock_guard lifecycle(lifecycleLock);
  {
    // Once the streams are forgotten under the lock, a render that is waiting
    // for it finds nothing to call; one that held it has finished.
    std::lock_guard guard(library.lock);
    if (!library.initialised) return fail(AUDIO_ERROR_NOT_INITIALISED);
    forgetStreamsAndEffects();
    library.initialised = false;
  }
  stopDeviceSupervisor();
  const uint32_t device = currentOutputDevice();
  setCurrentOutputDevice(0);
  if (device != 0) closeAudioDevice(device, AudioDriver::Release);
  return succeed();
}

int32_t initAudioLibraryOffline(uint32_t freq) {
  std::lock_guard lifecycle(lifecycleLock);
  return openLibrary(freq);
}

// Whether rendering frameCount frames asks a stream for its next block; the
// caller holds the lock.
bool renderStartsBlock(uint32_t frameCount) {
  if (!library.initialised) return false;
  for (const AudioStream& s : library.streams) {
    if (s.handle != 0 && s.playing && s.blockFrames - s.blockPosition < frameCount) return true;
  }
  return false;
}

void renderAudioOutput(int16_t* output, uint32_t frameCount) {
  std::unique_lock guard(library.lock);
  // A block reads the motion once for all its frames: the later it is asked
  // for, the sooner the sound follows. Waited for without the lock, which
  // other threads take to change the output.
  if (renderStartsBlock(frameCount)) {
    guard.unlock();
    holdForDevice();
    guard.lock();
  }
  while (frameCount > 0) {
    uint32_t chunk = std::min(frameCount, audioRequestFrames);
    std::fill(library.mix, library.mix + 2 * chunk, 0.0f);
    if (library.initialised) {
      for (AudioStream& s : library.streams) {
        if (s.handle != 0 && s.playing) mixStream(s, library.mix, chunk);
      }
    }
    convertMix(library.mix, output, chunk);
    output += 2 * chunk;
    frameCount -= chunk;
  }
}

void setOutputVolumeDb(double dB) {
  if (dB != dB) return;
  const double clamped = std::clamp(dB, outputVolumeFloorDb, 0.0);
  outputGain.store(clamped == 0.0 ? 1.0f : static_cast<float>(std::pow(10.0, clamped / 20.0)));
}

void setOutputMuted(bool muted) { outputMuted.store(muted); }

void setOutputFadeIn(double seconds) {
  fadeInSeconds.store(seconds > 0 ? std::min(seconds, outputFadeInLimit) : 0.0);
}

void setAudioLibraryLimits(const AudioLibraryLimits* limits) {
  const AudioLibraryLimits& chosen = limits ? *limits : realAudioLibraryLimits;
  reportedVersion = chosen.version;
  streamLimit = chosen.maxStreams;
  effectLimit = chosen.maxEffects;
}

uint32_t audioLibraryCallCount() { return callCount.load(); }

uint32_t currentOutputDevice() {
  std::lock_guard guard(library.lock);
  return library.deviceOpen ? library.device : 0;
}

void setCurrentOutputDevice(uint32_t device) {
  std::lock_guard guard(library.lock);
  library.deviceOpen = device != 0;
  library.device = device;
}

void setAudioEffectRunner(AudioEffectRunner* runner) { effectRunner = runner ? runner : processReverb; }
