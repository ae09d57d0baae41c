#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "support/motion_frames.h"

// The capture side analyses changing frames while the audio side copies under
// the lock and reads the unlocked fields, as the two callbacks do.
TEST(MotionStateConcurrency, WriterAnalysesWhileReaderCopiesUnderTheLock) {
  const int32_t w = 48, h = 32;
  ASSERT_TRUE(startMode(w, h));
  std::vector<TestFrame> frames;
  for (int n = 0; n < 8; ++n)
    frames.emplace_back(w, h, [n](int32_t j, int32_t k) {
      // A bright block that walks across the picture.
      return static_cast<uint8_t>(std::abs(k - 6 * n) < 5 && j > n ? 240 : 20);
    });

  std::atomic<bool> done{false};
  std::atomic<int> readsWithMotion{0};
  int inconsistent = 0;
  std::thread reader([&] {
    while (!done.load()) {
      enterMotionLock();
      const float fraction = motionState.movingFraction;
      const float speed = motionState.speed;
      const float vx = motionState.velocityX.load(std::memory_order_relaxed);
      const float vy = motionState.velocityY;
      const float left = motionState.leftGain.load(std::memory_order_relaxed);
      const float right = motionState.rightGain.load(std::memory_order_relaxed);
      leaveMotionLock();
      // Inside the lock the summary is seen whole.
      if (speed != static_cast<float>(std::sqrt(static_cast<double>(vy) * vy + static_cast<double>(vx) * vx)))
        ++inconsistent;
      if (right > 0.0f) {
        ++readsWithMotion;
        if (std::fabs(left * left + right * right - 1.0f) > 1e-5f) ++inconsistent;
      }
      if (!(fraction >= 0.0f && fraction <= 1.0f)) ++inconsistent;
      // Outside it, each unlocked field is still read whole.
      const float lateLeft = motionState.leftGain.load(std::memory_order_relaxed);
      const float lateVx = motionState.velocityX.load(std::memory_order_relaxed);
      if (!(lateLeft >= 0.0f && lateLeft <= 1.0f) || !std::isfinite(lateVx)) ++inconsistent;
    }
  });

  // The writer goes on until the reader has overlapped it for a while, however
  // the two threads happen to be scheduled.
  int written = 0;
  std::thread writer([&] {
    while (written < 3000 || readsWithMotion.load() < 500) {
      feed(frames[static_cast<size_t>(written) % frames.size()], static_cast<float>(33 * (written + 1)));
      ++written;
    }
    done.store(true);
  });
  writer.join();
  reader.join();

  EXPECT_EQ(frameTiming.frameCounter, written);
  EXPECT_EQ(inconsistent, 0);
  EXPECT_GE(readsWithMotion.load(), 500);
  EXPECT_GT(motionState.speed, 0.0f);
}

// The lock works without initMotionLock; a start-up initMotionLock must not
// reset it under a thread that holds it, and delete then init gives a working
// lock again.
TEST(MotionStateConcurrency, InitialisingTheLockNeverFreesItUnderItsHolder) {
  std::atomic<bool> held{false}, release{false}, entered{false};
  std::thread holder([&] {
    enterMotionLock();
    held = true;
    while (!release.load()) std::this_thread::yield();
    leaveMotionLock();
  });
  while (!held.load()) std::this_thread::yield();
  initMotionLock();
  std::thread waiter([&] {
    enterMotionLock();
    entered = true;
    leaveMotionLock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered.load()) << "the lock was taken twice at once";
  release = true;
  holder.join();
  waiter.join();
  EXPECT_TRUE(entered.load());

  deleteMotionLock();
  deleteMotionLock();
  initMotionLock();
  initMotionLock();
  entered = false;
  enterMotionLock();
  std::thread second([&] {
    enterMotionLock();
    entered = true;
    leaveMotionLock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered.load());
  leaveMotionLock();
  second.join();
  EXPECT_TRUE(entered.load());
}
