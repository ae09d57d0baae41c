// The audio layer as a watchdog sees it: alive while its device calls back,
// not while a stream procedure is stuck, and alive again once it returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "audio/audio_library.h"
#include "platform/audio_device.h"

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

// When a callback counts as a gap in the sound: only when it comes later than
// the device could wait, a period past the time its frames are due; a device
// filling its buffer at the start, or a sound card whose clock runs a little
// slow, is no gap.
TEST(AudioDevicePacing, OnlyACallbackLaterThanAPeriodIsAGap) {
  constexpr uint32_t rate = 44100, period = 441;  // 10 ms
  constexpr int64_t ms = 1000000;
  struct Case {
    const char* what;
    int callbacks;
    int64_t (*when)(int callback);  // nanoseconds
    int gaps;
  };
  const Case cases[] = {
      {"steady", 6000, [](int k) -> int64_t { return k * 10 * ms; }, 0},
      {"four at once to fill the buffer, then steady", 6000,
       [](int k) -> int64_t { return std::max(0, k - 3) * 10 * ms; }, 0},
      {"a buffer that settles 25 ms lower than it was first filled", 6000,
       [](int k) -> int64_t { return k < 3 ? 0 : (k - 3) * 10 * ms + (k > 50 ? 25 * ms : 0); }, 0},
      {"a sound card 0.05 % slow, for ten minutes", 60000, [](int k) -> int64_t { return k * 10005000ll; },
       0},
      {"one 5 ms late", 6000, [](int k) -> int64_t { return k * 10 * ms + (k == 3000 ? 5 * ms : 0); }, 0},
      {"one 15 ms late, the device waiting from then on", 6000,
       [](int k) -> int64_t { return k * 10 * ms + (k >= 3000 ? 15 * ms : 0); }, 1},
      {"held for 300 ms twice", 6000,
       [](int k) -> int64_t { return k * 10 * ms + (k >= 2000 ? 300 * ms : 0) + (k >= 4000 ? 300 * ms : 0); },
       2},
  };
  for (const Case& c : cases) {
    CallbackPacing pacing{};
    int gaps = 0;
    for (int k = 0; k < c.callbacks; ++k)
      gaps += callbackCameLate(pacing, c.when(k), uint64_t(k) * period, rate, period);
    EXPECT_EQ(gaps, c.gaps) << c.what;
  }
}
