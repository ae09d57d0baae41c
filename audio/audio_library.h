#pragma once
// The audio library the sound subsystem talks to, on the platform's audio
// device (platform/audio_device.h).
//
// One output device (number 1: the system's default output), opened as signed
// 16-bit stereo at the rate given to BASS_Init. Streams are fed by a stream
// procedure that the library calls on its audio thread, never two calls at
// once, always asking for audioRequestFrames frames (100 ms at 44 100 Hz).
// The samples of each request pass, as floats, through the stream's effects in
// the order they were set; all playing streams are summed and converted back
// to 16-bit with saturation. The device takes that output in periods of
// audioDevicePeriodFrames: 10 ms, short so that the sound follows the motion
// closely (SDL's disk and dummy drivers, which pace themselves by sleeping,
// take longer ones).
//
// A stream procedure runs while the library holds its lock: it must not call
// the library, apart from BASS_GetVersion and BASS_ErrorGetCode.
//
// Handles and booleans are 32-bit; a boolean result is non-zero on success.
// After a failure BASS_ErrorGetCode names the reason (per calling thread).

#include <cstdint>

using STREAMPROC = uint32_t(uint32_t stream, void* buffer, uint32_t length, uint32_t user);

// The error codes.
enum AudioErrorCode : int32_t {
  AUDIO_OK = 0,                     // the last call succeeded
  AUDIO_ERROR_NOT_INITIALISED = 1,  // the call needs a successful BASS_Init first
  AUDIO_ERROR_ALREADY = 2,          // BASS_Init while the output is already open
  AUDIO_ERROR_DEVICE = 3,           // no output device with that number (only 1 exists)
  AUDIO_ERROR_DRIVER = 4,           // the output device could not be opened
  AUDIO_ERROR_HANDLE = 5,           // no stream or effect with that handle
  AUDIO_ERROR_FORMAT = 6,           // rate, channel count or sample flags not supported
  AUDIO_ERROR_PARAMETER = 7,        // bad argument: null pointer, unknown flag, record out of range
  AUDIO_ERROR_EFFECT_TYPE = 8,      // unknown effect type
  AUDIO_ERROR_NO_ROOM = 9,          // every stream or effect slot is in use
  AUDIO_ERROR_MEMORY = 10,          // the memory an effect needs could not be had
};

constexpr uint32_t audioVersion = 2;       // BASS_GetVersion: version 2.0
constexpr int32_t audioOutputDevice = 1;   // the only device number accepted
constexpr uint32_t audioEffectReverb = 8;  // the one effect type (audio/reverb.h)
constexpr uint32_t audioPlayLoop = 4;      // accepted by BASS_StreamPlay; streams run until freed
constexpr uint32_t audioRequestFrames = 4410;
constexpr uint32_t audioRequestBytes = audioRequestFrames * 4;
constexpr uint32_t audioDevicePeriodFrames = 441;
// What PulseAudio holds behind the period: enough that it asks for more every
// 5 ms instead of every 2.5 ms, which cost the audio thread and the server
// twice the time and a gap at every hiccup of a few milliseconds. 30 ms
// (every 7.5 ms) saves a little more but makes the sound 7 ms later.
constexpr uint32_t audioServerBufferMs = 20;
constexpr int32_t audioMaxStreams = 4;
constexpr int32_t audioMaxEffects = 8;
constexpr double outputVolumeFloorDb = -60.0;  // the softest volume setOutputVolumeDb takes
constexpr double outputFadeInLimit = 600.0;    // the longest fade-in, in seconds

uint32_t BASS_GetVersion();
// device must be 1; flags must be 0; window and deviceId are not used.
int32_t BASS_Init(int32_t device, uint32_t freq, uint32_t flags, void* window, const void* deviceId);
int32_t BASS_ErrorGetCode();
// Only the output's rate, 2 channels and flags 0 (16-bit samples).
uint32_t BASS_StreamCreate(uint32_t freq, uint32_t chans, uint32_t flags, STREAMPROC* proc, uint32_t user);
uint32_t BASS_ChannelSetFX(uint32_t channel, uint32_t type);
// record: ReverbParameters (audio/reverb.h), four floats.
int32_t BASS_FXGetParameters(uint32_t fx, void* record);
// A record out of range is refused and changes nothing.
int32_t BASS_FXSetParameters(uint32_t fx, const void* record);
// flush non-zero drops what the stream had buffered; flags: 0 or audioPlayLoop.
// A stream whose procedure returned less than it was asked for plays that
// out and stops; playing it again asks the procedure afresh.
int32_t BASS_StreamPlay(uint32_t stream, int32_t flush, uint32_t flags);
// Stops output, closes the device and forgets every stream and effect. Once it
// returns no stream procedure runs or will run. Without an open library it
// fails with AUDIO_ERROR_NOT_INITIALISED and does nothing.
int32_t BASS_Free();

// Whether the output part is alive, for a watchdog: true while the device
// plays and has called back within `quietMs`, while a lost device is being
// waited for, and when there is no device at all (nothing to watch). False
// when the device's callback is stuck or no longer comes.
bool audioOutputAlive(uint32_t quietMs);

// What the output is doing, for status lines, read without the library's
// lock: no device (none could be opened, or the library is closed), playing,
// lost (waiting for a device to open again), or stuck (playing, but its
// callback has not come for `quietMs`).
enum class AudioOutputStatus : uint8_t { None, Playing, Lost, Stuck };
AudioOutputStatus audioOutputStatus(uint32_t quietMs);
// How often the output device went away since the program started.
uint64_t audioOutputLosses();

// The output's level, applied after the effects and mix, before the 16-bit
// conversion. Safe from any thread at any time: these only store atomics,
// which the audio thread reads once per period without waiting.
//
// The volume in dB, -60 to 0 (clamped; NaN is ignored). Each sample becomes
// the mixed float times the gain, 10^(dB/20) rounded to a float, converted as
// ever; at 0 dB (and until a volume is set) no sample is multiplied at all.
void setOutputVolumeDb(double dB);
// True: silence from the next period on; false: the volume again.
void setOutputMuted(bool muted);
// The output rises linearly from silence to the volume over `seconds` of
// output after every opening of the library (BASS_Init or the offline
// opening); 0, the default: no fade. Takes effect at the next opening.
void setOutputFadeIn(double seconds);

// Opens the library as BASS_Init does but with no device: output is produced
// only by renderAudioOutput. For tests and benchmarks.
int32_t initAudioLibraryOffline(uint32_t freq);
// Produces frameCount frames of device output (interleaved 16-bit stereo):
// calls stream procedures as needed, runs the effects, mixes and converts.
// The device's audio thread calls this for every period it plays; one that
// starts a stream's block first waits as long as the device allows
// (holdForDevice), so that the block reads the freshest motion.
void renderAudioOutput(int16_t* output, uint32_t frameCount);

// Test seams: the version the library reports and how many streams and
// effects it allows at once; nullptr restores the real library's.
struct AudioLibraryLimits {
  uint32_t version;
  int32_t maxStreams;
  int32_t maxEffects;
};
constexpr AudioLibraryLimits realAudioLibraryLimits = {audioVersion, audioMaxStreams, audioMaxEffects};
void setAudioLibraryLimits(const AudioLibraryLimits* limits);
uint32_t audioLibraryCallCount();  // BASS_ calls made so far

// Test seam: what runs each effect on a stream's block; nullptr restores the
// reverb. One that leaves the samples alone bypasses the effects.
struct ReverbState;
using AudioEffectRunner = void(ReverbState& reverb, float* samples, uint32_t frameCount);
void setAudioEffectRunner(AudioEffectRunner* runner);
