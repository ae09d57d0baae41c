// The callback on an audio thread of its own while the analysis publishes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/synthesis_fixture.h"

namespace {

using SynthesisConcurrency = SynthesisTest;

TEST_F(SynthesisConcurrency, RendersCleanlyWhileMotionIsPublished) {
  std::atomic<bool> done{false};
  std::atomic<int> published{0};
  std::thread analysis([&] {
    for (int frame = 0; !done.load(); ++frame) {
      const float centroidX = static_cast<float>(frame % 101) / 100.0f;
      enterMotionLock();
      motionState.movingFraction = static_cast<float>(frame % 7) / 6.0f;
      motionState.speed = static_cast<float>(frame % 13) / 10.0f;
      motionState.velocityX.store(static_cast<float>(frame % 5 - 2) / 20.0f, std::memory_order_relaxed);
      motionState.leftGain.store(std::sqrt(1.0f - centroidX), std::memory_order_relaxed);
      motionState.rightGain.store(std::sqrt(centroidX), std::memory_order_relaxed);
      leaveMotionLock();
      published.fetch_add(1);
      std::this_thread::yield();
    }
  });
  int peak = 0;
  std::thread audio([&] {
    std::vector<int16_t> buffer(2 * 1024);
    // On a busy machine the audio thread could otherwise finish before any
    // motion was published.
    while (published.load() < 2) std::this_thread::yield();
    for (int call = 0; call < 400; ++call) {
      EXPECT_EQ(synthesisCallback(0, buffer.data(), 4096, 0), 4096u);
      for (int16_t v : buffer) peak = std::max(peak, std::abs(int{v}));
    }
  });
  audio.join();
  done = true;
  analysis.join();
  EXPECT_GT(peak, 1000);
  EXPECT_LE(peak, 19748);
  EXPECT_TRUE(std::isfinite(synthState.toneLevel) && std::isfinite(synthState.tonePhase));
}

// The analysis may move the centroid while one long request is being filled:
// the gains are read for every frame, so both values are heard in the one
// buffer. How long the call takes depends on the machine (and on a sanitizer),
// so the same request is first timed on this thread; another thread then moves
// the left gain from 0 to 1 once, a quarter of that time into the real call.
TEST_F(SynthesisConcurrency, GainsChangedDuringOneCallAreHeardInIt) {
  setMotion(0.5f, 0.0f, 0.0f, 0.5f, 0.7f);  // the tone alone
  render(44100);                            // let the tone rise; the left gain starts at 0.5, neither extreme

  constexpr uint32_t frames = 60 * 44100;
  std::vector<int16_t> buffer(2 * static_cast<std::size_t>(frames));
  const auto timedStart = std::chrono::steady_clock::now();
  ASSERT_EQ(synthesisCallback(0, buffer.data(), frames * 4, 0), frames * 4);
  const auto callTime = std::chrono::steady_clock::now() - timedStart;

  setMotion(0.5f, 0.0f, 0.0f, 0.0f, 0.7f);
  std::atomic<bool> calling{false}, returned{false}, movedInCall{false};
  std::thread analysis([&] {
    while (!calling.load()) std::this_thread::yield();
    std::this_thread::sleep_for(callTime / 4);
    motionState.leftGain.store(1.0f, std::memory_order_relaxed);
    movedInCall = !returned.load();
  });
  std::thread audio([&] {
    calling = true;
    EXPECT_EQ(synthesisCallback(0, buffer.data(), frames * 4, 0), frames * 4);
    returned = true;
  });
  audio.join();
  analysis.join();
  ASSERT_TRUE(movedInCall.load()) << "the call ended before the gain moved";

  // Per 0.1 s stretch, the left channel against the right one (gain 0.7).
  int loudLeft = 0, silentLeft = 0;
  for (uint32_t start = 0; start + 4410 <= frames; start += 4410) {
    int left = 0, right = 0;
    for (uint32_t n = start; n < start + 4410; ++n) {
      left = std::max(left, std::abs(int{buffer[2 * n]}));
      right = std::max(right, std::abs(int{buffer[2 * n + 1]}));
    }
    ASSERT_GT(right, 3000) << start;
    loudLeft += left * 10 >= right * 13;  // gain 1: 1/0.7 of the right channel
    silentLeft += left * 100 <= right;    // gain 0
  }
  EXPECT_GT(loudLeft, 0);
  EXPECT_GT(silentLeft, 0);
}

}  // namespace
