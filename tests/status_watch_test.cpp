// What the installation tells from afar: its durations and status lines, and
// the alert command, run for real after a camera unplugged as the kernel
// unplugs one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "app/alerts.h"
#include "app/status_watch.h"
#include "support/capture_device_fixture.h"
#include "vision/capture_setup.h"

TEST(StatusWatch, DurationsAreTheTwoLargestUnits) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0 s"},          {45, "45 s"},      {60, "1 min"},  {125, "2 min 5 s"},
      {3600, "1 h"},       {7530, "2 h 5 min"}, {86399, "23 h 59 min"},
      {3 * 86400 + 4 * 3600 + 12 * 60 + 9, "3 d 4 h"}, {400 * 86400 + 30, "400 d"}};
  for (const auto& [seconds, text] : cases) EXPECT_EQ(formatDuration(seconds), text) << seconds;
}

TEST(StatusWatch, TheStatusLineSaysWhatIsDownFirst) {
  constexpr int32_t none = 0, playing = 1, lost = 2, stuck = 3;
  const std::pair<StatusSnapshot, const char*> cases[] = {
      {{CameraStatus::Delivering, 30, 2, 0, playing, 0, 273600}, "playing; camera 30 fps, 2 % moving; up 3 d 4 h"},
      {{CameraStatus::Unplugged, 0, 0, 130, playing, 0, 600}, "camera lost 2 min 10 s ago; sound playing; up 10 min"},
      {{CameraStatus::NoFrames, 0, 0, 40, playing, 0, 50}, "no frames from the camera for 40 s; sound playing; up 50 s"},
      {{CameraStatus::Ended, 0, 0, 5, none, 0, 50}, "camera stopped 5 s ago; silent: no sound output; up 50 s"},
      {{CameraStatus::Delivering, 15, 0, 0, lost, 12, 70}, "sound lost 12 s ago; camera 15 fps, 0 % moving; up 1 min 10 s"},
      {{CameraStatus::Unplugged, 0, 0, 61, stuck, 4, 70}, "sound stuck for 4 s; camera lost 1 min 1 s ago; up 1 min 10 s"},
      {{CameraStatus::None, 0, 0, 0, playing, 0, 5}, "playing; no camera; up 5 s"},
  };
  for (const auto& [snapshot, text] : cases) EXPECT_EQ(statusLine(snapshot), text);
}

TEST(StatusWatch, AlertCommandsAreSplitWithoutAShell) {
  std::vector<std::string> words;
  std::string reason;
  ASSERT_TRUE(splitAlertCommand("logger -t 'tessaro alert' \"-p\" user.warning", words, reason)) << reason;
  EXPECT_EQ(words, (std::vector<std::string>{"logger", "-t", "tessaro alert", "-p", "user.warning"}));
  const std::pair<const char*, const char*> refused[] = {
      {"mail x | cat", "takes a program and its arguments, without |, ;, &, <, >, ( or ) outside quotes"},
      {"echo $(id)", "takes no command substitution"},
      {"echo $TESSARO_SURELY_UNSET_VARIABLE", "uses a variable that is not set"},
      {"echo 'open", "is not a command (an unmatched quote?)"},
      {"   ", "names no program"},
  };
  for (const auto& [text, why] : refused) {
    EXPECT_FALSE(splitAlertCommand(text, words, reason)) << text;
    EXPECT_EQ(reason, why) << text;
  }
}

namespace {
std::vector<std::string> linesOf(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}
}  // namespace

// The camera is unplugged, stays away past the alert's delay and comes back:
// the command runs twice, with the line as its last argument, and nothing
// it started is left a zombie.
TEST_F(CaptureThread, AnAlertRunsWhenTheCameraIsDownAndWhenItIsBack) {
  const std::string folder = testing::TempDir() + "tessaro_alert_" + std::to_string(getpid());
  const std::string script = folder + "/alert", heard = folder + "/heard";
  ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
  std::ofstream(script) << "#!/bin/sh\nfor last; do :; done\nprintf '%s|%s\\n' \"$1\" \"$last\" >>\"$2\"\n";
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  setAlertCommand("'" + script + "' first '" + heard + "'");
  const StatusTiming quick = {5000, 1000, 300, 2000};
  setStatusTiming(&quick);
  installFakeCamera(oneCamera());
  testing::internal::CaptureStderr();
  startStreaming();
  captureSystem = system;
  captureStarted = true;
  auto tickUntil = [](int ms, auto done) {
    return waitUntil(ms, [&] {
      statusWatchTick();
      return done();
    });
  };
  statusWatchTick();
  fakeUnplug();
  fakeUnregister("video1");
  const bool alerted = tickUntil(3000, [&] { return linesOf(heard).size() == 1; });
  fakeReplug("video0");
  fakeReplug("video1");
  const bool back = tickUntil(3000, [&] { return linesOf(heard).size() == 2; });
  statusWatchFinish();
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  EXPECT_GE(CVDevDisconnect(system), 0);
  EXPECT_GE(CVReleaseVidCap(system), 0);
  system = 0;
  captureStarted = false;
  // The children end; the watch collects them.
  const bool collected = waitUntil(2000, [] {
    reapAlerts();
    return alertsRunning() == 0;
  });
  reportRun();
  const std::string said = testing::internal::GetCapturedStderr();
  setStatusTiming(nullptr);
  setAlertCommand("");

  ASSERT_TRUE(alerted) << said;
  ASSERT_TRUE(back) << said;
  const std::vector<std::string> lines = linesOf(heard);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string prefix = std::string("first|tessaro on ") + host + ": the camera ";
  EXPECT_EQ(lines[0], prefix + "has been down for 0 s (unplugged)");
  EXPECT_EQ(lines[1].rfind(prefix + "is back after ", 0), 0u) << lines[1];
  EXPECT_TRUE(std::regex_search(lines[1], std::regex("after [0-9] s$"))) << lines[1];
  EXPECT_TRUE(collected) << "a child left behind";
  EXPECT_NE(said.find("\nservice: alert: tessaro on "), std::string::npos) << said;
  EXPECT_TRUE(std::regex_search(
      said, std::regex("\ntessaro: ran for [0-9] s: 0 frames, 1 camera losses, 0 audio losses, 0 underruns\n")))
      << said;
  std::system(("rm -rf " + folder).c_str());
}

TEST(StatusWatch, AnAlertCommandThatCannotStartIsSaid) {
  setAlertCommand("/nonexistent/tessaro-alert --now");
  testing::internal::CaptureStderr();
  runAlert("the camera has been down for 1 min");
  const std::string said = testing::internal::GetCapturedStderr();
  setAlertCommand("");
  EXPECT_EQ(said, "service: cannot run the alert command '/nonexistent/tessaro-alert': No such file or directory\n");
}
