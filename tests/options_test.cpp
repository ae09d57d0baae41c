#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/options.h"
#include "osc/osc_output.h"

namespace {
struct Parsed {
  OptionsOutcome outcome;
  ProgramOptions options;
  std::string out, err;
};

Parsed parse(std::vector<std::string> words) {
  words.insert(words.begin(), "tessaro");
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  Parsed parsed{};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  parsed.outcome = parseProgramOptions(static_cast<int>(argv.size()), argv.data(), parsed.options);
  parsed.out = testing::internal::GetCapturedStdout();
  parsed.err = testing::internal::GetCapturedStderr();
  return parsed;
}

class ProgramOptionsTest : public testing::Test {
 protected:
  void SetUp() override { clearEnvironment(); }
  void TearDown() override { clearEnvironment(); }
  // No variable, and an empty settings file instead of the machine's.
  static void clearEnvironment() {
    for (const char* name : {"TESSARO_CAMERA", "TESSARO_UNATTENDED", "TESSARO_LOG", "TESSARO_OSC",
                             "TESSARO_PREVIEW", "TESSARO_FULLSCREEN", "TESSARO_DISPLAY_INDEX", "TESSARO_VOLUME",
                             "TESSARO_FADE_IN", "TESSARO_THRESHOLD", "TESSARO_IGNORE_OVER", "TESSARO_MASK",
                             "TESSARO_CAMERA_CONTROL", "TESSARO_HOLD_EXPOSURE"}) {
      unsetenv(name);
    }
    setenv("TESSARO_CONFIG", "/dev/null", 1);
  }
};
}  // namespace

TEST_F(ProgramOptionsTest, NoOptionRunsAsAlways) {
  const Parsed p = parse({});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run);
  EXPECT_EQ(p.options.camera, "");
  EXPECT_FALSE(p.options.unattended);
  EXPECT_EQ(p.options.log, "");
  EXPECT_TRUE(p.options.osc.empty());
  EXPECT_FALSE(p.options.preview);
  EXPECT_FALSE(p.options.fullscreen);
  EXPECT_EQ(p.options.displayIndex, 0);
  EXPECT_TRUE(p.options.cameraControls.empty());
  EXPECT_EQ(p.options.holdExposure, -1);
  EXPECT_EQ(p.out + p.err, "");
}

TEST_F(ProgramOptionsTest, TheCommandLineWinsOverTheEnvironment) {
  setenv("TESSARO_CAMERA", "demo", 1);
  setenv("TESSARO_UNATTENDED", "1", 1);
  setenv("TESSARO_LOG", "/tmp/a.log", 1);
  Parsed p = parse({});
  EXPECT_EQ(p.options.camera, "demo");
  EXPECT_TRUE(p.options.unattended);
  EXPECT_EQ(p.options.log, "/tmp/a.log");
  p = parse({"--camera", "/dev/video2", "--log=/tmp/b.log"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run);
  EXPECT_EQ(p.options.camera, "/dev/video2");
  EXPECT_EQ(p.options.log, "/tmp/b.log");
  setenv("TESSARO_UNATTENDED", "0", 1);
  p = parse({"--unattended", "--camera=clip.mp4"});
  EXPECT_TRUE(p.options.unattended);
  EXPECT_EQ(p.options.camera, "clip.mp4");

  setenv("TESSARO_OSC", "mixer.local:9000, 10.0.0.7:57120", 1);
  setenv("TESSARO_PREVIEW", "1", 1);
  setenv("TESSARO_FULLSCREEN", "yes", 1);
  setenv("TESSARO_DISPLAY_INDEX", "2", 1);
  p = parse({});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run);
  EXPECT_EQ(p.options.osc, (std::vector<std::string>{"mixer.local:9000", "10.0.0.7:57120"}));
  EXPECT_TRUE(p.options.preview);
  EXPECT_TRUE(p.options.fullscreen);
  EXPECT_EQ(p.options.displayIndex, 2);
  setenv("TESSARO_PREVIEW", "0", 1);
  setenv("TESSARO_FULLSCREEN", "off", 1);
  setenv("TESSARO_OSC", "not an address", 1);  // the command line's value replaces it unread
  p = parse({"--osc", "127.0.0.1:57120", "--display-index=0", "--osc=mixer.local:9001"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run) << p.err;
  EXPECT_EQ(p.options.osc, (std::vector<std::string>{"127.0.0.1:57120", "mixer.local:9001"}));
  EXPECT_FALSE(p.options.preview);
  EXPECT_FALSE(p.options.fullscreen);
  EXPECT_EQ(p.options.displayIndex, 0);
  unsetenv("TESSARO_OSC");
  p = parse({"--preview", "--fullscreen", "--display-index", "1"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run) << p.err;
  EXPECT_TRUE(p.options.preview);
  EXPECT_TRUE(p.options.fullscreen);
  EXPECT_EQ(p.options.displayIndex, 1);

  setenv("TESSARO_VOLUME", "-12.5", 1);
  setenv("TESSARO_FADE_IN", "4", 1);
  p = parse({"--volume=-60"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run) << p.err;
  EXPECT_EQ(p.options.room.volume, -60.0);
  EXPECT_EQ(p.options.room.fadeIn, 4.0);
  EXPECT_EQ(p.options.room.threshold, 0);
  EXPECT_EQ(p.options.room.ignoreOver, 100.0);
  setenv("TESSARO_THRESHOLD", "20", 1);
  setenv("TESSARO_MASK", "/srv/room.png", 1);
  p = parse({"--ignore-over", "40", "--threshold=255"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run) << p.err;
  EXPECT_EQ(p.options.room.threshold, 255);
  EXPECT_EQ(p.options.room.ignoreOver, 40.0);
  EXPECT_EQ(p.options.room.mask, "/srv/room.png");
}

TEST_F(ProgramOptionsTest, CameraControlsAreAListAndTheHoldIsSeconds) {
  setenv("TESSARO_CAMERA_CONTROL", "auto_exposure=1, exposure_time_absolute=300", 1);
  setenv("TESSARO_HOLD_EXPOSURE", "4", 1);
  Parsed p = parse({});
  EXPECT_EQ(p.options.cameraControls, (std::vector<std::string>{"auto_exposure=1", "exposure_time_absolute=300"}));
  EXPECT_EQ(p.options.holdExposure, 4);
  p = parse({"--camera-control", "gain=5", "--camera-control=brightness=-3", "--hold-exposure", "2.5"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run) << p.err;
  EXPECT_EQ(p.options.cameraControls, (std::vector<std::string>{"gain=5", "brightness=-3"}));
  EXPECT_EQ(p.options.holdExposure, 2.5);
}

TEST_F(ProgramOptionsTest, HelpAndVersionAnswerOnStandardOutput) {
  Parsed p = parse({"--help"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Exit);
  for (const char* word : {"--camera", "--unattended", "--log", "--osc", "--preview", "--fullscreen",
                           "--display-index", "TESSARO_CAMERA", "TESSARO_UNATTENDED", "TESSARO_OSC",
                           "TESSARO_PREVIEW", "TESSARO_FULLSCREEN", "TESSARO_DISPLAY_INDEX", "oscdump"}) {
    EXPECT_NE(p.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(p.err, "");
  p = parse({"--version"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Exit);
  EXPECT_EQ(p.out.rfind("tessaro ", 0), 0u) << p.out;
}

TEST_F(ProgramOptionsTest, AMistakeIsOneUsageLine) {
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{"--frobnicate"},
                                             {"extra"},
                                             {"--camera"},
                                             {"--camera="},
                                             {"--log"},
                                             {"--unattended=yes"},
                                             {"--osc", "localhost"},
                                             {"--osc=localhost:0"},
                                             {"--osc", "localhost:65536"},
                                             {"--osc", "localhost:9000x"},
                                             {"--osc", ":9000"},
                                             {"--osc", "[::1]:9000"},
                                             {"--preview=1"},
                                             {"--display-index", "-1"},
                                             {"--display-index", "one"},
                                             {"--display-index=256"},
                                             {"--volume", "0.5"},
                                             {"--volume=-60.01"},
                                             {"--volume", "loud"},
                                             {"--fade-in", "-1"},
                                             {"--fade-in=601"},
                                             {"--threshold", "0"},
                                             {"--threshold=256"},
                                             {"--threshold", "1.5"},
                                             {"--ignore-over", "0"},
                                             {"--ignore-over=100.5"},
                                             {"--camera-control", "exposure"},
                                             {"--camera-control", "Gain=5"},
                                             {"--camera-control=gain=1.5"},
                                             {"--camera-control", "gain=5,zoom"},
                                             {"--hold-exposure", "-1"},
                                             {"--hold-exposure", "soon"},
                                             {"--hold-exposure", "nan"},
                                             {"--hold-exposure=3600.5"}}) {
    const Parsed p = parse(words);
    EXPECT_EQ(p.outcome, OptionsOutcome::Usage) << words[0];
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err.find('\n'), p.err.size() - 1) << p.err;
    EXPECT_NE(p.err.find("usage: tessaro"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find(words[0].substr(0, 5)), std::string::npos) << p.err;
  }
  for (const char* variable : {"TESSARO_UNATTENDED", "TESSARO_PREVIEW", "TESSARO_FULLSCREEN", "TESSARO_OSC",
                               "TESSARO_DISPLAY_INDEX", "TESSARO_VOLUME", "TESSARO_FADE_IN",
                               "TESSARO_THRESHOLD", "TESSARO_IGNORE_OVER", "TESSARO_CAMERA_CONTROL",
                               "TESSARO_HOLD_EXPOSURE"}) {
    setenv(variable, "maybe", 1);
    const Parsed p = parse({});
    EXPECT_EQ(p.outcome, OptionsOutcome::Usage) << variable;
    EXPECT_NE(p.err.find(variable), std::string::npos) << p.err;
    unsetenv(variable);
  }
}

// Where the OSC messages go: a name or IPv4 address and a port from 1 to
// 65535, split at the last colon.
TEST_F(ProgramOptionsTest, AnOscTargetIsAHostAndAPort) {
  struct Case {
    const char* text;
    bool accepted;
    const char* host;
    const char* port;
  };
  for (const Case& c :
       {Case{"127.0.0.1:9000", true, "127.0.0.1", "9000"}, Case{"mixer.local:1", true, "mixer.local", "1"},
        Case{"h:65535", true, "h", "65535"}, Case{"h:65536", false, "", ""}, Case{"h:0", false, "", ""},
        Case{"h:", false, "", ""}, Case{":9000", false, "", ""}, Case{"h:+90", false, "", ""},
        Case{"h:900000", false, "", ""}, Case{"h", false, "", ""}, Case{"::1:9000", false, "", ""},
        Case{"[::1]:9000", false, "", ""}}) {
    OscTarget target{"unchanged", "unchanged"};
    EXPECT_EQ(parseOscTarget(c.text, target), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(target.host, c.host);
      EXPECT_EQ(target.port, c.port);
    }
  }
}
