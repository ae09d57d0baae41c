// The audio layer as a watchdog sees it: alive while its device calls back,
// not while a stream procedure is stuck, and alive again once it returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "audio/audio_library.h"

namespace {
std::atomic<bool> frozen{false};
std::atomic<bool> insideFrozen{false};

uint32_t freezableProcedure(uint32_t, void*, uint32_t length, uint32_t) {
  while (frozen.load()) {
    insideFrozen = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  insideFrozen = false;
  return length;
}

template <typename Condition>
bool within(int ms, Condition condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}
}  // namespace

TEST(AudioOutputThread, AStuckProcedureIsNotAliveAndAReturnedOneIs) {
  BASS_Free();
  EXPECT_TRUE(audioOutputAlive(300)) << "no device: nothing to watch";
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  ASSERT_TRUE(BASS_Init(audioOutputDevice, 44100, 0, nullptr, nullptr));
  const uint32_t stream = BASS_StreamCreate(44100, 2, 0, freezableProcedure, 0);
  ASSERT_NE(stream, 0u);
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, audioPlayLoop));
  EXPECT_TRUE(within(2000, [] { return audioOutputAlive(300); }));

  frozen = true;
  ASSERT_TRUE(within(2000, [] { return insideFrozen.load(); }));
  EXPECT_TRUE(within(2000, [] { return !audioOutputAlive(300); }));
  frozen = false;
  EXPECT_TRUE(within(2000, [] { return audioOutputAlive(300); }));

  EXPECT_TRUE(BASS_Free());
  EXPECT_TRUE(audioOutputAlive(300));
  unsetenv("SDL_AUDIODRIVER");
}
