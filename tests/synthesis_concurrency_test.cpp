// The callback on an audio thread of its own while the analysis publishes.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "support/synthesis_fixture.h"

namespace {

using SynthesisConcurrency = SynthesisTest;

TEST_F(SynthesisConcurrency, RendersCleanlyWhileMotionIsPublished) {
  std::atomic<bool> done{false};
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
      std::this_thread::yield();
    }
  });
  int peak = 0;
  std::thread audio([&] {
    std::vector<int16_t> buffer(2 * 1024);
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

}  // namespace
