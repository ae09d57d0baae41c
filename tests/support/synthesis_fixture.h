#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sound/synth_state.h"
#include "sound/synthesis.h"
#include "sound/wave_tables.h"
#include "vision/motion_state.h"

// Tables built once per process; every test starts from the zero synthesis
// state, a zero motion record and the fixed generator seed.
class SynthesisTest : public testing::Test {
 protected:
  void SetUp() override {
    setWaveTableAllocator(nullptr);
    if (!toneTable.samples || !strikeTable.samples) {
      ASSERT_TRUE(buildWaveTables());
    }
    buildTuningTables();
    resetSynthState();
    resetMotionState();
  }
  void TearDown() override { resetMotionState(); }

  static void setMotion(float fraction, float speed, float velocityX, float leftGain, float rightGain) {
    enterMotionLock();
    motionState.movingFraction = fraction;
    motionState.speed = speed;
    motionState.velocityX.store(velocityX, std::memory_order_relaxed);
    motionState.leftGain.store(leftGain, std::memory_order_relaxed);
    motionState.rightGain.store(rightGain, std::memory_order_relaxed);
    leaveMotionLock();
  }

  // Renders frames of interleaved left/right samples through one call.
  static std::vector<int16_t> render(uint32_t frames) {
    std::vector<int16_t> samples(2 * static_cast<std::size_t>(frames), int16_t{0x5555});
    EXPECT_EQ(synthesisCallback(0, samples.data(), frames * 4, 0), frames * 4);
    return samples;
  }
};
