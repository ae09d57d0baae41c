// OSC in, from liblo's own sender on a real UDP port: the level and the mute
// reach the controls, a status request is answered to the port that asked,
// and what is not taken is said once a minute at most.
#include <gtest/gtest.h>
#include <lo/lo.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "osc/osc_input.h"

namespace {
// Written by the listener's thread.
std::mutex changesLock;
std::vector<std::string> changes;
void record(const std::string& change) {
  const std::lock_guard guard(changesLock);
  changes.push_back(change);
}
void recordVolume(double dB) { record("volume " + std::to_string(dB)); }
void recordMute(bool muted) { record(muted ? "mute" : "sound"); }

bool waitFor(size_t count, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    {
      const std::lock_guard guard(changesLock);
      if (changes.size() >= count) return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

struct Reply {
  std::string types;
  std::vector<int32_t> values;  // the integers; the float as its bits
};
int onReply(const char*, const char* types, lo_arg** argv, int argc, lo_message, void* user) {
  auto& reply = *static_cast<Reply*>(user);
  reply.types = types;
  for (int i = 0; i < argc; ++i) {
    int32_t bits;
    std::memcpy(&bits, argv[i], sizeof bits);
    reply.values.push_back(bits);
  }
  return 0;
}
}  // namespace

TEST(OscInput, ListenAddressesTakeAnOptionalIpv4Host) {
  OscTarget where;
  ASSERT_TRUE(parseListenAddress("9001", where));
  EXPECT_EQ(where.host + " " + where.port, "127.0.0.1 9001");
  ASSERT_TRUE(parseListenAddress("0.0.0.0:57120", where));
  EXPECT_EQ(where.host + " " + where.port, "0.0.0.0 57120");
  for (const char* wrong : {"", "0", "65536", "host:9000", ":9000", "127.0.0.1:", "9000x", "::1:9000"}) {
    EXPECT_FALSE(parseListenAddress(wrong, where)) << wrong;
  }
}

TEST(OscInput, MessagesReachTheControlsAndTheRestIsSaidOnceAMinute) {
  changes.clear();
  testing::internal::CaptureStderr();
  ASSERT_TRUE(startOscInput(OscTarget{"127.0.0.1", "0"}, OscControls{recordVolume, recordMute}));
  lo_server asker = lo_server_new(nullptr, nullptr);
  ASSERT_NE(asker, nullptr);
  Reply reply;
  lo_server_add_method(asker, "/tessaro/status", nullptr, onReply, &reply);
  lo_address installation = lo_address_new("127.0.0.1", std::to_string(oscInputPort()).c_str());

  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/volume", "f", -12.5f);
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/volume", "f", -70.0f);   // out of range
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/volume", "s", "loud");  // not a number
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/mute", "i", 2);         // neither 0 nor 1
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/other", "");
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/mute", "i", 1);
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/volume", "i", 0);
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/volume", "d", -60.0);
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/mute", "F");
  const bool arrived = waitFor(5, 3000);

  postOscStatus(OscStatus{3600, 1, 30.0f, 1, 0, 4});
  // Once the interval has passed, the next line counts those left unsaid.
  setOscInputLineInterval(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/nothing", "i", 3);
  lo_send_from(installation, asker, LO_TT_IMMEDIATE, "/tessaro/status", "");
  for (int i = 0; i < 300 && reply.types.empty(); ++i) lo_server_recv_noblock(asker, 10);
  stopOscInput();
  setOscInputLineInterval(0);
  const std::string said = testing::internal::GetCapturedStderr();
  lo_address_free(installation);
  lo_server_free(asker);

  ASSERT_TRUE(arrived);
  EXPECT_EQ(changes, (std::vector<std::string>{"volume -12.500000", "mute", "volume 0.000000", "volume -60.000000",
                                               "sound"}));
  EXPECT_EQ(reply.types, "iifiii");
  int32_t thirty;
  const float f = 30.0f;
  std::memcpy(&thirty, &f, sizeof thirty);
  EXPECT_EQ(reply.values, (std::vector<int32_t>{3600, 1, thirty, 1, 0, 4}));
  const size_t listening = said.find('\n');
  ASSERT_NE(listening, std::string::npos);
  EXPECT_EQ(said.rfind("osc: listening on 127.0.0.1:", 0), 0u) << said;
  const std::string rest = said.substr(listening + 1);
  EXPECT_EQ(rest.rfind("osc: ignored /tessaro/volume f from 127.0.0.1:", 0), 0u) << said;
  EXPECT_NE(rest.find(": the level must be from -60 to 0 dB\n"), std::string::npos) << said;
  EXPECT_NE(rest.find("\nosc: ignored /tessaro/nothing i from 127.0.0.1:"), std::string::npos) << said;
  EXPECT_NE(rest.find(": not a message the installation takes (and 3 more since the last line)\n"),
            std::string::npos)
      << said;
  EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'), 2) << said;
}
