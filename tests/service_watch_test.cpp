// The watchdog as systemd hears it: datagrams on the socket NOTIFY_SOCKET
// names, sent by libsystemd from the message loop's tick.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/service_watch.h"
#include "audio/audio_library.h"
#include "platform/diagnostics.h"
#include "support/capture_device_fixture.h"
#include "vision/capture_setup.h"

namespace {
std::atomic<bool> frozen{false};

uint32_t freezableProcedure(uint32_t, void*, uint32_t length, uint32_t) {
  while (frozen.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return length;
}

class ServiceWatchThread : public testing::Test {
 protected:
  void SetUp() override {
    path = testing::TempDir() + "tessaro_notify_" + std::to_string(getpid());
    unlink(path.c_str());
    socketFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ASSERT_GE(socketFd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    setenv("WATCHDOG_USEC", "100000", 1);  // a notification every 50 ms
    const ServiceWatchLimits quick = {300, 300, 300};
    setServiceWatchLimits(&quick);
    testing::internal::CaptureStderr();
    capturing = true;
  }
  void TearDown() override {
    frozen = false;
    BASS_Free();
    if (capturing) testing::internal::GetCapturedStderr();
    setServiceWatchLimits(nullptr);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("SDL_AUDIODRIVER");
    close(socketFd);
    unlink(path.c_str());
  }
  // Ticks like the message loop for `ms` and counts the notifications.
  int aliveNotificationsWithin(int ms) {
    int count = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      serviceWatchTick();
      char datagram[256];
      ssize_t got;
      while ((got = recv(socketFd, datagram, sizeof datagram, 0)) > 0) {
        count += std::string(datagram, size_t(got)) == "WATCHDOG=1";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return count;
  }
  std::string path;
  int socketFd = -1;
  bool capturing = false;
};
}  // namespace

TEST_F(ServiceWatchThread, NotificationsStopWhileTheSoundIsStuck) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  ASSERT_TRUE(BASS_Init(audioOutputDevice, 44100, 0, nullptr, nullptr));
  const uint32_t stream = BASS_StreamCreate(44100, 2, 0, freezableProcedure, 0);
  ASSERT_TRUE(BASS_StreamPlay(stream, 0, audioPlayLoop));
  EXPECT_GE(aliveNotificationsWithin(600), 6);

  frozen = true;
  aliveNotificationsWithin(600);  // the quiet limit passes
  EXPECT_EQ(aliveNotificationsWithin(600), 0);

  frozen = false;
  EXPECT_GE(aliveNotificationsWithin(600), 4);
  capturing = false;
  const std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      lines,
      "service: the sound has stopped; no more watchdog notifications, so a service manager restarts the "
      "program\nservice: the sound is alive again; watchdog notifications resume\n");
}

// A camera that is there but delivers nothing, here one whose every start
// fails while the layer keeps trying, stops the notifications once its limit
// passes: a restart of the program is the last thing left to try.
TEST_F(ServiceWatchThread, NotificationsStopWhileACameraThatIsThereDeliversNothing) {
  std::vector<FakeNode> nodes = oneCamera();
  nodes[0].driver.startErrors = std::vector<int>(10, EIO);
  installFakeCamera(nodes);
  ASSERT_GE(CVAcquireVidCap(&captureSystem), 0);
  ASSERT_EQ(CVGetNumDevices(captureSystem), 1);
  ASSERT_GE(CVDevConnect(captureSystem, 0), 0);
  CVDevStartCap(captureSystem, 0, 0, logFrame, 0, &captureId);  // as the set-up does, not tested
  captureStarted = true;
  const int first = aliveNotificationsWithin(200);
  aliveNotificationsWithin(300);  // the limit passes
  const int later = aliveNotificationsWithin(300);
  captureStarted = false;
  CVReleaseVidCap(captureSystem);
  uninstallFakeCamera();
  capturing = false;
  const std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_GE(first, 2);
  EXPECT_EQ(later, 0);
  EXPECT_NE(lines.find("service: the camera has stopped; no more watchdog notifications"), std::string::npos)
      << lines;
}
