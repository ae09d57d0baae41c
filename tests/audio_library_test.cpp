#include "audio/audio_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/reverb.h"

namespace {
// A running, never-zero sequence: frame k carries +v(k) left and -v(k) right.
int16_t sequenceValue(uint64_t frame) { return static_cast<int16_t>(frame % 30001 + 1); }

std::vector<uint32_t> requestLengths;
std::vector<uint32_t> requestStreams;
std::vector<uint32_t> requestUsers;
uint64_t sequenceFrame = 0;
int shortAfterCalls = -1;  // the call (0-based) that returns half the request

uint32_t sequenceProcedure(uint32_t stream, void* buffer, uint32_t length, uint32_t user) {
  requestLengths.push_back(length);
  requestStreams.push_back(stream);
  requestUsers.push_back(user);
  auto* samples = static_cast<int16_t*>(buffer);
  for (uint32_t i = 0; i < length / 4; ++i, ++sequenceFrame) {
    samples[2 * i] = sequenceValue(sequenceFrame);
    samples[2 * i + 1] = static_cast<int16_t>(-sequenceValue(sequenceFrame));
  }
  if (static_cast<int>(requestLengths.size()) - 1 == shortAfterCalls) return length / 2;
  return length;
}

// Fills both channels with the signed 16-bit value carried in `user`.
uint32_t constantProcedure(uint32_t, void* buffer, uint32_t length, uint32_t user) {
  auto* samples = static_cast<int16_t*>(buffer);
  for (uint32_t i = 0; i < length / 2; ++i) samples[i] = static_cast<int16_t>(user);
  return length;
}

uint32_t carry(int16_t value) { return static_cast<uint32_t>(static_cast<uint16_t>(value)); }

void resetOutputLevel() {
  setOutputVolumeDb(0.0);
  setOutputMuted(false);
  setOutputFadeIn(0.0);
}

class AudioLayer : public testing::Test {
 protected:
  void SetUp() override {
    BASS_Free();
    resetOutputLevel();
    requestLengths.clear();
    requestStreams.clear();
    requestUsers.clear();
    sequenceFrame = 0;
    shortAfterCalls = -1;
  }
  void TearDown() override {
    BASS_Free();
    resetOutputLevel();
  }
};

std::vector<int16_t> render(uint32_t frames, uint32_t chunk) {
  std::vector<int16_t> out(2 * frames, 12345);
  for (uint32_t done = 0; done < frames; done += chunk) {
    renderAudioOutput(out.data() + 2 * done, std::min(chunk, frames - done));
  }
  return out;
}
}  // namespace

TEST_F(AudioLayer, AsksTheProcedureForOneTenthOfASecondAtATime) {
  ASSERT_TRUE(initAudioLibraryOffline(44100));
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, sequenceProcedure, 77);
  ASSERT_NE(stream, 0u);
  std::vector<int16_t> out(2 * 44100);
  renderAudioOutput(out.data(), 100);
  EXPECT_TRUE(requestLengths.empty()) << "a stream that is not playing is not asked";

  ASSERT_TRUE(BASS_StreamPlay(stream, 0, audioPlayLoop));
  renderAudioOutput(out.data(), 1);
  EXPECT_EQ(requestLengths.size(), 1u);
  renderAudioOutput(out.data(), 4409);
  EXPECT_EQ(requestLengths.size(), 1u) << "one request covers 4410 frames";
  renderAudioOutput(out.data(), 1);
  EXPECT_EQ(requestLengths.size(), 2u);

  render(44100 - 4411, 1024);
  EXPECT_EQ(requestLengths.size(), 10u) << "one second takes ten requests";
  for (size_t i = 0; i < requestLengths.size(); ++i) {
    EXPECT_EQ(requestLengths[i], 17640u);
    EXPECT_EQ(requestStreams[i], stream);
    EXPECT_EQ(requestUsers[i], 77u);
  }
}

TEST_F(AudioLayer, PassesSamplesThroughUnchangedInAnyPeriodSize) {
  ASSERT_TRUE(initAudioLibraryOffline(44100));
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, sequenceProcedure, 0);
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, 0));
  std::vector<int16_t> out = render(3 * 4410 + 17, 333);
  for (uint32_t k = 0; k < out.size() / 2; ++k) {
    ASSERT_EQ(out[2 * k], sequenceValue(k)) << "frame " << k;
    ASSERT_EQ(out[2 * k + 1], -sequenceValue(k)) << "frame " << k;
  }
}

TEST_F(AudioLayer, MixesStreamsAndSaturatesInsteadOfWrapping) {
  ASSERT_TRUE(initAudioLibraryOffline(44100));
  struct Case {
    int16_t a, b, expected;
  } cases[] = {{30000, 30000, 32767}, {-30000, -30000, -32768}, {30000, -10000, 20000},
               {32767, 1, 32767},     {-32768, -1, -32768},     {-32768, 32767, -1}};
  for (const Case& c : cases) {
    ASSERT_TRUE(BASS_Free());
    ASSERT_TRUE(initAudioLibraryOffline(44100));
    uint32_t first = BASS_StreamCreate(44100, 2, 0, constantProcedure, carry(c.a));
    uint32_t second = BASS_StreamCreate(44100, 2, 0, constantProcedure, carry(c.b));
    ASSERT_TRUE(BASS_StreamPlay(first, 0, 0));
    ASSERT_TRUE(BASS_StreamPlay(second, 0, 0));
    std::vector<int16_t> out = render(5000, 5000);
    for (int16_t v : out) ASSERT_EQ(v, c.expected) << c.a << " + " << c.b;
  }
}

TEST_F(AudioLayer, EffectsRunInTheOrderSetOnFloatSamples) {
  ASSERT_TRUE(initAudioLibraryOffline(44100));
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, sequenceProcedure, 0);
  uint32_t fx1 = BASS_ChannelSetFX(stream, audioEffectReverb);
  uint32_t fx2 = BASS_ChannelSetFX(stream, audioEffectReverb);
  ASSERT_NE(fx1, 0u);
  ASSERT_NE(fx2, 0u);
  ASSERT_NE(fx1, fx2);
  ReverbParameters p1 = {-3.0f, -6.0f, 3000.0f, 0.001f};
  ReverbParameters p2 = {0.0f, -10.0f, 500.0f, 0.9f};
  ASSERT_TRUE(BASS_FXSetParameters(fx1, &p1));
  ASSERT_TRUE(BASS_FXSetParameters(fx2, &p2));
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, audioPlayLoop));
  const uint32_t frames = 3 * 4410;
  std::vector<int16_t> out = render(frames, 1000);

  // The same processing done here: float samples, first effect, then second.
  auto r1 = std::make_unique<ReverbState>();
  auto r2 = std::make_unique<ReverbState>();
  initReverb(*r1, 44100, 0);
  initReverb(*r2, 44100, 1);
  setReverbParameters(*r1, p1);
  setReverbParameters(*r2, p2);
  std::vector<float> expected(2 * frames);
  for (uint32_t k = 0; k < frames; ++k) {
    expected[2 * k] = sequenceValue(k) / 32768.0f;
    expected[2 * k + 1] = -sequenceValue(k) / 32768.0f;
  }
  for (uint32_t block = 0; block < 3; ++block) {
    processReverb(*r1, expected.data() + 2 * 4410 * block, 4410);
    processReverb(*r2, expected.data() + 2 * 4410 * block, 4410);
  }
  int differences = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    float scaled = expected[i] * 32768.0f;
    int16_t want = scaled >= 32767.0f    ? int16_t(32767)
                   : scaled <= -32768.0f ? int16_t(-32768)
                                         : static_cast<int16_t>(std::lrint(scaled));
    differences += out[i] != want;
  }
  EXPECT_EQ(differences, 0);
}

TEST_F(AudioLayer, AShortResultPlaysOutAndEndsTheStream) {
  ASSERT_TRUE(initAudioLibraryOffline(44100));
  shortAfterCalls = 2;
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, sequenceProcedure, 0);
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, 0));
  std::vector<int16_t> out = render(6 * 4410, 4410);
  EXPECT_EQ(requestLengths.size(), 3u);
  const uint32_t played = 2 * 4410 + 4410 / 2;
  for (uint32_t k = 0; k < played; ++k) ASSERT_EQ(out[2 * k], sequenceValue(k)) << k;
  for (uint32_t k = played; k < out.size() / 2; ++k) ASSERT_EQ(out[2 * k], 0) << k;

  // Playing it again asks the procedure afresh.
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, 0));
  render(10, 10);
  EXPECT_EQ(requestLengths.size(), 4u);
}

TEST_F(AudioLayer, FlushDropsTheBufferedBlock) {
  ASSERT_TRUE(initAudioLibraryOffline(44100));
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, sequenceProcedure, 0);
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, 0));
  render(100, 100);
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, 0));  // no flush: carries on
  std::vector<int16_t> out = render(1, 1);
  EXPECT_EQ(out[0], sequenceValue(100));
  ASSERT_TRUE(BASS_StreamPlay(stream, 1, 0));
  out = render(1, 1);
  EXPECT_EQ(requestLengths.size(), 2u);
  EXPECT_EQ(out[0], sequenceValue(4410));
}

TEST_F(AudioLayer, ReverbRecordDefaultsReadbackAndRefusal) {
  ASSERT_TRUE(initAudioLibraryOffline(44100));
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, sequenceProcedure, 0);
  uint32_t fx = BASS_ChannelSetFX(stream, audioEffectReverb);
  float record[4] = {9, 9, 9, 9};
  ASSERT_TRUE(BASS_FXGetParameters(fx, record));
  EXPECT_EQ(record[0], 0.0f);
  EXPECT_EQ(record[1], 0.0f);
  EXPECT_EQ(record[2], 1000.0f);
  EXPECT_EQ(record[3], 0.001f);

  record[1] = -6.0f;
  record[2] = 3000.0f;
  ASSERT_TRUE(BASS_FXSetParameters(fx, record));
  float back[4] = {};
  ASSERT_TRUE(BASS_FXGetParameters(fx, back));
  EXPECT_EQ(std::memcmp(record, back, sizeof back), 0);

  const float bad[][4] = {{1, -6, 3000, 0.001f},  {-97, -6, 3000, 0.001f}, {0, 1, 3000, 0.001f},
                          {0, -6, 3001, 0.001f},  {0, -6, 0, 0.001f},      {0, -6, 3000, 1},
                          {0, -6, 3000, 0.0001f}, {NAN, -6, 3000, 0.5f},   {0, NAN, 3000, 0.5f},
                          {0, -6, NAN, 0.5f},     {0, -6, INFINITY, 0.5f}, {0, -6, 3000, NAN}};
  for (const auto& r : bad) {
    EXPECT_FALSE(BASS_FXSetParameters(fx, r));
    EXPECT_EQ(BASS_ErrorGetCode(), AUDIO_ERROR_PARAMETER);
  }
  ASSERT_TRUE(BASS_FXGetParameters(fx, back));
  EXPECT_EQ(std::memcmp(record, back, sizeof back), 0) << "a refused record changes nothing";
}

// The error code a call left, or -1 when it succeeded.
int32_t errorOf(uint32_t result) { return result ? -1 : BASS_ErrorGetCode(); }

TEST_F(AudioLayer, ErrorCodes) {
  const uint32_t r = 44100;
  EXPECT_EQ(BASS_GetVersion(), 2u);
  EXPECT_EQ(errorOf(BASS_StreamCreate(r, 2, 0, sequenceProcedure, 0)), AUDIO_ERROR_NOT_INITIALISED);
  EXPECT_EQ(errorOf(BASS_Free()), AUDIO_ERROR_NOT_INITIALISED);
  for (int32_t device : {0, 2, -1, 100}) {
    EXPECT_EQ(errorOf(BASS_Init(device, r, 0, nullptr, nullptr)), AUDIO_ERROR_DEVICE) << device;
  }
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  EXPECT_EQ(errorOf(BASS_Init(1, r, 0, nullptr, nullptr)), AUDIO_ERROR_DRIVER);
  unsetenv("SDL_AUDIODRIVER");
  EXPECT_EQ(errorOf(BASS_StreamCreate(r, 2, 0, sequenceProcedure, 0)), AUDIO_ERROR_NOT_INITIALISED)
      << "a failed opening leaves nothing open";

  ASSERT_TRUE(initAudioLibraryOffline(r));
  EXPECT_EQ(BASS_ErrorGetCode(), AUDIO_OK);
  EXPECT_EQ(errorOf(BASS_Init(1, r, 0, nullptr, nullptr)), AUDIO_ERROR_ALREADY);
  EXPECT_EQ(errorOf(BASS_StreamCreate(22050, 2, 0, sequenceProcedure, 0)), AUDIO_ERROR_FORMAT);
  EXPECT_EQ(errorOf(BASS_StreamCreate(r, 1, 0, sequenceProcedure, 0)), AUDIO_ERROR_FORMAT);
  EXPECT_EQ(errorOf(BASS_StreamCreate(r, 2, 1, sequenceProcedure, 0)), AUDIO_ERROR_FORMAT);
  EXPECT_EQ(errorOf(BASS_StreamCreate(r, 2, 0, nullptr, 0)), AUDIO_ERROR_PARAMETER);
  uint32_t stream = BASS_StreamCreate(r, 2, 0, sequenceProcedure, 0);
  EXPECT_EQ(errorOf(BASS_ChannelSetFX(stream, 3)), AUDIO_ERROR_EFFECT_TYPE);
  uint32_t fx = BASS_ChannelSetFX(stream, audioEffectReverb);
  ASSERT_NE(fx, 0u);
  float record[4];
  EXPECT_EQ(errorOf(BASS_FXGetParameters(fx, nullptr)), AUDIO_ERROR_PARAMETER);
  EXPECT_EQ(errorOf(BASS_StreamPlay(stream, 0, 1)), AUDIO_ERROR_PARAMETER);

  // Handles that do not exist, or name the other kind of object.
  for (uint32_t notStream : {0u, 12345u, fx}) {
    EXPECT_EQ(errorOf(BASS_ChannelSetFX(notStream, audioEffectReverb)), AUDIO_ERROR_HANDLE);
    EXPECT_EQ(errorOf(BASS_StreamPlay(notStream, 0, 0)), AUDIO_ERROR_HANDLE);
  }
  for (uint32_t notEffect : {0u, 12345u, stream}) {
    EXPECT_EQ(errorOf(BASS_FXGetParameters(notEffect, record)), AUDIO_ERROR_HANDLE);
    EXPECT_EQ(errorOf(BASS_FXSetParameters(notEffect, record)), AUDIO_ERROR_HANDLE);
  }

  // Slots run out cleanly.
  for (int i = 1; i < audioMaxStreams; ++i) BASS_StreamCreate(r, 2, 0, sequenceProcedure, 0);
  EXPECT_EQ(errorOf(BASS_StreamCreate(r, 2, 0, sequenceProcedure, 0)), AUDIO_ERROR_NO_ROOM);
  for (int i = 1; i < audioMaxEffects; ++i) BASS_ChannelSetFX(stream, audioEffectReverb);
  EXPECT_EQ(errorOf(BASS_ChannelSetFX(stream, audioEffectReverb)), AUDIO_ERROR_NO_ROOM);

  // Freed: the old handles are gone for good, also after a new start.
  ASSERT_TRUE(BASS_Free());
  EXPECT_EQ(errorOf(BASS_StreamPlay(stream, 0, 0)), AUDIO_ERROR_NOT_INITIALISED);
  ASSERT_TRUE(initAudioLibraryOffline(r));
  EXPECT_EQ(errorOf(BASS_StreamPlay(stream, 0, 0)), AUDIO_ERROR_HANDLE);
  EXPECT_EQ(errorOf(BASS_FXGetParameters(fx, record)), AUDIO_ERROR_HANDLE);
  EXPECT_TRUE(BASS_Free());
  EXPECT_EQ(errorOf(BASS_Free()), AUDIO_ERROR_NOT_INITIALISED);
}

// ---- Through the real device, with SDL's disk driver -------------------------

namespace {
std::atomic<int> liveCalls{0};
std::atomic<bool> liveInside{false};
std::atomic<bool> liveOverlap{false};
std::atomic<bool> liveOnMainThread{false};
std::thread::id mainThread;
std::atomic<uint64_t> liveFrame{0};
std::atomic<int> liveSleepMs{0};

uint32_t liveProcedure(uint32_t, void* buffer, uint32_t length, uint32_t) {
  if (liveInside.exchange(true)) liveOverlap = true;
  if (std::this_thread::get_id() == mainThread) liveOnMainThread = true;
  ++liveCalls;
  auto* samples = static_cast<int16_t*>(buffer);
  uint64_t frame = liveFrame.load();
  for (uint32_t i = 0; i < length / 4; ++i, ++frame) {
    samples[2 * i] = sequenceValue(frame);
    samples[2 * i + 1] = static_cast<int16_t>(-sequenceValue(frame));
  }
  liveFrame = frame;
  if (liveSleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(liveSleepMs));
  liveInside = false;
  return length;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 5) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

class AudioDeviceThread : public AudioLayer {
 protected:
  void SetUp() override {
    AudioLayer::SetUp();
    path = testing::TempDir() + "tessaro_audio_" + std::to_string(getpid()) + ".raw";
    std::remove(path.c_str());
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
    liveCalls = 0;
    liveInside = false;
    liveOverlap = false;
    liveOnMainThread = false;
    liveFrame = 0;
    liveSleepMs = 0;
    mainThread = std::this_thread::get_id();
  }
  void TearDown() override {
    AudioLayer::TearDown();
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
    std::remove(path.c_str());
  }
  std::vector<int16_t> readOutput() const {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.size() % 4, 0u);
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
  }
  std::string path;
};
}  // namespace

TEST_F(AudioDeviceThread, TheDeviceReceivesTheStreamSampleForSample) {
  ASSERT_TRUE(BASS_Init(1, 44100, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, liveProcedure, 0);
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, audioPlayLoop));
  ASSERT_TRUE(waitFor([] { return liveCalls >= 4; }, 5000));
  ASSERT_TRUE(BASS_Free());
  EXPECT_FALSE(liveOverlap);
  EXPECT_FALSE(liveOnMainThread);

  std::vector<int16_t> samples = readOutput();
  // Silence before the stream plays and after it is freed; the stream between.
  size_t first = 0;
  while (first < samples.size() && samples[first] == 0) ++first;
  size_t end = samples.size();
  while (end > first && samples[end - 1] == 0) --end;
  ASSERT_EQ(first % 2, 0u) << "left and right stay in place";
  ASSERT_EQ(end % 2, 0u) << "left and right stay in place";
  size_t frames = (end - first) / 2;
  EXPECT_GE(frames, 2u * audioRequestFrames);
  for (size_t k = 0; k < frames; ++k) {
    ASSERT_EQ(samples[first + 2 * k], sequenceValue(k)) << "frame " << k;
    ASSERT_EQ(samples[first + 2 * k + 1], -sequenceValue(k)) << "frame " << k;
  }
}

TEST_F(AudioDeviceThread, FreeEndsAllProcedureCalls) {
  liveSleepMs = 30;  // so that Free is likely to arrive during a call
  ASSERT_TRUE(BASS_Init(1, 44100, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, liveProcedure, 0);
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, 0));
  ASSERT_TRUE(waitFor([] { return liveCalls >= 2 && liveInside; }, 5000));
  ASSERT_TRUE(BASS_Free());
  EXPECT_FALSE(liveInside) << "a call was still running after BASS_Free returned";
  int calls = liveCalls;
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(liveCalls, calls) << "a call was made after BASS_Free returned";
  EXPECT_FALSE(liveOverlap);

  // Output keeps its size once the device is closed.
  auto size = readOutput().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(readOutput().size(), size);
}

// The mixed float of a sample the procedure gave, times a gain, rounded to a
// float and converted as the output converts: to nearest, ties to even.
int16_t scaledSample(int16_t given, float gain) {
  const auto product = static_cast<float>(static_cast<double>(given) / 32768.0 * static_cast<double>(gain));
  const double scaled = std::nearbyint(static_cast<double>(product) * 32768.0);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

// Each output sample is the unscaled one times the gain 10^(dB/20) as a
// float (the gains below are that value's nearest float, computed apart).
TEST_F(AudioLayer, TheVolumeScalesEverySampleBeforeTheConversion) {
  const struct {
    double dB;
    float gain;
  } cases[] = {{0.0, 1.0f}, {-6.020599913279624, 0.5f}, {-3.0, 0x1.6a77dep-1f},
               {-20.0, 0x1.99999ap-4f}, {-60.0, 0x1.0624dep-10f}, {-80.0, 0x1.0624dep-10f}};
  for (const auto& c : cases) {
    BASS_Free();
    sequenceFrame = 0;
    setOutputVolumeDb(c.dB);
    ASSERT_TRUE(initAudioLibraryOffline(44100));
    const uint32_t stream = BASS_StreamCreate(44100, 2, 0, sequenceProcedure, 0);
    ASSERT_TRUE(BASS_StreamPlay(stream, 0, 0));
    const std::vector<int16_t> out = render(2 * 4410 + 7, 441);
    for (uint32_t k = 0; k < out.size() / 2; ++k) {
      ASSERT_EQ(out[2 * k], scaledSample(sequenceValue(k), c.gain)) << c.dB << " dB, frame " << k;
      ASSERT_EQ(out[2 * k + 1], scaledSample(static_cast<int16_t>(-sequenceValue(k)), c.gain)) << c.dB;
    }
  }
}

// The fade-in rises linearly from silence after every opening; muting
// silences from the next period and unmuting brings the level back.
TEST_F(AudioLayer, FadesInAfterEveryOpeningAndMutesAtOnce) {
  setOutputFadeIn(0.1);  // 4410 frames
  for (int opening = 0; opening < 2; ++opening) {
    BASS_Free();
    sequenceFrame = 0;
    ASSERT_TRUE(initAudioLibraryOffline(44100));
    const uint32_t stream = BASS_StreamCreate(44100, 2, 0, sequenceProcedure, 0);
    ASSERT_TRUE(BASS_StreamPlay(stream, 0, 0));
    const std::vector<int16_t> out = render(2 * 4410, 441);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2 * 2205], scaledSample(sequenceValue(2205), 0.5f)) << "halfway up, at half the level";
    EXPECT_EQ(out[2 * 2205 + 1], scaledSample(static_cast<int16_t>(-sequenceValue(2205)), 0.5f));
    for (uint32_t k = 1; k < 4410; ++k) ASSERT_LE(std::abs(out[2 * k - 2]), std::abs(out[2 * k])) << k;
    for (uint32_t k = 4410; k < out.size() / 2; ++k) ASSERT_EQ(out[2 * k], sequenceValue(k)) << k;
  }
  setOutputMuted(true);
  std::vector<int16_t> out = render(441, 441);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0), static_cast<long>(out.size()));
  setOutputMuted(false);
  out = render(441, 441);
  EXPECT_EQ(out[0], sequenceValue(2 * 4410 + 441));
}
