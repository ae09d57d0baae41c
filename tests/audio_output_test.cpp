#include "sound/audio_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_library.h"
#include "audio/reverb.h"
#include "platform/message_box.h"
#include "sound/synth_state.h"
#include "sound/synthesis.h"
#include "sound/wave_tables.h"
#include "vision/motion_state.h"

namespace {
struct Box {
  SDL_Window* owner;
  std::string caption;
  std::string text;
};
std::vector<Box> boxes;

void recordBox(SDL_Window* owner, const char* caption, const char* text) {
  boxes.push_back({owner, caption, text});
}

SDL_Window* const someWindow = reinterpret_cast<SDL_Window*>(0x1000);

class AudioOutput : public testing::Test {
 protected:
  void SetUp() override {
    BASS_Free();
    boxes.clear();
    setMessageBoxHook(recordBox);
  }
  void TearDown() override {
    BASS_Free();
    setMessageBoxHook(nullptr);
    setAudioLibraryLimits(nullptr);
    unsetenv("SDL_AUDIODRIVER");
    unsetenv("SDL_DISKAUDIOFILE");
  }
};

// The disk device writes in real time; a busy machine may take longer than
// the sound lasts, so wait for the bytes rather than a fixed time.
bool waitForBytes(const std::string& path, std::size_t bytes) {
  for (int waited = 0; waited < 5000; waited += 10) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (in && static_cast<std::size_t>(in.tellg()) >= bytes) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Our diagnostic lines (SDL's disk driver announces itself on stderr too).
std::vector<std::string> audioLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("audio: ", 0) == 0) out.push_back(line);
  }
  return out;
}
}  // namespace

TEST_F(AudioOutput, AnotherLibraryVersionShowsOneBoxAndCallsNothingElse) {
  for (uint32_t version : {3u, 1u, 0x0201u}) {
    boxes.clear();
    AudioLibraryLimits limits = realAudioLibraryLimits;
    limits.version = version;
    setAudioLibraryLimits(&limits);
    uint32_t before = audioLibraryCallCount();
    EXPECT_EQ(initAudio(someWindow), 0);
    EXPECT_EQ(audioLibraryCallCount(), before + 1) << "only the version is asked for";
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].caption, "Incorrect BASS.DLL");
    EXPECT_EQ(boxes[0].text, "BASS version 2.0 was not loaded");
  }
}

TEST_F(AudioOutput, AFailingDeviceShowsItsErrorCodeAndMakesNoStream) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  for (SDL_Window* owner : {someWindow, static_cast<SDL_Window*>(nullptr)}) {
    boxes.clear();
    clearAudioOutput();
    uint32_t before = audioLibraryCallCount();
    EXPECT_EQ(initAudio(owner), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, owner);
    EXPECT_EQ(boxes[0].caption, "bass error");
    EXPECT_EQ(boxes[0].text,
              "Can't initialize device (bass error code: " + std::to_string(AUDIO_ERROR_DRIVER) + ")");
    // The version, the device and the error code; no stream.
    EXPECT_EQ(audioLibraryCallCount(), before + 3);
    EXPECT_EQ(audioStreamHandle(), 0u);
  }
}

TEST_F(AudioOutput, LaterFailuresPrintOneLineEachAndStillSucceed) {
  std::string path = testing::TempDir() + "tessaro_output_" + std::to_string(getpid()) + ".raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);

  // Room for one reverb only: the second one and its two parameter calls fail.
  AudioLibraryLimits oneReverb = realAudioLibraryLimits;
  oneReverb.maxEffects = 1;
  setAudioLibraryLimits(&oneReverb);
  testing::internal::CaptureStderr();
  EXPECT_EQ(initAudio(nullptr), 1);
  std::vector<std::string> printed = audioLines(testing::internal::GetCapturedStderr());
  EXPECT_TRUE(boxes.empty());
  ASSERT_EQ(printed.size(), 3u);
  EXPECT_NE(printed[0].find("second reverb"), std::string::npos) << printed[0];
  EXPECT_NE(printed[0].find("(bass error code: " + std::to_string(AUDIO_ERROR_NO_ROOM) + ")"),
            std::string::npos);
  for (int i : {1, 2}) {
    EXPECT_NE(printed[i].find("(bass error code: " + std::to_string(AUDIO_ERROR_HANDLE) + ")"),
              std::string::npos)
        << printed[i];
  }
  ASSERT_TRUE(BASS_Free());

  // No stream at all: every later step fails and says so.
  AudioLibraryLimits noStream = realAudioLibraryLimits;
  noStream.maxStreams = 0;
  setAudioLibraryLimits(&noStream);
  testing::internal::CaptureStderr();
  EXPECT_EQ(initAudio(nullptr), 1);
  printed = audioLines(testing::internal::GetCapturedStderr());
  EXPECT_EQ(printed.size(), 1u + 2u + 4u + 1u);  // stream, two effects, four records, play
  EXPECT_TRUE(boxes.empty());
  BASS_Free();
  std::remove(path.c_str());
}

TEST_F(AudioOutput, ThreadedSetUpPlaysTheStreamThroughTwoReverbs) {
  std::string path = testing::TempDir() + "tessaro_output_" + std::to_string(getpid()) + ".raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
  resetMotionState();
  resetSynthState();
  testing::internal::CaptureStderr();
  ASSERT_EQ(initAudio(nullptr), 1);
  std::vector<std::string> printed = audioLines(testing::internal::GetCapturedStderr());
  EXPECT_TRUE(printed.empty()) << "every step succeeded, yet: " << printed.front();
  EXPECT_TRUE(boxes.empty());
  ASSERT_NE(audioStreamHandle(), 0u);
  ASSERT_NE(reverbFxHandles()[0], 0u);
  ASSERT_NE(reverbFxHandles()[1], 0u);
  EXPECT_NE(reverbFxHandles()[0], reverbFxHandles()[1]);
  for (uint32_t fx : reverbFxHandles()) {
    ReverbParameters p{};
    ASSERT_TRUE(BASS_FXGetParameters(fx, &p));
    EXPECT_EQ(p.reverbMix, -6.0f);
    EXPECT_EQ(p.reverbTime, 3000.0f);
    EXPECT_EQ(p.inputGain, defaultReverbParameters.inputGain);
    EXPECT_EQ(p.highFreqRatio, defaultReverbParameters.highFreqRatio);
  }
  ASSERT_TRUE(waitForBytes(path, 4u * 4410u));
  ASSERT_TRUE(BASS_Free());

  // No motion: the device received a stretch of exact silence.
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_GE(bytes.size(), 4u * 4410u);
  for (char b : bytes) ASSERT_EQ(b, 0);
  std::remove(path.c_str());
}

TEST_F(AudioOutput, NoMemoryForTheWavetablesSaysSoAndPlaysSilenceDespiteMotion) {
  std::string path = testing::TempDir() + "tessaro_output_" + std::to_string(getpid()) + ".raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
  resetSynthState();
  setWaveTableAllocator([](std::size_t) -> void* { return nullptr; });
  testing::internal::CaptureStderr();
  const int32_t started = initAudio(nullptr);
  const std::vector<std::string> printed = audioLines(testing::internal::GetCapturedStderr());
  setWaveTableAllocator(nullptr);
  ASSERT_EQ(started, 1) << "the rest of the sound path is set up as usual";
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_EQ(printed[0], "audio: no memory for the wavetables; the synthesis stays silent");
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(toneTable.samples, nullptr);
  EXPECT_EQ(strikeTable.samples, nullptr);
  ASSERT_NE(audioStreamHandle(), 0u);

  // A visitor moving in front of the camera changes nothing.
  enterMotionLock();
  motionState.movingFraction = 0.5f;
  motionState.speed = 0.8f;
  leaveMotionLock();
  motionState.leftGain.store(0.7f);
  motionState.rightGain.store(0.7f);
  ASSERT_TRUE(waitForBytes(path, 4u * 4410u));
  ASSERT_TRUE(BASS_Free());
  resetMotionState();

  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_GE(bytes.size(), 4u * 4410u);
  for (char b : bytes) ASSERT_EQ(b, 0);
  std::remove(path.c_str());
  ASSERT_TRUE(buildWaveTables());
}

TEST(AudioPath, MotionSoundsThroughBothReverbsAndItsTailDiesToSilence) {
  BASS_Free();
  ASSERT_TRUE(buildWaveTables());
  buildTuningTables();
  resetMotionState();
  resetSynthState();
  ASSERT_TRUE(initAudioLibraryOffline(44100));
  uint32_t stream = BASS_StreamCreate(44100, 2, 0, synthesisCallback, 0);
  for (int i = 0; i < 2; ++i) {
    uint32_t fx = BASS_ChannelSetFX(stream, audioEffectReverb);
    ReverbParameters p{};
    ASSERT_TRUE(BASS_FXGetParameters(fx, &p));
    p.reverbMix = -6.0f;
    p.reverbTime = 3000.0f;
    ASSERT_TRUE(BASS_FXSetParameters(fx, &p));
  }
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, audioPlayLoop));

  enterMotionLock();
  motionState.movingFraction = 0.4f;
  motionState.speed = 0.5f;
  leaveMotionLock();
  motionState.velocityX.store(-0.03f);
  motionState.leftGain.store(0.8f);
  motionState.rightGain.store(0.6f);
  std::vector<int16_t> second(2 * 44100);
  double energy = 0.0;
  int peak = 0;
  for (int s = 0; s < 3; ++s) {
    renderAudioOutput(second.data(), 44100);
    for (int16_t v : second) {
      energy += double(v) * v;
      peak = std::max(peak, std::abs(int(v)));
    }
  }
  EXPECT_GT(std::sqrt(energy / (3.0 * static_cast<double>(second.size()))), 1000.0) << "motion is heard";
  EXPECT_LT(peak, 32767) << "the installation's levels leave headroom";

  // The visitor leaves: the voices fade, then the reverb tails run out.
  resetMotionState();
  int lastSoundingSecond = -1;
  for (int s = 0; s < 60; ++s) {
    renderAudioOutput(second.data(), 44100);
    for (int16_t v : second) {
      if (v != 0) lastSoundingSecond = s;
    }
  }
  EXPECT_GT(lastSoundingSecond, 2) << "the tail outlasts the voices";
  EXPECT_LT(lastSoundingSecond, 55) << "and then the output is exact silence";
  BASS_Free();
}
