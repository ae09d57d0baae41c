// The camera's controls through the fake UVC device: listed, set at start
// and after a replug, the automatics held at what they reached, and a
// control the camera does not have said and left alone.
#include <linux/videodev2.h>

#include "camera/camera_controls.h"
#include "camera/camera_listing.h"
#include "support/capture_device_fixture.h"

namespace {
// The fake's webcam, with a control its firmware does not let anyone set.
std::vector<FakeControl> testControls() {
  std::vector<FakeControl> controls = webcamControls();
  FakeControl fixed{
      V4L2_CID_EXPOSURE_AUTO_PRIORITY, "Exposure, Dynamic Framerate", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1, 0};
  fixed.readOnly = true;
  controls.push_back(fixed);
  return controls;
}

class CameraControls : public CaptureDevice {
 protected:
  void TearDown() override {
    setCameraControlSetup({});
    CaptureDevice::TearDown();
  }
  void install(const CameraControlSetup& setup) {
    setCameraControlSetup(setup);
    installFakeCamera(oneCamera({}, {single(V4L2_PIX_FMT_YUYV, 320, 240)}, testControls()));
  }
  // Streams the installed webcam until one frame came through; the camera
  // layer's lines so far.
  std::string stream() {
    testing::internal::CaptureStderr();
    startStreaming();
    EXPECT_TRUE(fakeProduceFrame(yuyvFrame(50)));
    EXPECT_TRUE(waitForFrames(1, 2000));
    return testing::internal::GetCapturedStderr();
  }
  std::string start(const CameraControlSetup& setup) {
    install(setup);
    return stream();
  }
  // Unplugs the camera and plugs it in again (its controls back at their
  // defaults); returns once its frames flow again.
  void replug() {
    fakeUnplug();
    ASSERT_TRUE(
        waitUntil(2000, [&] { return captureActivity(system).state == CaptureState::WaitingForCamera; }));
    fakeReplug("video0");
    ASSERT_TRUE(produceWhenReady(yuyvFrame(90)) && waitForFrames(2, 2000));
  }
};

std::vector<ControlSetting> settings(std::initializer_list<ControlSetting> list) { return list; }
}  // namespace

TEST_F(CameraControls, TheListingGivesEachControlAsTheDriverDescribesIt) {
  installFakeCamera(oneCamera({}, {single(V4L2_PIX_FMT_YUYV, 320, 240)}, testControls()));
  fakeSetControl(V4L2_CID_EXPOSURE_ABSOLUTE, 157);  // where the automatic exposure is now
  const std::string text = describeCameras(true).text;
  const std::string controls = text.substr(text.find("  controls:"));
  EXPECT_EQ(controls,
            "  controls:\n"
            "    brightness (int): min=-64 max=64 step=1 default=0 value=0\n"
            "    white_balance_automatic (bool): default=1 value=1\n"
            "    gain (int): min=0 max=255 step=1 default=32 value=32\n"
            "    white_balance_temperature (int): min=2800 max=6500 step=10 default=4600 value=4600 "
            "flags=inactive\n"
            "    auto_exposure (menu): min=1 max=3 default=3 value=3\n"
            "      1: Manual Mode\n"
            "      3: Aperture Priority Mode\n"
            "    exposure_time_absolute (int): min=3 max=2047 step=1 default=250 value=157 flags=inactive\n"
            "    exposure_dynamic_framerate (bool): default=0 value=0 flags=read-only\n");
  EXPECT_EQ(describeCameras(false).text.find("controls"), std::string::npos);
}

TEST_F(CameraControls, EachSettingIsSetAtStartOrRefusedInOneLineAsTheDriverSays) {
  struct Case {
    std::vector<ControlSetting> asked;
    uint32_t id;
    int32_t value;      // the control's value after the start
    std::string lines;  // the camera layer's lines, after the capture's own
  };
  const std::vector<Case> cases = {
      {settings({{"brightness", -10}}), V4L2_CID_BRIGHTNESS, -10,
       "camera: set on Fake Cam: brightness=-10\n"},
      // The driver clamps a number to its range and rounds it to its step.
      {settings({{"brightness", 100}}), V4L2_CID_BRIGHTNESS, 64, "camera: set on Fake Cam: brightness=64\n"},
      {settings({{"white_balance_automatic", 0}, {"white_balance_temperature", 4567}}),
       V4L2_CID_WHITE_BALANCE_TEMPERATURE, 4570,
       "camera: set on Fake Cam: white_balance_automatic=0, white_balance_temperature=4570\n"},
      // A value whose automatic a later setting turns off is set after it.
      {settings({{"exposure_time_absolute", 300}, {"auto_exposure", 1}}), V4L2_CID_EXPOSURE_ABSOLUTE, 300,
       "camera: set on Fake Cam: auto_exposure=1, exposure_time_absolute=300\n"},
      {settings({{"exposure_time_absolute", 300}}), V4L2_CID_EXPOSURE_ABSOLUTE, 250,
       "camera: cannot set exposure_time_absolute=300 on Fake Cam: it is inactive while its automatic is on "
       "(set the automatic to manual first)\n"},
      {settings({{"auto_exposure", 2}}), V4L2_CID_EXPOSURE_AUTO, 3,
       "camera: cannot set auto_exposure=2 on Fake Cam: 2 is not one of its entries\n"},
      {settings({{"auto_exposure", 0}}), V4L2_CID_EXPOSURE_AUTO, 3,
       "camera: cannot set auto_exposure=0 on Fake Cam: 0 is not one of its entries\n"},
      {settings({{"exposure_dynamic_framerate", 1}}), V4L2_CID_EXPOSURE_AUTO_PRIORITY, 0,
       "camera: cannot set exposure_dynamic_framerate=1 on Fake Cam: it is read-only\n"},
      {settings({{"gain", 99999999999}}), V4L2_CID_GAIN, 32,
       "camera: cannot set gain=99999999999 on Fake Cam: the value is out of its range\n"},
      // The run goes on without a control the camera does not have.
      {settings({{"zoom_absolute", 5}, {"gain", 40}}), V4L2_CID_GAIN, 40,
       "camera: Fake Cam has no control zoom_absolute: left alone (tessaro-cameras --controls lists them)\n"
       "camera: set on Fake Cam: gain=40\n"},
  };
  for (const Case& c : cases) {
    const std::string lines = start({c.asked, -1});
    EXPECT_EQ(fakeControlValue(c.id), c.value) << c.lines;
    EXPECT_EQ(lines, c.lines);
    CVReleaseVidCap(system);
    system = 0;
    uninstallFakeCamera();
  }
}

TEST_F(CameraControls, SettingsAreSetAgainAfterAReplugWithoutSayingThemAgain) {
  start({settings({{"auto_exposure", 1}, {"exposure_time_absolute", 300}}), -1});
  testing::internal::CaptureStderr();
  replug();
  ASSERT_TRUE(waitUntil(2000, [] { return fakeControlValue(V4L2_CID_EXPOSURE_ABSOLUTE) == 300; }));
  EXPECT_EQ(fakeControlValue(V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_MANUAL);
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("set on"), std::string::npos);
}

TEST_F(CameraControls, HeldAutomaticsTurnManualAtTheValuesTheyReachedAndStaySoAfterAReplug) {
  install({{}, 0.1});
  // What the automatics will have reached when they are held.
  fakeSetControl(V4L2_CID_EXPOSURE_ABSOLUTE, 157);
  fakeSetControl(V4L2_CID_WHITE_BALANCE_TEMPERATURE, 5230);
  fakeSetControl(V4L2_CID_GAIN, 77);  // chosen by the automatic exposure
  const std::string lines = stream();
  testing::internal::CaptureStderr();
  ASSERT_TRUE(
      waitUntil(2000, [] { return fakeControlValue(V4L2_CID_EXPOSURE_AUTO) == V4L2_EXPOSURE_MANUAL; }));
  EXPECT_EQ(fakeControlValue(V4L2_CID_EXPOSURE_ABSOLUTE), 157);
  EXPECT_EQ(fakeControlValue(V4L2_CID_AUTO_WHITE_BALANCE), 0);
  EXPECT_EQ(fakeControlValue(V4L2_CID_WHITE_BALANCE_TEMPERATURE), 5230);
  replug();
  ASSERT_TRUE(waitUntil(2000, [] { return fakeControlValue(V4L2_CID_EXPOSURE_ABSOLUTE) == 157; }));
  EXPECT_EQ(fakeControlValue(V4L2_CID_EXPOSURE_AUTO), V4L2_EXPOSURE_MANUAL);
  EXPECT_EQ(fakeControlValue(V4L2_CID_AUTO_WHITE_BALANCE), 0);
  EXPECT_EQ(fakeControlValue(V4L2_CID_WHITE_BALANCE_TEMPERATURE), 5230);
  EXPECT_EQ(fakeControlValue(V4L2_CID_GAIN), 77);
  const std::string later = testing::internal::GetCapturedStderr();
  EXPECT_NE(
      later.find(
          "camera: Fake Cam: the automatics are held after 0.1 s: exposure_time_absolute=157, "
          "white_balance_temperature=5230, gain=77; it has no focus_automatic_continuous, gain_automatic\n"),
      std::string::npos)
      << lines << later;
}

TEST_F(CameraControls, WithoutASetUpNoControlCallIsMade) {
  start({});
  EXPECT_EQ(fakeControlCalls(), 0);
}

TEST_F(CameraControls, ACameraWithoutControlsSaysSoInOneLineAndRuns) {
  setenv("TESSARO_CAMERA", "demo", 1);
  setCameraControlSetup({settings({{"gain", 5}}), 2});
  testing::internal::CaptureStderr();
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 1);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  ASSERT_GE(CVDevStartCap(system, 0, 7, logFrame, 9, &captureId), 0);
  EXPECT_TRUE(waitForFrames(1, 2000));
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  unsetenv("TESSARO_CAMERA");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "camera: Tessaro demo camera has no controls: none is set or held\n");
}
