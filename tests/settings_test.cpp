#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/settings.h"

namespace {
// A private system file and XDG_CONFIG_HOME, and none of the variables set.
class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tessaro-settings.XXXXXX";
    folder = mkdtemp(name);
    systemFile = folder + "/system.conf";
    userFile = folder + "/xdg/tessaro/tessaro.conf";
    std::filesystem::create_directories(folder + "/xdg/tessaro");
    setenv("XDG_CONFIG_HOME", (folder + "/xdg").c_str(), 1);
    forget();
  }
  void TearDown() override {
    forget();
    std::filesystem::remove_all(folder);
    unsetenv("XDG_CONFIG_HOME");
  }
  // No file and no variable.
  void forget() {
    std::filesystem::remove(systemFile);
    std::filesystem::remove(userFile);
    for (const OptionSpec* option : installationOptions()) unsetenv(option->variable);
    unsetenv("TESSARO_CONFIG");
  }

  static void write(const std::string& path, const std::string& text) {
    if (!text.empty()) std::ofstream(path) << text;
  }

  // The installation's options unless another table is given.
  SettingsResult read(std::vector<std::string> words, std::span<const OptionSpec* const> options = {}) {
    words.insert(words.begin(), "tessaro");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    if (options.empty()) options = installationOptions();
    const ProgramSettings program{"tessaro", options, options, systemFile};
    return readSettings(program, static_cast<int>(argv.size()), argv.data());
  }

  std::string folder, systemFile, userFile;
};
}  // namespace

// Each layer over the ones below it, and --config (or TESSARO_CONFIG) in
// place of both files.
TEST_F(SettingsTest, EachPlaceWinsOverTheOnesBelowIt) {
  struct Case {
    const char* system;
    const char* user;
    const char* environment;  // TESSARO_CAMERA, or nullptr
    std::vector<std::string> arguments;
    const char* value;
    std::string source;  // "system" and "user" stand for their files' line 2
  };
  const std::string comment = "# the gallery\n";
  for (const Case& c : std::vector<Case>{
           {"", "", nullptr, {}, "", "default"},
           {"camera = /dev/video1", "", nullptr, {}, "/dev/video1", "system"},
           {"camera = /dev/video1", "camera=demo", nullptr, {}, "demo", "user"},
           {"", "camera = demo", "clip.mp4", {}, "clip.mp4", "environment TESSARO_CAMERA"},
           {"camera = /dev/video1", "camera = demo", "", {}, "", "environment TESSARO_CAMERA"},
           {"camera = /dev/video1", "", "clip.mp4", {"--camera", "/dev/video3"}, "/dev/video3", "command line"},
           {"camera = /dev/video1", "camera = demo", nullptr, {"--config", "FOLDER/other.conf"}, "b.mp4",
            "--config file FOLDER/other.conf:2"},
           {"camera = /dev/video1", "", "clip.mp4", {"--config=FOLDER/other.conf"}, "clip.mp4",
            "environment TESSARO_CAMERA"},
       }) {
    SCOPED_TRACE(c.source + " " + c.value);
    forget();
    write(systemFile, *c.system ? comment + c.system : "");
    write(userFile, *c.user ? comment + c.user : "");
    write(folder + "/other.conf", comment + "camera = b.mp4 ; the one in the hall\n");
    if (c.environment) setenv("TESSARO_CAMERA", c.environment, 1);
    std::vector<std::string> arguments = c.arguments;
    for (std::string& word : arguments) {
      if (const size_t at = word.find("FOLDER"); at != std::string::npos) word.replace(at, 6, folder);
    }
    const SettingsResult result = read(arguments);
    ASSERT_EQ(result.outcome, SettingsOutcome::Run) << result.mistake;
    EXPECT_EQ(result["camera"].value(), c.value);
    std::string source = c.source;
    if (source == "system") source = "system file " + systemFile + ":2";
    if (source == "user") source = "user file " + userFile + ":2";
    if (const size_t at = source.find("FOLDER"); at != std::string::npos) source.replace(at, 6, folder);
    EXPECT_EQ(result["camera"].source(), source);
  }
  // A switch as the files and the environment write it; the other file's keys stay where they are.
  forget();
  write(systemFile, "preview = on\nfullscreen = yes\n");
  write(userFile, "preview = 0\n");
  setenv("TESSARO_UNATTENDED", "true", 1);
  const SettingsResult result = read({"--print-settings"});
  EXPECT_EQ(result.outcome, SettingsOutcome::PrintSettings);
  EXPECT_EQ(result["preview"].value(), "no");
  EXPECT_EQ(result["fullscreen"].value(), "yes");
  EXPECT_EQ(result["fullscreen"].source(), "system file " + systemFile + ":2");
  EXPECT_EQ(result["unattended"].value(), "yes");
}

// A mistake in a file is one line naming the file and the line; the files
// are not read for --help, and a missing --config file is a mistake.
TEST_F(SettingsTest, AMistakeInAFileNamesItsFileAndLine) {
  struct Case {
    const char* text;
    const char* said;  // after "FILE:"
  };
  for (const Case& c : {Case{"camera = demo\ncamra = demo\n", "2: unknown setting 'camra'"},
                        Case{"\n# osc\nosc = mixer\n", "3: osc takes HOST:PORT with a port from 1 to 65535, not 'mixer'"},
                        Case{"preview = maybe\n", "1: preview must be 1 or 0 (yes or no, true or false, on or off), not 'maybe'"},
                        Case{"display-index = 1 # the projector\ndisplay-index = 2\n",
                             "2: display-index is set twice (first on line 1)"},
                        Case{"fullscreen\n", "1: not a 'key = value' line"},
                        Case{"[tessaro]\ncamera = demo\n", "2: camera is in a section [tessaro]: settings take none"},
                        Case{"log = /var/log/x # fine\ncamera = /dev/video0\n  unattended = 2\n",
                             "3: unattended must be 1 or 0 (yes or no, true or false, on or off), not '2'"}}) {
    write(userFile, c.text);
    const SettingsResult result = read({});
    EXPECT_EQ(result.outcome, SettingsOutcome::FileMistake) << c.text;
    EXPECT_EQ(result.mistake, userFile + ":" + c.said);
    EXPECT_EQ(read({"--help"}).outcome, SettingsOutcome::Help);
  }
  const SettingsResult missing = read({"--config", folder + "/none.conf"});
  EXPECT_EQ(missing.outcome, SettingsOutcome::FileMistake);
  EXPECT_EQ(missing.mistake, "cannot read the settings file '" + folder + "/none.conf': No such file or directory");
}

// A value the environment spells wrongly is no mistake when the command line
// sets that option, or asks only for the help or the version.
TEST_F(SettingsTest, TheCommandLineWinsOverABadEnvironmentValue) {
  setenv("TESSARO_UNATTENDED", "Yes", 1);
  EXPECT_EQ(read({"--help"}).outcome, SettingsOutcome::Help);
  EXPECT_EQ(read({"--version"}).outcome, SettingsOutcome::Version);
  const SettingsResult given = read({"--unattended"});
  EXPECT_EQ(given.outcome, SettingsOutcome::Run) << given.mistake;
  EXPECT_EQ(given["unattended"].source(), "command line");
  EXPECT_EQ(read({}).outcome, SettingsOutcome::Mistake);
}

// An option given more than once: each value on the command line, a comma
// list elsewhere, each value checked; a higher place replaces the whole list.
TEST_F(SettingsTest, AListTakesEachValueFromOnePlace) {
  const OptionSpec targets{"target", "TESSARO_TARGET", OptionKind::List, "HOST:PORT", "", [](const std::string& value) {
                             return value.find(':') == std::string::npos ? "takes HOST:PORT" : nullptr;
                           }, "where to"};
  const OptionSpec* const options[] = {&targets};
  struct Case {
    const char* file;
    const char* environment;
    std::vector<std::string> arguments;
    std::vector<std::string> values;
    const char* mistake;
  };
  for (const Case& c : std::vector<Case>{
           {"target = a:1, b:2", nullptr, {}, {"a:1", "b:2"}, ""},
           {"target = a:1, b:2", "c:3,,d:4 ", {}, {"c:3", "d:4"}, ""},
           {"target = a:1", "c:3", {"--target", "e:5", "--target=f:6"}, {"e:5", "f:6"}, ""},
           {"", "c:3,d", {}, {}, "TESSARO_TARGET takes HOST:PORT, not 'd'"},
           {"target = a:1,b", nullptr, {}, {}, "FILE:1: target takes HOST:PORT, not 'b'"},
       }) {
    forget();
    write(systemFile, c.file);
    if (c.environment) setenv("TESSARO_TARGET", c.environment, 1);
    const SettingsResult result = read(c.arguments, options);
    std::string mistake = c.mistake;
    if (mistake.starts_with("FILE")) mistake.replace(0, 4, systemFile);
    EXPECT_EQ(result.mistake, mistake);
    if (mistake.empty()) {
      EXPECT_EQ(result["target"].values, c.values) << c.file;
    }
  }
  unsetenv("TESSARO_TARGET");
}
