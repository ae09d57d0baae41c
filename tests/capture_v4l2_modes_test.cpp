#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "camera/camera_listing.h"
#include "camera/capture_device_ops.h"
#include "camera/capture_library.h"
#include "support/capture_device_fixture.h"
#include "support/fake_camera.h"
#include "support/frame_log.h"

namespace {
void expectModes(const std::vector<Modes>& modes, const std::vector<Modes>& expected) {
  ASSERT_EQ(modes.size(), expected.size());
  for (size_t i = 0; i < modes.size(); ++i) {
    EXPECT_EQ(modes[i].width, expected[i].width) << i;
    EXPECT_EQ(modes[i].height, expected[i].height) << i;
    EXPECT_EQ(modes[i].rate, expected[i].rate) << i;
    EXPECT_EQ(modes[i].format, expected[i].format) << i;
  }
}
}  // namespace

TEST_F(CaptureDevice, ListsCaptureNodesInNumericOrderWithoutMetadataNodes) {
  installFakeCamera({{"video10", "Cam C", FakeNodeKind::Capture, {discreteYuyv()}, {}},
                     {"video2", "Cam B", FakeNodeKind::Capture, {discreteYuyv()}, {}},
                     {"video1", "Cam A", FakeNodeKind::Metadata, {}, {}},
                     {"video0", "Cam A", FakeNodeKind::Capture, {discreteYuyv()}, {}}});
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 3);
  const char* expected[] = {"Cam A", "Cam B", "Cam C"};
  for (int32_t i = 0; i < 3; ++i) {
    char name[256] = {};
    uint32_t capacity = 255;
    ASSERT_GE(CVGetDeviceName(system, i, name, &capacity), 0);
    EXPECT_STREQ(name, expected[i]);
  }
  char name[256] = "untouched";
  uint32_t capacity = 255;
  EXPECT_LT(CVGetDeviceName(system, 3, name, &capacity), 0);
  EXPECT_LT(CVGetDeviceName(system, -1, name, &capacity), 0);
  EXPECT_STREQ(name, "untouched");
  // A small capacity truncates and still terminates the text.
  capacity = 4;
  ASSERT_GE(CVGetDeviceName(system, 2, name, &capacity), 0);
  EXPECT_STREQ(name, "Cam");
  EXPECT_EQ(fakeOpenDescriptors(), 0);
}

// TESSARO_CAMERA picks one device by its path; one that cannot be used is
// said, as data for the lister and as one line for the installation.
TEST_F(CaptureDevice, TheCameraSettingNamesOneDeviceOrSaysWhyNot) {
  installFakeCamera({{"video0", "Cam A", FakeNodeKind::Capture, {discreteYuyv()}, {}},
                     {"video1", "Cam A", FakeNodeKind::Metadata, {}, {}},
                     {"video2", "Cam B", FakeNodeKind::Capture, {discreteYuyv()}, {}},
                     {"video3", "Board ISP", FakeNodeKind::Capture, {discreteYuyv()}, {}, "", true}});
  const std::string folder = videoDeviceFolder();
  struct Case {
    const char* node;
    const char* name;  // of the one camera, or nullptr
    const char* reason;
    const char* line;
  };
  const Case cases[] = {
      {"video2", "Cam B", nullptr, nullptr},
      {"video3", "Board ISP", nullptr, nullptr},  // a media-controller node, named: taken as it is
      {"video1", nullptr, "Cam A: it captures no video (a metadata, output or radio node)",
       "FOLDER/video1 (Cam A) skipped: it captures no video (a metadata, output or radio node)"},
      {"video9", nullptr, "cannot be opened: No such file or directory",
       "Cannot open FOLDER/video9: No such file or directory"},
  };
  auto withFolder = [&](std::string text) { return text.replace(text.find("FOLDER"), 6, folder); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node);
    const std::string path = folder + "/" + c.node;
    setenv("TESSARO_CAMERA", path.c_str(), 1);
    // Quietly, as data...
    ASSERT_GE(CVAcquireVidCap(&system), 0);
    testing::internal::CaptureStderr();
    std::vector<CameraSkip> skipped;
    const int32_t count = listCameras(system, skipped);
    CameraDetails details;
    const bool described = cameraDetails(system, 0, details);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    CVReleaseVidCap(system);
    // ...and as the installation lists them.
    ASSERT_GE(CVAcquireVidCap(&system), 0);
    testing::internal::CaptureStderr();
    const int32_t listed = CVGetNumDevices(system);
    const std::string lines = testing::internal::GetCapturedStderr();
    CVReleaseVidCap(system);
    system = 0;
    EXPECT_EQ(listed, count);
    if (c.name) {
      EXPECT_EQ(count, 1);
      ASSERT_TRUE(described);
      EXPECT_EQ(details.path, path);
      EXPECT_EQ(details.name, c.name);
      EXPECT_EQ(details.driver, "fakecam");
      EXPECT_EQ(details.busInfo, std::string("usb-fake-") + c.name);
      EXPECT_TRUE(skipped.empty());
      EXPECT_EQ(lines, "");
    } else {
      EXPECT_EQ(count, 0);
      EXPECT_FALSE(described);
      ASSERT_EQ(skipped.size(), 1u);
      EXPECT_EQ(skipped[0].path, path);
      EXPECT_EQ(skipped[0].reason, c.reason);
      EXPECT_EQ(skipped[0].line, withFolder(c.line));
      EXPECT_EQ(lines, "camera: " + withFolder(c.line) + "\n");
    }
  }
  unsetenv("TESSARO_CAMERA");
}

// What tessaro-cameras prints: each camera with its modes and what was left
// out of it, each node skipped and why, and whether any camera can be used.
TEST_F(CaptureDevice, TheListingNamesEachCameraItsModesAndEverySkip) {
  FakeFormat fields = single(V4L2_PIX_FMT_YUYV, 720, 480);
  fields.alternateFields = true;
  const FakeNode usable = {
      "video0", "Cam A", FakeNodeKind::Capture, {fields, single(V4L2_PIX_FMT_MJPEG, 640, 480)}, {}};
  const FakeNode metadata = {"video1", "Cam A", FakeNodeKind::Metadata, {}, {}};
  const FakeNode planar = {"video2", "Board ISP", FakeNodeKind::MultiPlanar, {discreteYuyv()}, {}};
  const FakeNode h264Only = {"video3", "Cam C", FakeNodeKind::Capture, {h264()}, {}};
  auto renamed = [](FakeNode node, const char* file) {
    node.file = file;
    return node;
  };
  struct Case {
    std::vector<FakeNode> nodes;
    const char* text;
    int usable;
  };
  const Case cases[] = {
      {{usable, metadata, planar, h264Only},
       "0: F/video0: Cam A (fakecam, usb-fake-Cam A)\n"
       "  mode 0: 640 x 480 @ 30 fps (MJPG)\n"
       "  mode 1: 640 x 480 @ 15 fps (MJPG)\n"
       "  format YUYV left out: the driver sends each field in a buffer of its own, half a picture high\n"
       "1: F/video3: Cam C (fakecam, usb-fake-Cam C)\n"
       "  no mode the installation can use\n"
       "skipped: F/video2: Board ISP: it captures only through the multi-planar API\n",
       1},
      {{renamed(h264Only, "video0"), renamed(usable, "video1")},
       "0: F/video0: Cam C (fakecam, usb-fake-Cam C)\n"
       "  no mode the installation can use\n"
       "1: F/video1: Cam A (fakecam, usb-fake-Cam A)\n"
       "  mode 0: 640 x 480 @ 30 fps (MJPG)\n"
       "  mode 1: 640 x 480 @ 15 fps (MJPG)\n"
       "  format YUYV left out: the driver sends each field in a buffer of its own, half a picture high\n"
       "The installation takes the first camera, F/video0, which it cannot use; TESSARO_CAMERA=PATH picks "
       "another.\n",
       1},
      {{planar},
       "skipped: F/video2: Board ISP: it captures only through the multi-planar API\nNo usable camera.\n",
       0},
      {{metadata}, "No camera found.\n", 0},
  };
  for (const Case& c : cases) {
    installFakeCamera(c.nodes);
    std::string expected = c.text;
    // Searched past each replacement: the folder's own name may end in F.
    const std::string folder = videoDeviceFolder();
    for (size_t at = 0; (at = expected.find("F/", at)) != std::string::npos; at += folder.size())
      expected.replace(at, 1, folder);
    testing::internal::CaptureStderr();
    const CameraListing listing = describeCameras();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(listing.text, expected);
    EXPECT_EQ(listing.usableCameras, c.usable);
    EXPECT_EQ(fakeOpenDescriptors(), 0);
    uninstallFakeCamera();
  }
}

TEST_F(CaptureDevice, NoNodesMeansNoDevices) {
  installFakeCamera({{"video0", "Meta", FakeNodeKind::Metadata, {}, {}}});
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  EXPECT_EQ(CVGetNumDevices(system), 0);
  EXPECT_LT(CVDevConnect(system, 0), 0);
}

TEST_F(CaptureDevice, ModesFollowDriverOrderWithRangeEnds) {
  installFakeCamera(
      {{"video0", "Cam", FakeNodeKind::Capture, {discreteYuyv(), h264(), stepwiseMjpeg()}, {}}});
  setFakeInterruptions(5, 0);  // enumeration survives signals
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 1);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  const std::vector<Modes> modes = listModes(system);
  const std::vector<Modes> expected = {
      {640, 480, 30, "YUYV"}, {640, 480, 15, "YUYV"}, {320, 240, 30, "YUYV"},  {320, 240, 15, "YUYV"},
      {160, 120, 60, "MJPG"}, {160, 120, 5, "MJPG"},  {1280, 720, 60, "MJPG"}, {1280, 720, 5, "MJPG"},
  };
  expectModes(modes, expected);
  int32_t w = -5;
  EXPECT_LT(CVDevGetModeInfo(system, 8, &w, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(w, -5);
  EXPECT_EQ(fakeOpenDescriptors(), 1);
  CVDevDisconnect(system);
  EXPECT_EQ(fakeOpenDescriptors(), 0);
  EXPECT_LT(CVDevGetNumModes(system), 0);
}

TEST_F(CaptureDevice, NodesAndModesTheLayerCannotUseAreLeftOutWithAReason) {
  FakeFormat fields = single(V4L2_PIX_FMT_YUYV, 720, 480);
  fields.alternateFields = true;
  const FakeFormat anySize = {
      V4L2_PIX_FMT_MJPEG, FakeRange::Continuous, {{160, 120}, {1920, 1080}}, FakeRange::Discrete, {{1, 30}}};
  installFakeCamera({{"video0", "Board ISP", FakeNodeKind::MultiPlanar, {discreteYuyv()}, {}},
                     {"video1", "Capture Card", FakeNodeKind::Capture, {fields, anySize}, {}},
                     {"video2", "Capture Card", FakeNodeKind::Metadata, {}, {}},
                     {"video3", "Board Camera", FakeNodeKind::Capture, {discreteYuyv()}, {}, "", true}});
  testing::internal::CaptureStderr();
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  const int32_t devices = CVGetNumDevices(system);
  const std::string lines = testing::internal::GetCapturedStderr();
  ASSERT_EQ(devices, 1);
  const std::string folder = lines.substr(lines.find('/'), lines.find("/video0") - lines.find('/'));
  EXPECT_NE(lines.find(folder + "/video0 (Board ISP) skipped: it captures only through the multi-planar API"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find(folder + "/video1: YUYV skipped: the driver sends each field in a buffer of its own"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find(folder +
                       "/video3 (Board Camera) skipped: it belongs to a media-controller pipeline (an image "
                       "processor's camera) that must be set up first (media-ctl); --camera " +
                       folder + "/video3 uses it anyway"),
            std::string::npos)
      << lines;
  EXPECT_EQ(lineCount(lines), 3) << lines;
  // A size range offers the analysis's own 640 x 480 first, then its ends.
  ASSERT_GE(CVDevConnect(system, 0), 0);
  const std::vector<Modes> modes = listModes(system);
  const std::vector<Modes> expected = {
      {640, 480, 30, "MJPG"}, {160, 120, 30, "MJPG"}, {1920, 1080, 30, "MJPG"}};
  expectModes(modes, expected);
  // ...and streams in it.
  ASSERT_GE(CVDevStartCap(system, 0, 7, logFrame, 9, &captureId), 0);
  EXPECT_EQ(fakeCurrentFormat().width, 640u);
  ASSERT_TRUE(produceWhenReady(jpegFrame(60)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  EXPECT_EQ(offSmooth(loggedFrame(0), 640, 480, 60), 0);
}

TEST_F(CaptureDevice, HandlesAreCheckedAndReleased) {
  installFakeCamera(oneCamera());
  EXPECT_LT(CVGetNumDevices(0), 0);
  EXPECT_LT(CVGetNumDevices(99), 0);
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  EXPECT_GT(system, 0u);
  EXPECT_LT(CVDevGetNumModes(system), 0);  // not connected yet
  EXPECT_LT(CVDevStartCap(system, 0, 0, logFrame, 0, &captureId), 0);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  EXPECT_LT(CVDevConnect(system, 0), 0);                               // already connected
  EXPECT_LT(CVDevStartCap(system, 2, 0, logFrame, 0, &captureId), 0);  // no such mode
  EXPECT_GE(CVReleaseVidCap(system), 0);
  EXPECT_LT(CVGetNumDevices(system), 0);
  EXPECT_EQ(fakeOpenDescriptors(), 0);
  system = 0;
}

// What a driver answers in place of the mode, and what the analysis must
// still get: the whole picture at the mode's size.
struct DriverAnswer {
  const char* what;
  FakeDriver driver;
  std::vector<FakeFormat> formats;
  int buffers;                              // the layer queues every one granted
  std::function<Frame()> frame;             // of the format the driver chose
  std::function<int(const Layout&)> wrong;  // samples of the layout that are wrong
  const char* line;                         // what the one line says, if any
};

TEST_F(CaptureDevice, TheDriversAnswersAreFollowedAndSaid) {
  const std::vector<DriverAnswer> answers = {
      {"another size",
       {.answerWidth = 320, .answerHeight = 240},
       {discreteYuyv()},
       4,
       halvesFrame,
       [](const Layout& layout) {
         int wrong = 0;  // every row, both halves: not a quarter of the layout
         for (int j = 0; j < 480; ++j)
           for (int k = 0; k < 640; ++k) {
             if (k >= 300 && k < 340) continue;  // the edge, blended by scaling
             wrong += layoutLuma(layout, 640, j, k) != (k < 320 ? 40 : 200);
           }
         return wrong;
       },
       "the driver chose 320x240 YUYV at 30 fps for the mode 640x480 YUYV at 30 fps; its pictures are scaled "
       "to 640x480"},
      {"another pixel format",
       {.answerFourcc = V4L2_PIX_FMT_MJPEG},
       {single(V4L2_PIX_FMT_YUYV, 320, 240), single(V4L2_PIX_FMT_MJPEG, 320, 240)},
       4,
       [] { return jpegFrame(70); },
       [](const Layout& layout) { return offSmooth(layout, 320, 240, 70); },
       "the driver chose 320x240 MJPG at 30 fps for the mode 320x240 YUYV at 30 fps"},
      {"another rate",
       {.answerInterval = {1, 15}},
       {single(V4L2_PIX_FMT_YUYV, 320, 240)},
       4,
       [] { return yuyvFrame(30); },
       [](const Layout& layout) { return int(layoutLuma(layout, 320, 100, 9) != 31); },
       "the driver chose 320x240 YUYV at 15 fps for the mode 320x240 YUYV at 30 fps"},
      {"more buffers, several in hand before the first fills",
       {.minimumBuffers = 7, .queuedToStart = 6},
       {single(V4L2_PIX_FMT_YUYV, 320, 240)},
       7,
       [] { return yuyvFrame(50); },
       [](const Layout& layout) { return int(layoutLuma(layout, 320, 239, 319) != 57); },
       nullptr},
  };
  for (const DriverAnswer& answer : answers) {
    SCOPED_TRACE(answer.what);
    installFakeCamera(oneCamera(answer.driver, answer.formats));
    resetFrameLog();
    testing::internal::CaptureStderr();
    startStreaming(answer.buffers);
    const bool produced = produceWhenReady(answer.frame(), answer.buffers);
    const bool delivered = produced && waitForFrames(1, 2000);
    const int granted = fakeBufferCount();
    EXPECT_GE(CVReleaseVidCap(system), 0);
    system = 0;
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(produced);
    ASSERT_TRUE(delivered);
    EXPECT_EQ(answer.wrong(loggedFrame(0)), 0);
    EXPECT_EQ(granted, answer.buffers);
    EXPECT_EQ(fakeMappedBuffers(), 0);
    if (answer.line) {
      EXPECT_EQ(lines, std::string("camera: ") + answer.line + "\n");
    } else {
      EXPECT_EQ(lines, "");
    }
    EXPECT_EQ(fakeMisuse(), "");
    uninstallFakeCamera();
  }
}
