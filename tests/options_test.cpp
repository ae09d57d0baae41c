#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/options.h"

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
  static void clearEnvironment() {
    for (const char* name : {"TESSARO_CAMERA", "TESSARO_UNATTENDED", "TESSARO_LOG"}) unsetenv(name);
  }
};
}  // namespace

TEST_F(ProgramOptionsTest, NoOptionRunsAsAlways) {
  const Parsed p = parse({});
  EXPECT_EQ(p.outcome, OptionsOutcome::Run);
  EXPECT_EQ(p.options.camera, "");
  EXPECT_FALSE(p.options.unattended);
  EXPECT_EQ(p.options.log, "");
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
}

TEST_F(ProgramOptionsTest, HelpAndVersionAnswerOnStandardOutput) {
  Parsed p = parse({"--help"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Exit);
  for (const char* word : {"--camera", "--unattended", "--log", "TESSARO_CAMERA", "TESSARO_UNATTENDED"}) {
    EXPECT_NE(p.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(p.err, "");
  p = parse({"--version"});
  EXPECT_EQ(p.outcome, OptionsOutcome::Exit);
  EXPECT_EQ(p.out.rfind("tessaro ", 0), 0u) << p.out;
}

TEST_F(ProgramOptionsTest, AMistakeIsOneUsageLine) {
  for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
           {"--frobnicate"}, {"extra"}, {"--camera"}, {"--camera="}, {"--log"}, {"--unattended=yes"}}) {
    const Parsed p = parse(words);
    EXPECT_EQ(p.outcome, OptionsOutcome::Usage) << words[0];
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err.find('\n'), p.err.size() - 1) << p.err;
    EXPECT_NE(p.err.find("usage: tessaro"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find(words[0].substr(0, 5)), std::string::npos) << p.err;
  }
  setenv("TESSARO_UNATTENDED", "maybe", 1);
  const Parsed p = parse({});
  EXPECT_EQ(p.outcome, OptionsOutcome::Usage);
  EXPECT_NE(p.err.find("TESSARO_UNATTENDED"), std::string::npos);
}
