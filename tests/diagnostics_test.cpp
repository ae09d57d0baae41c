#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/diagnostics.h"

namespace {
timespec fixedTime{};
bool fixedClock(timespec* now) {
  *now = fixedTime;
  return true;
}
bool noTime(timespec*) { return false; }

class DiagnosticLines : public testing::Test {
 protected:
  void SetUp() override {
    const char* zone = std::getenv("TZ");
    savedZone = zone ? zone : "";
    hadZone = zone != nullptr;
    path = testing::TempDir() + "tessaro_log_" + std::to_string(getpid()) + ".txt";
    std::remove(path.c_str());
  }
  void TearDown() override {
    if (hadZone) setenv("TZ", savedZone.c_str(), 1);
    else unsetenv("TZ");
    tzset();
    setDiagnosticLog(nullptr);
    setDiagnosticClock(noTime);
    std::remove(path.c_str());
  }
  std::string logged() {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string path, savedZone;
  bool hadZone = false;
};
}  // namespace

TEST_F(DiagnosticLines, CarryAnIso8601LocalTimeBeforeTheArea) {
  struct Case {
    const char* zone;
    timespec time;
    const char* line;
  };
  // The times by hand: 1796766423 is 2026-12-08 21:47:03 UTC, 1798773300 is
  // 2027-01-01 03:15:00 UTC.
  const Case cases[] = {
      {"UTC0", {1796766423, 512000000}, "2026-12-08T21:47:03.512+00:00 audio: gone 7\n"},
      {"ABC-01", {1796766423, 999999999}, "2026-12-08T22:47:03.999+01:00 audio: gone 7\n"},
      {"XYZ+05:30", {1798773300, 0}, "2026-12-31T21:45:00.000-05:30 audio: gone 7\n"},
  };
  ASSERT_TRUE(setDiagnosticLog(path.c_str()));
  setDiagnosticClock(fixedClock);
  std::string expected;
  for (const Case& c : cases) {
    setenv("TZ", c.zone, 1);
    tzset();
    fixedTime = c.time;
    diagnostic("audio", "gone %d", 7);
    expected += c.line;
  }
  setDiagnosticClock(noTime);
  diagnostic("camera", "plain");
  EXPECT_EQ(logged(), expected + "camera: plain\n");
}

TEST_F(DiagnosticLines, ALogThatCannotBeOpenedChangesNothing) {
  ASSERT_TRUE(setDiagnosticLog(path.c_str()));
  EXPECT_FALSE(setDiagnosticLog("/nonexistent-folder/tessaro.log"));
  diagnostic("camera", "still here");
  EXPECT_EQ(logged(), "camera: still here\n");
}
