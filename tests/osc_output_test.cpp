// The OSC output against a real receiver (liblo's own server on a free local
// UDP port): every analysed frame and every synthesis call arrives with the
// values the records held, bit for bit, while the camera and audio threads run
// beside the sender's; a reader that falls behind loses the oldest and is
// told; a destination that cannot be reached is said once.
#include <gtest/gtest.h>
#include <lo/lo.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "osc/osc_output.h"
#include "support/motion_frames.h"
#include "support/synthesis_fixture.h"

namespace {
struct Received {
  std::string path;
  std::string types;
  std::vector<uint32_t> bits;  // floats as their bits, integers as they are
};

class OscReceiver {
 public:
  OscReceiver() : server_(lo_server_new(nullptr, nullptr)) {
    if (server_) lo_server_add_method(server_, nullptr, nullptr, onMessage, this);
  }
  ~OscReceiver() {
    if (server_) lo_server_free(server_);
  }
  bool ready() const { return server_ != nullptr; }
  OscTarget target() const { return OscTarget{"127.0.0.1", std::to_string(lo_server_get_port(server_))}; }
  // Takes what has arrived, waiting up to `ms` for more until `count` are in.
  void receive(size_t count, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (messages.size() < count && std::chrono::steady_clock::now() < deadline) {
      lo_server_recv_noblock(server_, 10);
    }
    while (lo_server_recv_noblock(server_, 0) > 0) {
    }
  }
  std::vector<Received> of(const std::string& path) const {
    std::vector<Received> chosen;
    for (const Received& m : messages) {
      if (m.path == path) chosen.push_back(m);
    }
    return chosen;
  }
  std::vector<Received> messages;

 private:
  static int onMessage(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* user) {
    Received m{path, types, {}};
    for (int i = 0; i < argc; ++i) {
      // liblo points into the message, where arguments are 4-byte aligned: its
      // lo_arg union wants 8, so the 32 bits are copied out, not read through it.
      uint32_t bits = 0;
      std::memcpy(&bits, argv[i], sizeof bits);
      m.bits.push_back(bits);
    }
    static_cast<OscReceiver*>(user)->messages.push_back(m);
    return 0;
  }
  lo_server server_;
};

uint32_t bitsOf(float v) { return std::bit_cast<uint32_t>(v); }
uint32_t bitsOf(double v) { return std::bit_cast<uint32_t>(static_cast<float>(v)); }

// The motion record after a frame, as /tessaro/motion must carry it.
std::vector<uint32_t> motionAfter(float frameMs) {
  enterMotionLock();
  const MotionState& s = motionState;
  std::vector<uint32_t> bits{bitsOf(frameMs),     bitsOf(s.movingFraction),   bitsOf(s.centroidX),
                             bitsOf(s.centroidY), bitsOf(s.velocityX.load()), bitsOf(s.velocityY),
                             bitsOf(s.speed),     bitsOf(s.leftGain.load()),  bitsOf(s.rightGain.load())};
  leaveMotionLock();
  return bits;
}

// What a synthesis call derived, as /tessaro/voices must carry it. The strike
// band is read back from the pitch the strike voice was given.
std::vector<uint32_t> voicesAfterCall() {
  int32_t band = -1;
  for (int32_t k = 0; k < 4; ++k) {
    if (synthState.strikeIncrement == 2.0 * noteTable[k]) band = k;
  }
  return {static_cast<uint32_t>(currentNote(synthState)),
          bitsOf(synthTargets.levelTarget),
          static_cast<uint32_t>(band),
          bitsOf(synthTargets.strikeLeftTarget),
          bitsOf(synthTargets.strikeRightTarget),
          bitsOf(synthTargets.panLeft),
          bitsOf(synthTargets.panRight)};
}

// A bright bar that sweeps across a 64 x 48 picture, faster and faster.
TestFrame sweepFrame(int n) {
  return TestFrame(64, 48, [n](int32_t j, int32_t k) {
    const int32_t at = (n * (n % 7 + 1)) % 64;
    return static_cast<uint8_t>(std::abs(k - at) < 6 && j > 8 ? 230 : 30);
  });
}

class OscOutputTest : public SynthesisTest {
 protected:
  void SetUp() override {
    SynthesisTest::SetUp();
    ASSERT_TRUE(receiver.ready());
    ASSERT_TRUE(startMode(64, 48));
  }
  void TearDown() override {
    stopOscOutput();
    SynthesisTest::TearDown();
  }
  OscReceiver receiver;
};
}  // namespace

// The installation's arrangement: frames on one thread, synthesis calls on
// another, the sender on its own; neither of the first two waits for it.
TEST_F(OscOutputTest, ThreadsSendEveryFrameAndCallAsTheRecordsHadThem) {
  ASSERT_TRUE(startOscOutput(receiver.target(), OscSending::OwnThread));
  constexpr int frames = 300, calls = 150;
  std::map<uint32_t, std::vector<uint32_t>> motionByTime;  // frame times are distinct
  std::vector<std::vector<uint32_t>> voices;
  std::atomic<int> running{2};
  std::thread camera([&] {
    std::vector<TestFrame> pictures;
    for (int n = 0; n < 12; ++n) pictures.push_back(sweepFrame(n));
    for (int n = 0; n < frames; ++n) {
      const float time = 33.0f * static_cast<float>(n + 1);
      feed(pictures[static_cast<size_t>(n) % pictures.size()], time);
      motionByTime[bitsOf(time)] = motionAfter(time);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    --running;
  });
  std::thread audio([&] {
    std::vector<int16_t> buffer(2 * 441);
    for (int c = 0; c < calls; ++c) {
      synthesisCallback(0, buffer.data(), 4 * 441, 0);
      voices.push_back(voicesAfterCall());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    --running;
  });
  while (running.load() > 0) receiver.receive(frames + calls, 20);
  camera.join();
  audio.join();
  stopOscOutput();
  const OscCounts counts = oscOutputCounts();
  receiver.receive(counts.motionSent + counts.voicesSent, 3000);

  const std::vector<Received> motion = receiver.of("/tessaro/motion");
  EXPECT_EQ(counts.motionSent + counts.motionDropped, static_cast<uint64_t>(frames));
  EXPECT_EQ(motion.size(), counts.motionSent) << "messages lost on the way";
  EXPECT_GT(motion.size(), static_cast<size_t>(frames / 2));
  uint32_t lastTime = 0;
  for (const Received& m : motion) {
    ASSERT_EQ(m.types, "fffffffff");
    const auto expected = motionByTime.find(m.bits[0]);
    ASSERT_NE(expected, motionByTime.end()) << "a frame time that was never analysed";
    EXPECT_EQ(m.bits, expected->second) << "frame at " << std::bit_cast<float>(m.bits[0]) << " ms";
    EXPECT_GT(std::bit_cast<float>(m.bits[0]), std::bit_cast<float>(lastTime)) << "out of order";
    lastTime = m.bits[0];
  }

  // The calls in order, with any dropped ones left out.
  const std::vector<Received> sent = receiver.of("/tessaro/voices");
  EXPECT_EQ(counts.voicesSent + counts.voicesDropped, static_cast<uint64_t>(calls));
  EXPECT_EQ(sent.size(), counts.voicesSent);
  size_t next = 0;
  for (const Received& m : sent) {
    ASSERT_EQ(m.types, "ififfff");
    while (next < voices.size() && voices[next] != m.bits) ++next;
    ASSERT_LT(next, voices.size()) << "a /tessaro/voices message that no call, in order, derived";
    ++next;
  }
  EXPECT_EQ(counts.sendFailures, 0u);
}

// The sender thread sleeps until a tap has a copy: no wake while nothing is
// queued, at most one for each frame.
TEST_F(OscOutputTest, TheSenderSleepsUntilAMessageIsQueued) {
  ASSERT_TRUE(startOscOutput(receiver.target(), OscSending::OwnThread));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(oscOutputCounts().senderWakes, 0u);
  for (int n = 0; n < 3; ++n) {
    feed(sweepFrame(n), 33.0f * static_cast<float>(n + 1));
    receiver.receive(static_cast<size_t>(n) + 1, 3000);
    EXPECT_EQ(receiver.of("/tessaro/motion").size(), static_cast<size_t>(n) + 1);
  }
  const uint64_t wakes = oscOutputCounts().senderWakes;
  EXPECT_GE(wakes, 1u);
  EXPECT_LE(wakes, 3u);
}

// Nothing empties the taps while 300 frames are analysed: the 128 newest
// arrive, in order, and the stop says what was lost.
TEST_F(OscOutputTest, AReaderThatFallsBehindLosesTheOldestAndIsTold) {
  ASSERT_TRUE(startOscOutput(receiver.target(), OscSending::Inline));
  std::vector<std::vector<uint32_t>> expected;
  for (int n = 0; n < 300; ++n) {
    const float time = 10.0f * static_cast<float>(n + 1);
    feed(sweepFrame(n), time);
    expected.push_back(motionAfter(time));
  }
  sendPendingOscMessages();
  testing::internal::CaptureStderr();
  stopOscOutput();
  const std::string said = testing::internal::GetCapturedStderr();
  receiver.receive(128, 3000);

  const std::vector<Received> motion = receiver.of("/tessaro/motion");
  ASSERT_EQ(motion.size(), 128u);
  for (size_t i = 0; i < motion.size(); ++i) EXPECT_EQ(motion[i].bits, expected[172 + i]) << i;
  EXPECT_EQ(oscOutputCounts().motionDropped, 172u);
  EXPECT_EQ(said,
            "osc: 172 /tessaro/motion and 0 /tessaro/voices messages were dropped: the sender fell behind\n");
}

// A destination that cannot be resolved: one line for the first failure,
// none for the ones after it, and the program goes on.
TEST_F(OscOutputTest, ADestinationThatCannotBeReachedIsSaidOnce) {
  testing::internal::CaptureStderr();
  ASSERT_TRUE(startOscOutput(OscTarget{"bad..host", "9000"}, OscSending::Inline));
  for (int n = 0; n < 5; ++n) feed(sweepFrame(n), 33.0f * static_cast<float>(n + 1));
  sendPendingOscMessages();
  stopOscOutput();
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(oscOutputCounts().sendFailures, 5u);
  EXPECT_EQ(said.rfind("osc: sending /tessaro/motion and /tessaro/voices to bad..host:9000\n"
                       "osc: cannot send to bad..host:9000: ",
                       0),
            0u)
      << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
}

// Several receivers: two that read get every message, in order, beside one
// that never reads (its socket's buffer full) and a port nobody listens on;
// the heartbeat goes to every receiver with the posted values.
TEST_F(OscOutputTest, EveryReceiverGetsEveryMessageWhateverTheOthersDo) {
  OscReceiver second;
  ASSERT_TRUE(second.ready());
  OscReceiver silent;  // bound, never read
  ASSERT_TRUE(silent.ready());
  const OscTarget absent{"127.0.0.1", "9"};  // discard: nothing listens here
  ASSERT_TRUE(startOscOutput({receiver.target(), silent.target(), absent, second.target()}, OscSending::Inline));
  std::vector<std::vector<uint32_t>> expected;
  constexpr int frames = 600;
  for (int n = 0; n < frames; ++n) {
    const float time = 10.0f * static_cast<float>(n + 1);
    feed(sweepFrame(n), time);
    expected.push_back(motionAfter(time));
    if (n % 50 == 49) {
      sendPendingOscMessages();
      receiver.receive(expected.size(), 3000);
      second.receive(expected.size(), 3000);
    }
  }
  const OscStatus status{86400 * 3 + 5, 2, 29.5f, 1, 7, 12};
  postOscStatus(status);
  sendPendingOscMessages();
  stopOscOutput();
  for (OscReceiver* heard : {&receiver, &second}) {
    heard->receive(frames + 1, 3000);
    const std::vector<Received> motion = heard->of("/tessaro/motion");
    ASSERT_EQ(motion.size(), static_cast<size_t>(frames));
    for (size_t i = 0; i < motion.size(); ++i) ASSERT_EQ(motion[i].bits, expected[i]) << i;
    const std::vector<Received> beat = heard->of("/tessaro/status");
    ASSERT_EQ(beat.size(), 1u);
    EXPECT_EQ(beat[0].types, "iifiii");
    EXPECT_EQ(beat[0].bits, (std::vector<uint32_t>{259205, 2, bitsOf(29.5f), 1, 7, 12}));
  }
  EXPECT_EQ(oscOutputCounts().motionSent, static_cast<uint64_t>(frames));
  EXPECT_EQ(oscOutputCounts().motionDropped, 0u);
}
