#include "sound/audio_output.h"

#include <cstdio>

#include "audio/audio_library.h"
#include "audio/reverb.h"
#include "platform/diagnostics.h"
#include "platform/message_box.h"
#include "sound/synthesis.h"
#include "sound/wave_tables.h"

namespace {
BoxOwner* audioOwnerWindow = nullptr;  // owner of the device error box
uint32_t audioStream = 0;
uint32_t reverbFx[2] = {0, 0};

constexpr uint32_t outputRate = 44100;
constexpr float reverbMixDb = -6.0f;
constexpr float reverbTimeMs = 3000.0f;

// The steps after the device is open are not acted on, but a silent or dry
// installation should say why.
void reportFailure(const char* what) {
  diagnostic("audio", "%s failed (bass error code: %d)", what, BASS_ErrorGetCode());
}
}  // namespace

uint32_t audioStreamHandle() { return audioStream; }

std::span<const uint32_t, 2> reverbFxHandles() { return reverbFx; }

void clearAudioOutput() {
  audioOwnerWindow = nullptr;
  audioStream = 0;
  reverbFx[0] = reverbFx[1] = 0;
}

void showAudioError(const char* text) {
  char message[512];
  std::snprintf(message, sizeof message, "%s (bass error code: %d)", text, BASS_ErrorGetCode());
  showMessageBox(audioOwnerWindow, "bass error", message);
}

void startSynthesisStream() {
  audioStream = BASS_StreamCreate(outputRate, 2, 0, synthesisCallback, 0);
  if (!audioStream) reportFailure("creating the output stream");
  reverbFx[0] = BASS_ChannelSetFX(audioStream, audioEffectReverb);
  if (!reverbFx[0]) reportFailure("adding the first reverb");
  reverbFx[1] = BASS_ChannelSetFX(audioStream, audioEffectReverb);
  if (!reverbFx[1]) reportFailure("adding the second reverb");

  // One record serves both reverbs; input gain and high-frequency ratio stay
  // as the library reports them. Zeroed so a failed read never sends garbage.
  ReverbParameters record{};
  for (uint32_t fx : reverbFx) {
    if (!BASS_FXGetParameters(fx, &record)) reportFailure("reading reverb parameters");
    record.reverbTime = reverbTimeMs;
    record.reverbMix = reverbMixDb;
    if (!BASS_FXSetParameters(fx, &record)) reportFailure("setting reverb parameters");
  }

  if (!BASS_StreamPlay(audioStream, 0, audioPlayLoop)) reportFailure("starting playback");
}

int32_t initAudio(BoxOwner* ownerWindow) {
  audioOwnerWindow = ownerWindow;
  if (!buildWaveTables()) {
    diagnostic("audio", "no memory for the wavetables; the synthesis stays silent");
  }
  buildTuningTables();

  if (BASS_GetVersion() != audioVersion) {
    showMessageBox(nullptr, "Incorrect BASS.DLL", "BASS version 2.0 was not loaded");
    return 0;
  }
  if (!BASS_Init(audioOutputDevice, outputRate, 0, audioOwnerWindow, nullptr)) {
    showAudioError("Can't initialize device");
    return 0;
  }

  startSynthesisStream();
  return 1;
}
