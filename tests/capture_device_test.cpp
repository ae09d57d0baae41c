#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "camera/camera_listing.h"
#include "camera/capture_device_ops.h"
#include "camera/capture_library.h"
#include "support/fake_camera.h"
#include "support/frame_log.h"
#include "support/test_media.h"

namespace {
using Clock = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;
using Layout = std::vector<uint8_t>;

FakeFormat discreteYuyv() {
  return {V4L2_PIX_FMT_YUYV,
          FakeRange::Discrete,
          {{640, 480}, {320, 240}},
          FakeRange::Discrete,
          {{1, 30}, {1001, 15000}}};
}
FakeFormat stepwiseMjpeg() {
  return {V4L2_PIX_FMT_MJPEG,
          FakeRange::Stepwise,
          {{160, 120}, {1280, 720}},
          FakeRange::Continuous,
          {{1, 60}, {1, 5}}};
}
FakeFormat h264() {
  return {V4L2_PIX_FMT_H264, FakeRange::Discrete, {{1920, 1080}}, FakeRange::Discrete, {{1, 30}}};
}
FakeFormat single(uint32_t fourcc, uint32_t width, uint32_t height) {
  return {fourcc, FakeRange::Discrete, {{width, height}}, FakeRange::Discrete, {{1, 30}, {1, 15}}};
}

// One camera (a UVC pair: capture node and metadata node) whose first mode
// is `format` (320 x 240 YUYV unless said otherwise).
std::vector<FakeNode> oneCamera(FakeDriver driver = {},
                                std::vector<FakeFormat> formats = {single(V4L2_PIX_FMT_YUYV, 320, 240)}) {
  return {{"video0", "Fake Cam", FakeNodeKind::Capture, formats, driver},
          {"video1", "Fake Cam", FakeNodeKind::Metadata, {}, {}}};
}

struct Modes {
  int32_t width, height, rate;
  std::string format;
};

std::vector<Modes> listModes(uint32_t system) {
  std::vector<Modes> modes;
  const int32_t count = CVDevGetNumModes(system);
  for (int32_t i = 0; i < count; ++i) {
    int32_t w = 0, h = 0, rate = 0, code = 0;
    EXPECT_GE(CVDevGetModeInfo(system, i, &w, &h, &rate, &code), 0);
    char name[32] = {};
    uint32_t capacity = sizeof name;
    CVDevGetFormatName(system, code, name, &capacity);
    modes.push_back({w, h, rate, name});
  }
  return modes;
}

// A YUYV frame of the fake's current format whose luma is `level` plus the
// column's low bits, with padding bytes of 0xee.
Frame yuyvFrame(uint8_t level) {
  const v4l2_pix_format f = fakeCurrentFormat();
  Frame frame(size_t(f.bytesperline) * f.height, 0xee);
  for (uint32_t j = 0; j < f.height; ++j)
    for (uint32_t k = 0; k < f.width; ++k) {
      frame[j * f.bytesperline + 2 * k] = uint8_t(level + (k & 7));
      frame[j * f.bytesperline + 2 * k + 1] = 128;
    }
  return frame;
}

// A YUYV frame of the current format: dark (40) left half, bright (200) right.
Frame halvesFrame() {
  const v4l2_pix_format f = fakeCurrentFormat();
  Frame frame(size_t(f.bytesperline) * f.height, 128);
  for (uint32_t j = 0; j < f.height; ++j)
    for (uint32_t k = 0; k < f.width; ++k) frame[j * f.bytesperline + 2 * k] = k < f.width / 2 ? 40 : 200;
  return frame;
}

uint8_t smoothLuma(int j, int k, int width, int level) { return uint8_t(level + (100 * k) / width + j / 8); }

// A JPEG, made by FFmpeg's encoder, of a smooth picture of the current size.
Frame jpegFrame(int level) {
  const v4l2_pix_format f = fakeCurrentFormat();
  const int width = int(f.width), height = int(f.height);
  std::vector<uint8_t> luma(size_t(width) * size_t(height));
  for (int j = 0; j < height; ++j)
    for (int k = 0; k < width; ++k) luma[size_t(j * width + k)] = smoothLuma(j, k, width, level);
  return encodeJpeg(luma, width, height);
}

uint8_t layoutLuma(const Layout& layout, int width, int j, int k) {
  return layout.at(size_t(j) * size_t(2 * width + 640) + 2 * size_t(k));
}

// Samples of the layout off the smooth picture by more than JPEG's few steps.
int offSmooth(const Layout& layout, int width, int height, int level) {
  int wrong = 0;
  for (int j = 0; j < height; ++j)
    for (int k = 0; k < width; ++k)
      wrong += std::abs(layoutLuma(layout, width, j, k) - smoothLuma(j, k, width, level)) > 3;
  return wrong;
}

bool waitUntil(int timeoutMs, auto condition) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

int lineCount(const std::string& text) { return int(std::count(text.begin(), text.end(), '\n')); }

class CaptureDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("TESSARO_CAMERA");
    resetFrameLog();
  }
  void TearDown() override {
    if (system) CVReleaseVidCap(system);
    // Every test holds the layer to the rules of the API, and to never block.
    EXPECT_EQ(fakeMisuse(), "");
    EXPECT_FALSE(fakeWatchdogFired());
    uninstallFakeCamera();
  }
  // Acquires, connects device 0 and starts mode 0; waits for the layer to
  // queue `buffers`.
  void startStreaming(int buffers = 4) {
    ASSERT_GE(CVAcquireVidCap(&system), 0);
    ASSERT_EQ(CVGetNumDevices(system), 1);
    ASSERT_GE(CVDevConnect(system, 0), 0);
    ASSERT_GE(CVDevStartCap(system, 0, 7, logFrame, 9, &captureId), 0);
    ASSERT_TRUE(waitUntil(2000, [&] { return fakeQueuedBuffers() == buffers; }));
  }
  // Produces a frame once the layer has every buffer back.
  bool produceWhenReady(const Frame& frame, int buffers = 4, uint32_t flags = 0, uint32_t bytesUsed = 0) {
    return waitUntil(2000, [&] { return fakeQueuedBuffers() == buffers; }) &&
           fakeProduceFrame(frame, flags, bytesUsed);
  }
  uint32_t system = 0;
  uint32_t captureId = 0;
};
using CaptureThread = CaptureDevice;
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
                     {"video2", "Cam B", FakeNodeKind::Capture, {discreteYuyv()}, {}}});
  const std::string folder = videoDeviceFolder();
  struct Case {
    const char* node;
    const char* name;  // of the one camera, or nullptr
    const char* reason;
    const char* line;
  };
  const Case cases[] = {
      {"video2", "Cam B", nullptr, nullptr},
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
    for (size_t at; (at = expected.find("F/")) != std::string::npos;)
      expected.replace(at, 1, videoDeviceFolder());
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
  ASSERT_EQ(modes.size(), expected.size());
  for (size_t i = 0; i < modes.size(); ++i) {
    EXPECT_EQ(modes[i].width, expected[i].width) << i;
    EXPECT_EQ(modes[i].height, expected[i].height) << i;
    EXPECT_EQ(modes[i].rate, expected[i].rate) << i;
    EXPECT_EQ(modes[i].format, expected[i].format) << i;
  }
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
                     {"video2", "Capture Card", FakeNodeKind::Metadata, {}, {}}});
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
  EXPECT_EQ(lineCount(lines), 2) << lines;
  // A size range offers the analysis's own 640 x 480 first, then its ends.
  ASSERT_GE(CVDevConnect(system, 0), 0);
  const std::vector<Modes> modes = listModes(system);
  const std::vector<Modes> expected = {
      {640, 480, 30, "MJPG"}, {160, 120, 30, "MJPG"}, {1920, 1080, 30, "MJPG"}};
  ASSERT_EQ(modes.size(), expected.size());
  for (size_t i = 0; i < modes.size(); ++i) {
    EXPECT_EQ(modes[i].width, expected[i].width) << i;
    EXPECT_EQ(modes[i].height, expected[i].height) << i;
    EXPECT_EQ(modes[i].rate, expected[i].rate) << i;
    EXPECT_EQ(modes[i].format, expected[i].format) << i;
  }
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

TEST_F(CaptureThread, PaddedRowsArriveInTheAnalysisLayout) {
  installFakeCamera(oneCamera({.lineAlignment = 256}));  // 640 bytes of pixels a row, 768 with padding
  startStreaming();
  ASSERT_EQ(fakeCurrentFormat().bytesperline, 768u);
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(100)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  const std::vector<uint8_t> layout = loggedFrame(0);
  EXPECT_EQ(layout.size(), captureLayoutBytes(320, 240));
  EXPECT_EQ(lastTag(), 7u);
  EXPECT_EQ(lastUser(), 9u);
  int wrong = 0;
  for (int j = 0; j < 240; ++j)
    for (int k = 0; k < 320; ++k) wrong += layoutLuma(layout, 320, j, k) != 100 + (k & 7);
  EXPECT_EQ(wrong, 0);
}

TEST_F(CaptureThread, ShortAndErrorFramesAreDroppedAndRequeued) {
  installFakeCamera(oneCamera());
  startStreaming();
  const Frame good = yuyvFrame(60);
  struct Bad {
    const char* what;
    uint32_t flags, bytesUsed;
  };
  const Bad bad[] = {
      {"bytesused short of the picture", 0, uint32_t(good.size() / 2)},
      {"damaged in transfer, whole length", V4L2_BUF_FLAG_ERROR, 0},
      {"damaged in transfer, partial data", V4L2_BUF_FLAG_ERROR, uint32_t(good.size() / 3)},
  };
  int delivered = 0;
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.what);
    ASSERT_TRUE(produceWhenReady(yuyvFrame(uint8_t(10 + delivered)), 4, b.flags, b.bytesUsed));
    // A whole frame after it shows whether the bad one got through.
    ASSERT_TRUE(produceWhenReady(yuyvFrame(uint8_t(80 + delivered))));
    ASSERT_TRUE(waitForFrames(++delivered, 2000));
    EXPECT_EQ(loggedFrames(), delivered);
    EXPECT_EQ(layoutLuma(loggedFrame(delivered - 1), 320, 5, 8), 80 + delivered - 1);
  }
  // Keeps going: every buffer came back.
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(produceWhenReady(yuyvFrame(uint8_t(90 + i))));
    ASSERT_TRUE(waitForFrames(delivered + 1 + i, 2000));
  }
}

// A camera buffer as webcams fill it, and whether the analysis gets it.
struct MjpegCase {
  const char* what;
  std::function<Frame(const Frame& jpeg)> buffer;
  bool delivered;
};

TEST_F(CaptureThread, MjpegFramesAreTakenAsDecodersTakeThem) {
  installFakeCamera(oneCamera({}, {single(V4L2_PIX_FMT_MJPEG, 320, 240)}));
  startStreaming();
  auto cut = [](const Frame& jpeg, size_t keep) { return Frame(jpeg.begin(), jpeg.begin() + long(keep)); };
  const std::vector<MjpegCase> cases = {
      {"whole", [](const Frame& jpeg) { return jpeg; }, true},
      {"without Huffman tables", withoutHuffmanTables, true},
      {"zeros after the end marker",
       [](const Frame& jpeg) {
         Frame padded = jpeg;
         padded.resize(jpeg.size() + 16, 0);
         return padded;
       },
       true},
      {"an older frame's bytes after the end marker",
       [](const Frame& jpeg) {
         Frame stale = jpeg;
         stale.insert(stale.end(), jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2));
         return stale;
       },
       true},
      {"two zeros before the start marker",
       [](const Frame& jpeg) {
         Frame led = {0, 0};
         led.insert(led.end(), jpeg.begin(), jpeg.end());
         return led;
       },
       true},
      {"truncated", [&](const Frame& jpeg) { return cut(jpeg, jpeg.size() * 3 / 5); }, false},
      {"truncated, then an end marker",
       [&](const Frame& jpeg) {
         Frame ended = cut(jpeg, jpeg.size() * 3 / 5);
         ended.insert(ended.end(), {0xff, 0xd9});
         return ended;
       },
       false},
      {"truncated, then the next frame",
       [&](const Frame& jpeg) {
         Frame both = cut(jpeg, jpeg.size() * 3 / 5);
         both.insert(both.end(), jpeg.begin(), jpeg.end());
         return both;
       },
       false},
      {"damage the decoder would conceal", withDamagedScan, false},
  };
  int delivered = 0, level = 20;
  for (const MjpegCase& c : cases) {
    SCOPED_TRACE(c.what);
    const int caseLevel = level += 5;
    ASSERT_TRUE(produceWhenReady(c.buffer(jpegFrame(caseLevel))));
    // A whole frame after it shows whether this one got through.
    const int marker = level += 5;
    ASSERT_TRUE(produceWhenReady(jpegFrame(marker)));
    delivered += c.delivered ? 2 : 1;
    ASSERT_TRUE(waitForFrames(delivered, 2000));
    ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
    EXPECT_EQ(loggedFrames(), delivered);
    if (c.delivered) {
      EXPECT_EQ(offSmooth(loggedFrame(delivered - 2), 320, 240, caseLevel), 0);
    }
    EXPECT_EQ(offSmooth(loggedFrame(delivered - 1), 320, 240, marker), 0);
  }
}

TEST_F(CaptureThread, ACameraWithNoUsableFrameForTwoSecondsIsSaidOnceAndAgainWhenItRecovers) {
  installFakeCamera(oneCamera({}, {single(V4L2_PIX_FMT_MJPEG, 320, 240)}));
  testing::internal::CaptureStderr();
  startStreaming();
  ASSERT_TRUE(produceWhenReady(jpegFrame(40)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  // Then, for two and a half seconds, frames none of which can be used.
  const Frame jpeg = jpegFrame(50);
  const Frame unusable[] = {Frame(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2)), withDamagedScan(jpeg),
                            jpeg};
  const auto start = Clock::now();
  bool produced = true;
  for (int i = 0; produced && Clock::now() - start < std::chrono::milliseconds(2500); ++i) {
    const bool flagged = i % 3 == 2;
    produced = produceWhenReady(unusable[i % 3], 4, flagged ? V4L2_BUF_FLAG_ERROR : 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
  const int framesWhileSilent = loggedFrames();
  produced = produced && produceWhenReady(jpegFrame(60));
  const bool recovered = produced && waitForFrames(2, 2000);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(produced);
  EXPECT_EQ(framesWhileSilent, 1);
  EXPECT_TRUE(recovered);
  ASSERT_EQ(lineCount(lines), 2) << lines;
  const std::string silence = lines.substr(0, lines.find('\n'));
  const std::string back = lines.substr(lines.find('\n') + 1);
  EXPECT_EQ(silence.find("camera: none of the "), 0u) << silence;
  double seconds = 0;
  EXPECT_EQ(std::sscanf(silence.c_str(), "camera: none of the %*u frames of the last %lf s", &seconds), 1);
  EXPECT_GE(seconds, 2.0);
  EXPECT_LT(seconds, 2.5);
  EXPECT_EQ(back.find("camera: usable frames again after "), 0u) << back;
}

TEST_F(CaptureThread, OnlyTheNewestReadyFrameIsDelivered) {
  installFakeCamera(oneCamera());
  startStreaming();
  ASSERT_TRUE(fakeProduceFrames({yuyvFrame(20), yuyvFrame(40), yuyvFrame(60)}));
  ASSERT_TRUE(waitForFrames(1, 2000));
  ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(loggedFrames(), 1);
  EXPECT_EQ(layoutLuma(loggedFrame(0), 320, 0, 0), 60);
}

TEST_F(CaptureThread, InterruptedCallsAreRetried) {
  installFakeCamera(oneCamera());
  startStreaming();
  setFakeInterruptions(3, 3);
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(30)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  EXPECT_EQ(layoutLuma(loggedFrame(0), 320, 10, 0), 30);
  EXPECT_TRUE(isCaptureRunning(system));
}

TEST_F(CaptureThread, DequeuesNeverWait) {
  // Waiting is poll's: a dequeue that blocked would keep the thread from
  // seeing a stop until the next frame, which may never come.
  installFakeCamera(oneCamera());
  startStreaming();
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(produceWhenReady(yuyvFrame(uint8_t(10 * i))));
    ASSERT_TRUE(waitForFrames(i + 1, 2000));
  }
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  EXPECT_EQ(fakeBlockingDequeues(), 0);
}

TEST_F(CaptureThread, UnplugIsSaidOnceAndWaitedOutWithoutSpinning) {
  // The layer may look while the queue has failed (DQBUF: EIO, poll: POLLERR)
  // or only once the device is unregistered (ENODEV, POLLERR | POLLHUP).
  for (const bool unregistered : {false, true}) {
    SCOPED_TRACE(unregistered ? "unregistered when the layer looks" : "queue failed when the layer looks");
    installFakeCamera(oneCamera());
    resetFrameLog();
    testing::internal::CaptureStderr();
    startStreaming();
    ASSERT_TRUE(fakeProduceFrame(yuyvFrame(50)));
    ASSERT_TRUE(waitForFrames(1, 2000));
    ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
    if (unregistered) {
      fakeUnregister();  // both steps at once
    } else {
      fakeUnplug();
    }
    fakeUnregister("video1");  // the camera's metadata node goes with it
    const bool waiting =
        waitUntil(2000, [&] { return captureActivity(system).state == CaptureState::WaitingForCamera; });
    const int polls = fakePollCalls();
    // The dead device is let go while the thread waits for it.
    const int descriptorsWhileWaiting = fakeOpenDescriptors();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int pollsLater = fakePollCalls();
    const bool running = isCaptureRunning(system);
    // Shutdown still runs cleanly while it waits.
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    EXPECT_GE(CVDevDisconnect(system), 0);
    EXPECT_GE(CVReleaseVidCap(system), 0);
    system = 0;
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(waiting);
    EXPECT_TRUE(running);
    EXPECT_EQ(pollsLater, polls);
    EXPECT_LT(polls, 10);
    EXPECT_EQ(descriptorsWhileWaiting, 0);
    EXPECT_EQ(errors, "camera: Camera unplugged (No such device): waiting for it to come back.\n");
    EXPECT_EQ(fakeOpenDescriptors(), 0);
    EXPECT_EQ(fakeMappedBuffers(), 0);
    EXPECT_EQ(fakeMisuse(), "");
    uninstallFakeCamera();
  }
}

namespace {
// How much the capture thread ("camera" in /proc) ran so far: context
// switches and nanoseconds on a processor. A loop that sleeps 1 ms shows
// hundreds of switches a second however little it does.
struct ThreadUse {
  long switches = -1;
  long long runNanoseconds = -1;
};

ThreadUse cameraThreadUse() {
  ThreadUse use;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (!std::getline(comm, name) || name != "camera") continue;
    std::ifstream status(task.path() / "status");
    use.switches = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos)
        use.switches += std::stol(line.substr(line.find(':') + 1));
    }
    std::ifstream(task.path() / "schedstat") >> use.runNanoseconds;
  }
  return use;
}
}  // namespace

TEST_F(CaptureThread, ACameraThatComesBackCarriesOnOtherwiseTheThreadSleepsUntilStopped) {
  const FakeNode same = oneCamera()[0];
  FakeNode otherModes = same;
  otherModes.formats = {single(V4L2_PIX_FMT_MJPEG, 1280, 720)};
  struct Case {
    const char* what;
    const FakeNode* replug;  // nullptr: never
    const char* lastLine;    // after the unplug line
  };
  const Case cases[] = {
      {"back in its mode", &same, "camera: Fake Cam is back at FOLDER/video0: capture goes on."},
      {"back without its mode", &otherModes,
       "camera: Fake Cam is back at FOLDER/video0 without the mode 320x240 YUYV at 30 fps: capture stays "
       "stopped."},
      {"never back", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    installFakeCamera(oneCamera());
    resetFrameLog();
    testing::internal::CaptureStderr();
    startStreaming();
    ASSERT_TRUE(fakeProduceFrame(yuyvFrame(50)));
    ASSERT_TRUE(waitForFrames(1, 2000));
    fakeUnplug();
    fakeUnregister("video1");
    ASSERT_TRUE(
        waitUntil(2000, [&] { return captureActivity(system).state == CaptureState::WaitingForCamera; }));
    const ThreadUse before = cameraThreadUse();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ThreadUse after = cameraThreadUse();
    const CaptureActivity asleep = captureActivity(system);
    bool flows = false, ended = false;
    CaptureState endState = CaptureState::NotCapturing;
    if (c.replug == &same) {
      fakeReplug("video0", *c.replug);
      fakeReplug("video1");
      flows = produceWhenReady(yuyvFrame(90)) && waitForFrames(2, 2000);
      endState = captureActivity(system).state;
    } else if (c.replug) {
      fakeReplug("video0", *c.replug);
      ended = waitUntil(2000, [&] { return !isCaptureRunning(system); });
      endState = captureActivity(system).state;
    }
    const auto stopAsked = Clock::now();
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    const auto stopTook = Clock::now() - stopAsked;
    EXPECT_GE(CVReleaseVidCap(system), 0);
    system = 0;
    const std::string lines = testing::internal::GetCapturedStderr();
    const std::string folder = videoDeviceFolder();
    EXPECT_GE(before.switches, 0) << "no thread named camera";
    EXPECT_LE(after.switches - before.switches, 2);
    EXPECT_LT(after.runNanoseconds - before.runNanoseconds, 1000000);
    EXPECT_GE(asleep.millisecondsSinceSign, 250u);
    EXPECT_EQ(asleep.framesDelivered, 1u);
    std::string expected = "camera: Camera unplugged (No such device): waiting for it to come back.\n";
    if (c.lastLine) {
      std::string last = c.lastLine;
      last.replace(last.find("FOLDER"), 6, folder);
      expected += last + "\n";
    }
    EXPECT_EQ(lines, expected);
    if (!c.replug) {
      EXPECT_LT(stopTook, std::chrono::milliseconds(100));
    } else if (c.replug == &same) {
      EXPECT_TRUE(flows);
      EXPECT_EQ(endState, CaptureState::Delivering);
      if (flows) {
        EXPECT_EQ(layoutLuma(loggedFrame(1), 320, 0, 0), 90);
      }
    } else {
      EXPECT_TRUE(ended);
      EXPECT_EQ(endState, CaptureState::Ended);
    }
    EXPECT_EQ(fakeOpenDescriptors(), 0);
    EXPECT_EQ(fakeMisuse(), "");
    uninstallFakeCamera();
  }
}

// A camera is known again by its USB port, or by its name on another port,
// but another camera of the same name that was there all along is not it.
TEST_F(CaptureThread, TheLostCameraIsKnownByItsPortOrNameButNotTakenForItsNamesake) {
  std::vector<FakeNode> nodes = oneCamera();
  nodes[0].busInfo = nodes[1].busInfo = "usb-0000:00:14.0-1";
  nodes.push_back({"video2",
                   "Fake Cam",
                   FakeNodeKind::Capture,
                   {single(V4L2_PIX_FMT_YUYV, 320, 240)},
                   {},
                   "usb-0000:00:14.0-2"});
  installFakeCamera(nodes);
  testing::internal::CaptureStderr();
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 2);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  ASSERT_GE(CVDevStartCap(system, 0, 7, logFrame, 9, &captureId), 0);
  ASSERT_TRUE(produceWhenReady(yuyvFrame(50)));
  ASSERT_TRUE(waitForFrames(1, 2000));
  fakeUnplug();
  fakeUnregister("video1");
  ASSERT_TRUE(
      waitUntil(2000, [&] { return captureActivity(system).state == CaptureState::WaitingForCamera; }));
  fakeReplug("video1");  // the metadata node comes first: not a camera
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const CaptureState besideTheNamesake = captureActivity(system).state;
  FakeNode otherPort = nodes[0];
  otherPort.busInfo = "usb-0000:00:14.0-3";
  fakeReplug("video0", otherPort);
  const bool flows = produceWhenReady(yuyvFrame(90)) && waitForFrames(2, 2000);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string lines = testing::internal::GetCapturedStderr();
  EXPECT_EQ(besideTheNamesake, CaptureState::WaitingForCamera);
  EXPECT_TRUE(flows);
  EXPECT_EQ(lines,
            "camera: Camera unplugged (No such device): waiting for it to come back.\n"
            "camera: Fake Cam is back at " +
                std::string(videoDeviceFolder()) + "/video0: capture goes on.\n");
}

namespace {
std::atomic<bool> holdCallback{false};
std::atomic<int> heldCallbacks{0};
int32_t holdingCallback(uint32_t, const FrameRecord*, uint32_t) {
  ++heldCallbacks;
  while (holdCallback.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return 1;
}
}  // namespace

TEST_F(CaptureThread, ActivityTellsAStuckCallbackFromALiveCapture) {
  installFakeCamera(oneCamera());
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 1);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  const CaptureActivity idle = captureActivity(system);
  heldCallbacks = 0;
  holdCallback = false;
  ASSERT_GE(CVDevStartCap(system, 0, 0, holdingCallback, 0, &captureId), 0);
  ASSERT_TRUE(produceWhenReady(yuyvFrame(10)));
  ASSERT_TRUE(waitUntil(2000, [] { return heldCallbacks == 1; }));
  ASSERT_TRUE(waitUntil(2000, [&] { return captureActivity(system).framesDelivered == 1; }));
  const CaptureActivity live = captureActivity(system);
  holdCallback = true;
  ASSERT_TRUE(produceWhenReady(yuyvFrame(20)));
  ASSERT_TRUE(waitUntil(2000, [] { return heldCallbacks == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(captureStallMs + 200));
  const CaptureActivity stuck = captureActivity(system);
  holdCallback = false;
  const bool freed = waitUntil(2000, [&] { return captureActivity(system).framesDelivered == 2; });
  const CaptureActivity again = captureActivity(system);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const CaptureActivity stopped = captureActivity(system);
  EXPECT_EQ(idle.state, CaptureState::NotCapturing);
  EXPECT_EQ(live.state, CaptureState::Delivering);
  EXPECT_LT(live.millisecondsSinceSign, captureStallMs);
  EXPECT_EQ(stuck.state, CaptureState::Stalled);
  EXPECT_GE(stuck.millisecondsSinceSign, captureStallMs);
  EXPECT_EQ(stuck.framesDelivered, 1u);
  EXPECT_TRUE(freed);
  EXPECT_EQ(again.state, CaptureState::Delivering);
  EXPECT_EQ(stopped.state, CaptureState::NotCapturing);
}

TEST_F(CaptureThread, ALostSignalIsRiddenOut) {
  installFakeCamera(oneCamera());
  testing::internal::CaptureStderr();
  startStreaming();
  setFakeDequeueFailures(1, EIO);
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(40)));
  const bool first = waitForFrames(1, 2000);
  bool kept = first;  // and the frames after it
  for (int i = 0; i < 4 && kept; ++i) {
    kept = produceWhenReady(yuyvFrame(uint8_t(50 + i))) && waitForFrames(2 + i, 2000);
  }
  const bool running = isCaptureRunning(system);
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(first);
  EXPECT_TRUE(kept);
  EXPECT_TRUE(running);
  EXPECT_EQ(errors, "");
  if (kept) {
    EXPECT_EQ(layoutLuma(loggedFrame(4), 320, 0, 0), 53);
  }
}

TEST_F(CaptureThread, ASignalThatNeverReturnsEndsTheThreadWithOneLineAndNoSpinning) {
  installFakeCamera(oneCamera());
  testing::internal::CaptureStderr();
  startStreaming();
  setFakeDequeueFailures(-1, EIO);
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(40)));  // ready, but never to be dequeued
  // It pauses between attempts rather than giving up at the first error.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const bool stillTrying = isCaptureRunning(system);
  const int pollsWhileTrying = fakePollCalls();
  const bool ended = waitUntil(10000, [&] { return !isCaptureRunning(system); });
  const int polls = fakePollCalls();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int pollsLater = fakePollCalls();
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(stillTrying);
  EXPECT_LT(pollsWhileTrying, 20);
  EXPECT_TRUE(ended);
  EXPECT_EQ(pollsLater, polls);
  EXPECT_LT(polls, 60);
  EXPECT_NE(errors.find("Input/output error"), std::string::npos) << errors;
  EXPECT_EQ(lineCount(errors), 1) << errors;
}

TEST_F(CaptureThread, StopDuringAWaitReturnsPromptly) {
  installFakeCamera(oneCamera());
  startStreaming();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the thread sits in poll
  const auto before = Clock::now();
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
  EXPECT_FALSE(isCaptureRunning(system));
  EXPECT_LT(CVDevStopCap(system, captureId), 0);  // only once
  EXPECT_EQ(fakeMappedBuffers(), 0);
  // The camera can be started again.
  resetFrameLog();
  ASSERT_GE(CVDevStartCap(system, 0, 0, logFrame, 0, &captureId), 0);
  ASSERT_TRUE(waitUntil(2000, [] { return fakeQueuedBuffers() == 4; }));
  ASSERT_TRUE(fakeProduceFrame(yuyvFrame(10)));
  EXPECT_TRUE(waitForFrames(1, 2000));
}

TEST_F(CaptureThread, NoCallbackRunsAfterStopAndNeverTwoAtOnce) {
  installFakeCamera(oneCamera());
  startStreaming();
  std::atomic<bool> producing{true};
  std::thread producer([&] {
    uint8_t level = 0;
    while (producing.load()) {
      fakeProduceFrame(yuyvFrame(level++));
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  ASSERT_TRUE(waitForFrames(20, 5000));
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  markCaptureStopped();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  producing = false;
  producer.join();
  EXPECT_EQ(lateFrames(), 0);
  EXPECT_EQ(overlappingFrames(), 0);
}
