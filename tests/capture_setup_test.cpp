#include "vision/capture_setup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_box.h"
#include "support/frame_log.h"
#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"
#include "vision/motion_state.h"

namespace {
// A scripted camera layer: what each call answers, and the order of calls.
struct ScriptedMode {
  int32_t width, height, rate;
  const char* name;
  bool readable;
};
struct Script {
  int32_t acquire = 0;
  std::vector<std::pair<const char*, bool>> devices;  // name, readable
  int32_t deviceCount = -100;                         // -100: devices.size()
  int32_t connect = 0;
  std::vector<ScriptedMode> modes;
  int32_t startResult = 0;
};
Script script;
std::vector<std::string> calls;
CaptureFrameCallback startedCallback = nullptr;
int32_t startArguments[3] = {};

constexpr uint32_t handle = 3;
constexpr uint32_t runId = 42;

void getVersion(char* text, uint32_t* capacity) {
  calls.push_back("version");
  std::snprintf(text, *capacity, "Scripted layer 9.9\n");
}
int32_t acquire(uint32_t* system) {
  calls.push_back("acquire");
  if (script.acquire >= 0) *system = handle;
  return script.acquire;
}
int32_t numDevices(uint32_t system) {
  calls.push_back("devices");
  EXPECT_EQ(system, handle);
  return script.deviceCount != -100 ? script.deviceCount : int32_t(script.devices.size());
}
int32_t deviceName(uint32_t, int32_t device, char* name, uint32_t* capacity) {
  calls.push_back("name " + std::to_string(device));
  EXPECT_EQ(*capacity, 255u);
  if (device < 0 || device >= int32_t(script.devices.size()) || !script.devices[size_t(device)].second)
    return -1;
  std::snprintf(name, *capacity, "%s", script.devices[size_t(device)].first);
  return 0;
}
int32_t connect(uint32_t, int32_t device) {
  calls.push_back("connect " + std::to_string(device));
  return script.connect;
}
int32_t numModes(uint32_t) {
  calls.push_back("modes");
  return int32_t(script.modes.size());
}
int32_t modeInfo(uint32_t, int32_t mode, int32_t* width, int32_t* height, int32_t* rate, int32_t* code) {
  const ScriptedMode& m = script.modes.at(size_t(mode));
  if (!m.readable) return -1;
  *width = m.width, *height = m.height, *rate = m.rate, *code = 1000 + mode;
  return 0;
}
int32_t formatName(uint32_t, int32_t code, char* name, uint32_t* capacity) {
  EXPECT_EQ(*capacity, 32u);
  std::snprintf(name, *capacity, "%s", script.modes.at(size_t(code - 1000)).name);
  return 0;
}
int32_t startCap(uint32_t system, int32_t a, uint32_t b, CaptureFrameCallback callback, uint32_t c,
                 uint32_t* id) {
  calls.push_back("start");
  EXPECT_EQ(system, handle);
  startArguments[0] = a, startArguments[1] = int32_t(b), startArguments[2] = int32_t(c);
  startedCallback = callback;
  *id = runId;
  return script.startResult;
}
int32_t stopCap(uint32_t system, uint32_t id) {
  calls.push_back("stop " + std::to_string(system) + " " + std::to_string(id));
  return 0;
}
int32_t disconnect(uint32_t) {
  calls.push_back("disconnect");
  return 0;
}
int32_t release(uint32_t system) {
  calls.push_back("release " + std::to_string(system));
  return 0;
}
const CaptureLibraryCalls scripted = {getVersion, acquire,    numDevices, deviceName, connect,    numModes,
                                      modeInfo,   formatName, startCap,   stopCap,    disconnect, release};

std::string boxCaption, boxText;
void recordBox(SDL_Window*, const char* caption, const char* text) {
  calls.push_back("box");
  boxCaption = caption;
  boxText = text;
}

const std::string banner =
    "-------------------------------------------------------\n"
    "CodeVis VidCapture DLL Test Program                     \n"
    "Scripted layer 9.9\n"
    "-------------------------------------------------------\n";

class CaptureSetup : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
    script.devices = {{"Cam A", true}, {"Cam B", true}};
    script.modes = {{640, 480, 30, "YUYV", true}, {1280, 720, 60, "MJPG", true}};
    calls.clear();
    boxCaption.clear();
    boxText.clear();
    startedCallback = nullptr;
    setCaptureLibraryCalls(&scripted);
    setMessageBoxHook(recordBox);
  }
  void TearDown() override {
    setCaptureLibraryCalls(nullptr);
    setMessageBoxHook(nullptr);
    captureStarted = false;
  }
  // Runs startCapture, keeping what it printed: the listing and the
  // diagnostics apart.
  int32_t start() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int32_t result = startCapture();
    out = testing::internal::GetCapturedStdout();
    errors = testing::internal::GetCapturedStderr();
    return result;
  }
  std::string stop() {
    testing::internal::CaptureStdout();
    stopCapture();
    return testing::internal::GetCapturedStdout();
  }
  bool called(const std::string& name) {
    for (const std::string& c : calls)
      if (c.rfind(name, 0) == 0) return true;
    return false;
  }
  std::string out;
  std::string errors;
};
}  // namespace

TEST_F(CaptureSetup, ListsDevicesAndModesShowsTheFirstModeThenStarts) {
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(out, banner +
                     "Found device: 0 - Cam A\n"
                     "Found device: 1 - Cam B\n"
                     "Selecting the first one: Cam A\n"
                     "Scanning available modes...\n"
                     "Mode 0: 640x480 @ 30 frames/sec (YUYV)\n"
                     "Mode 1: 1280x720 @ 60 frames/sec (MJPG)\n");
  EXPECT_EQ(boxCaption, "Info:");
  EXPECT_EQ(boxText, "640 x 480 @ 30 fps (YUYV)");
  const std::vector<std::string> expected = {"version", "acquire",   "devices", "name 0", "name 1",
                                             "name 0",  "connect 0", "modes",   "box",    "start"};
  EXPECT_EQ(calls, expected);  // the user answers the box before frames flow
  EXPECT_EQ(startedCallback, &onFrameCaptured);
  EXPECT_EQ(startArguments[0], 0);
  EXPECT_EQ(startArguments[1], 1);
  EXPECT_EQ(startArguments[2], 0);
  EXPECT_EQ(captureId, runId);
  EXPECT_EQ(analysisWidth, 640);  // buffers sized for the first mode, not the largest
  EXPECT_EQ(analysisHeight, 480);
  EXPECT_TRUE(captureStarted);

  calls.clear();
  EXPECT_EQ(stop(), "\nCleaning up...\nTest complete.\n");
  const std::vector<std::string> teardown = {"stop 3 42", "disconnect", "release 3"};
  EXPECT_EQ(calls, teardown);
}

TEST_F(CaptureSetup, FailedAcquireReleasesNothingAndShutdownLeavesItAlone) {
  script.acquire = -1;
  EXPECT_EQ(start(), -1);
  EXPECT_EQ(out, banner + "Error acquiring capture system.\n");
  EXPECT_FALSE(called("release"));
  EXPECT_FALSE(called("box"));
  calls.clear();
  EXPECT_EQ(stop(), "\nCleaning up...\nTest complete.\n");
  EXPECT_TRUE(calls.empty());
}

TEST_F(CaptureSetup, NoDeviceReleasesTheSystem) {
  script.devices.clear();
  EXPECT_EQ(start(), -1);
  EXPECT_EQ(out, banner + "No compatible devices found. Please install a web camera.\n");
  const std::vector<std::string> expected = {"version", "acquire", "devices", "release 3"};
  EXPECT_EQ(calls, expected);
  calls.clear();
  stop();
  EXPECT_TRUE(calls.empty());
}

TEST_F(CaptureSetup, UnreadableNamesAreSkippedInTheListing) {
  script.devices = {{"Cam A", true}, {"Cam B", false}, {"Cam C", true}};
  ASSERT_EQ(start(), 0);
  EXPECT_NE(out.find("Found device: 0 - Cam A\nFound device: 2 - Cam C\nSelecting the first one: Cam A\n"),
            std::string::npos)
      << out;
}

TEST_F(CaptureSetup, NegativeDeviceCountSkipsTheListingOnly) {
  script.deviceCount = -1;
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(out.find("Found device"), std::string::npos);
  EXPECT_NE(out.find("Selecting the first one: Cam A\n"), std::string::npos) << out;
  EXPECT_TRUE(called("start"));
}

TEST_F(CaptureSetup, FailedConnectNamesTheCameraAndReleases) {
  script.connect = -1;
  EXPECT_EQ(start(), -1);
  EXPECT_EQ(out.substr(banner.size()),
            "Found device: 0 - Cam A\nFound device: 1 - Cam B\nSelecting the first one: Cam A\n"
            "Failed connecting to camera: Cam A\n");
  EXPECT_EQ(calls.back(), "release 3");
  EXPECT_FALSE(called("disconnect"));
  EXPECT_FALSE(captureStarted);
}

TEST_F(CaptureSetup, UnreadableLaterModeIsSkippedAndModeZeroStillUsed) {
  script.modes = {{320, 240, 15, "YUYV", true}, {640, 480, 30, "YUYV", false}, {160, 120, 5, "GREY", true}};
  ASSERT_EQ(start(), 0);
  EXPECT_NE(out.find("Mode 0: 320x240 @ 15 frames/sec (YUYV)\nMode 2: 160x120 @ 5 frames/sec (GREY)\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(boxText, "320 x 240 @ 15 fps (YUYV)");
  EXPECT_EQ(analysisWidth, 320);
}

TEST_F(CaptureSetup, EveryModeIsListedButOnlyTenKept) {
  script.modes.clear();
  for (int i = 0; i < 14; ++i) script.modes.push_back({160 * (i + 1), 120 * (i + 1), 30 - i, "MJPG", true});
  ASSERT_EQ(start(), 0);
  EXPECT_NE(out.find("Mode 13: 2240x1680 @ 17 frames/sec (MJPG)\n"), std::string::npos) << out;
  EXPECT_EQ(boxText, "160 x 120 @ 30 fps (MJPG)");
}

TEST_F(CaptureSetup, EmptyFirstModeIsRefused) {
  for (const bool noModes : {true, false}) {
    SetUp();
    if (noModes) script.modes.clear();
    else script.modes[0].readable = false;
    EXPECT_EQ(start(), -1);
    EXPECT_NE(out.find("Scanning available modes...\n"), std::string::npos);
    EXPECT_EQ(errors.rfind("camera: ", 0), 0u) << errors;
    EXPECT_NE(errors.find("first mode"), std::string::npos) << errors;
    EXPECT_FALSE(called("box"));
    EXPECT_FALSE(called("start"));
    EXPECT_EQ(calls[calls.size() - 2], "disconnect");
    EXPECT_EQ(calls.back(), "release 3");
    calls.clear();
    stop();
    EXPECT_TRUE(calls.empty());
  }
}

TEST_F(CaptureSetup, FailedStartStillCountsAsStarted) {
  script.startResult = -1;
  EXPECT_EQ(start(), 0);
  EXPECT_TRUE(captureStarted);
  calls.clear();
  stop();
  EXPECT_EQ(calls.size(), 3u);  // the connected system is still torn down
}

TEST_F(CaptureSetup, DemoCameraFeedsTheAnalysis) {
  setCaptureLibraryCalls(nullptr);
  setenv("TESSARO_CAMERA", "demo", 1);
  ASSERT_EQ(start(), 0);
  unsetenv("TESSARO_CAMERA");
  EXPECT_EQ(boxText, "640 x 480 @ 30 fps (GREY)");
  EXPECT_NE(out.find("Found device: 0 - Tessaro demo camera\n"), std::string::npos) << out;
  // The first analysed frame finds every sample moving (no difference yet).
  float fraction = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (fraction == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    enterMotionLock();
    fraction = motionState.movingFraction;
    leaveMotionLock();
  }
  EXPECT_EQ(stop(), "\nCleaning up...\nTest complete.\n");
  EXPECT_GT(fraction, 0.0f);
}
