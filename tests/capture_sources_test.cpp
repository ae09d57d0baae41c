#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "camera/capture_library.h"
#include "camera/capture_offline.h"
#include "camera/capture_system.h"
#include "support/frame_log.h"
#include "support/test_media.h"

namespace {
std::vector<uint8_t> demoFrame(uint32_t n) {
  std::vector<uint8_t> grey(size_t(demoWidth) * demoHeight);
  renderDemoFrame(n, grey.data());
  return grey;
}

// What the analysis makes of the demo, frame by frame: a sparse version of
// its moving test and summary (every second row and column).
struct DemoMotion {
  double fraction, centroidX, velocityX, speed;
};

std::vector<DemoMotion> followDemo(uint32_t frames) {
  std::vector<DemoMotion> out;
  std::vector<uint8_t> previous = demoFrame(0), current(previous.size());
  double cx = 0, cy = 0, lastX = 0, lastY = 0, vx = 0, vy = 0, speed = 0;
  const int step = 2, columns = demoWidth / step, rows = demoHeight / step;
  for (uint32_t n = 1; n <= frames; ++n) {
    renderDemoFrame(n, current.data());
    long count = 0, sumColumns = 0, sumRows = 0;
    for (int j = 0; j < rows; ++j)
      for (int k = 0; k < columns; ++k) {
        const size_t i = size_t(j * step) * demoWidth + size_t(k * step);
        const int change = current[i] - previous[i];
        if (change >= 63 || change <= -60) ++count, sumColumns += k, sumRows += j;
      }
    const double fraction = double(count) / (columns * rows);
    if (count > 0) {
      const double x = 1.0 - double(sumColumns) / (double(columns) * double(count));
      const double y = 1.0 - double(sumRows) / (double(rows) * double(count));
      const double c = std::min(5.0 * fraction, 0.95);
      cx = (1 - c) * cx + c * x;
      cy = (1 - c) * cy + c * y;
      vx = (cx - lastX) * demoFramesPerSecond * 0.25 + 0.75 * vx;
      vy = (cy - lastY) * demoFramesPerSecond * 0.25 + 0.75 * vy;
      speed = std::sqrt(vx * vx + vy * vy);
      lastX = cx, lastY = cy;
    }
    out.push_back({fraction, cx, vx, speed});
    std::swap(previous, current);
  }
  return out;
}

class CaptureSource : public ::testing::Test {
 protected:
  void SetUp() override { resetFrameLog(); }
  void TearDown() override {
    if (system) CVReleaseVidCap(system);
    unsetenv("TESSARO_CAMERA");
    if (!folder.empty()) std::filesystem::remove_all(folder);
  }
  std::string tempFolder() {
    char name[] = "/tmp/tessaro-video-XXXXXX";
    folder = mkdtemp(name);
    return folder;
  }
  uint32_t system = 0;
  uint32_t captureId = 0;
  std::string folder;
};
using DemoCamera = CaptureSource;
using VideoFileCamera = CaptureSource;
}  // namespace

TEST(DemoScene, FramesDependOnlyOnTheirNumber) {
  const std::vector<uint8_t> first = demoFrame(700);
  demoFrame(12);
  EXPECT_EQ(demoFrame(700), first);
  EXPECT_EQ(demoFrame(700 + 1800), first);    // the script repeats every minute
  EXPECT_EQ(demoFrame(0), demoFrame(30));     // the empty room stands still
  EXPECT_NE(demoFrame(600), demoFrame(601));  // the figure runs at 20 s
}

TEST(DemoScene, OneMinuteExercisesEveryVoiceAndBothPans) {
  const std::vector<DemoMotion> motion = followDemo(1800);
  double maxFraction = 0, maxSpeed = 0, minVelocity = 0, maxVelocity = 0, minX = 1, maxX = 0;
  int slowFrames = 0, longestStill = 0, still = 0;
  bool moved = false;
  for (const DemoMotion& m : motion) {
    if (m.fraction > 0) {
      moved = true;
      still = 0;
      maxFraction = std::max(maxFraction, m.fraction);
      minX = std::min(minX, m.centroidX), maxX = std::max(maxX, m.centroidX);
      if (m.fraction > 0.001 && m.speed < 0.1) ++slowFrames;  // tone alone, strike silent
    } else if (moved && ++still > longestStill) {
      longestStill = still;
    }
    maxSpeed = std::max(maxSpeed, m.speed);
    minVelocity = std::min(minVelocity, m.velocityX), maxVelocity = std::max(maxVelocity, m.velocityX);
  }
  EXPECT_GT(maxFraction, 0.05);       // a loud tone
  EXPECT_GT(maxSpeed, 0.6);           // the strike voice at full level
  EXPECT_GT(slowFrames, 60);          // slow movement: the tone without strikes
  EXPECT_GT(maxVelocity, 1.0 / 12);   // strike panned fully to one side
  EXPECT_LT(minVelocity, -1.0 / 12);  // and to the other
  EXPECT_LT(minX, 0.35);              // tone panned by position, both ways
  EXPECT_GT(maxX, 0.65);
  EXPECT_GE(longestStill, 2 * demoFramesPerSecond);  // the visitor stands still
}

TEST_F(DemoCamera, IsTheOnlyCameraAndDeliversItsScene) {
  setenv("TESSARO_CAMERA", "demo", 1);
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 1);
  char name[256] = {};
  uint32_t capacity = 255;
  ASSERT_GE(CVGetDeviceName(system, 0, name, &capacity), 0);
  EXPECT_STREQ(name, "Tessaro demo camera");
  ASSERT_GE(CVDevConnect(system, 0), 0);
  ASSERT_EQ(CVDevGetNumModes(system), 1);
  int32_t w = 0, h = 0, rate = 0, code = 0;
  ASSERT_GE(CVDevGetModeInfo(system, 0, &w, &h, &rate, &code), 0);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  EXPECT_EQ(rate, 30);
  char format[32] = {};
  capacity = 32;
  CVDevGetFormatName(system, code, format, &capacity);
  EXPECT_STREQ(format, "GREY");

  ASSERT_GE(CVDevStartCap(system, 0, 0, logFrame, 0, &captureId), 0);
  ASSERT_TRUE(waitForFrames(3, 3000));
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  const std::vector<uint8_t> layout = loggedFrame(0);
  ASSERT_EQ(layout.size(), captureLayoutBytes(640, 480));
  const std::vector<uint8_t> scene = demoFrame(0);
  int wrong = 0;
  for (int j = 0; j < 480; ++j)
    for (int k = 0; k < 640; ++k)
      wrong += layout[size_t(j) * 1920 + 2 * size_t(k)] != scene[size_t(j * 640 + k)];
  EXPECT_EQ(wrong, 0);
}

// A frame callback slower than the demo's frame interval.
std::atomic<bool> callbackSlow{true};
std::atomic<int> slowCallbacks{0};
int32_t slowFrame(uint32_t, const FrameRecord*, uint32_t) {
  ++slowCallbacks;
  if (callbackSlow.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return 0;
}

TEST_F(DemoCamera, StopsWhileTheCallbackIsSlowerThanAFrame) {
  setenv("TESSARO_CAMERA", "demo", 1);
  callbackSlow = true;
  slowCallbacks = 0;
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_GE(CVDevConnect(system, 0), 0);
  ASSERT_GE(CVDevStartCap(system, 0, 0, slowFrame, 0, &captureId), 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (slowCallbacks.load() < 4 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_GE(slowCallbacks.load(), 4);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    stopped = true;
  });
  const auto asked = std::chrono::steady_clock::now();
  while (!stopped.load() && std::chrono::steady_clock::now() - asked < std::chrono::seconds(1)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const bool stoppedInTime = stopped.load();
  callbackSlow = false;  // lets a stuck capture loop reach its wait, so the test ends either way
  stopper.join();
  EXPECT_TRUE(stoppedInTime);
}

TEST_F(VideoFileCamera, PlaysInALoopAtItsOwnSizeAndRate) {
  const std::string path = tempFolder() + "/walk.mkv";
  const std::vector<uint8_t> levels = {30, 70, 110, 150, 190, 230};
  ASSERT_TRUE(writeGreyVideo(path, 160, 120, 10, levels));
  setenv("TESSARO_CAMERA", path.c_str(), 1);
  ASSERT_GE(CVAcquireVidCap(&system), 0);
  ASSERT_EQ(CVGetNumDevices(system), 1);
  char name[256] = {};
  uint32_t capacity = 255;
  ASSERT_GE(CVGetDeviceName(system, 0, name, &capacity), 0);
  EXPECT_NE(std::string(name).find("walk.mkv"), std::string::npos) << name;
  ASSERT_GE(CVDevConnect(system, 0), 0);
  ASSERT_EQ(CVDevGetNumModes(system), 1);
  int32_t w = 0, h = 0, rate = 0, code = 0;
  ASSERT_GE(CVDevGetModeInfo(system, 0, &w, &h, &rate, &code), 0);
  EXPECT_EQ(w, 160);
  EXPECT_EQ(h, 120);
  EXPECT_EQ(rate, 10);
  char format[32] = {};
  capacity = 32;
  CVDevGetFormatName(system, code, format, &capacity);
  EXPECT_STREQ(format, "mpeg4");

  const auto started = std::chrono::steady_clock::now();
  ASSERT_GE(CVDevStartCap(system, 0, 0, logFrame, 0, &captureId), 0);
  ASSERT_TRUE(waitForFrames(9, 5000));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(CVDevStopCap(system, captureId), 0);
  // Paced like a camera: nine frames at 10 per second span 0.8 s.
  EXPECT_GE(took, std::chrono::milliseconds(700));
  // Frame after frame in file order, the seventh back at the start.
  for (int i = 0; i < 9; ++i) {
    const std::vector<uint8_t> layout = loggedFrame(i);
    ASSERT_EQ(layout.size(), captureLayoutBytes(160, 120));
    const int centre = layout[size_t(60) * (2 * 160 + 640) + 2 * 80];
    EXPECT_NEAR(centre, levels[size_t(i) % levels.size()], 8) << "frame " << i;
  }
}

namespace {
// When each frame reached the callback, and which picture it showed (the
// grey level at the centre of a 160 x 120 picture).
struct Arrival {
  std::chrono::steady_clock::time_point at;
  int level;
};
std::mutex arrivalsLock;
std::vector<Arrival> arrivals;
std::atomic<int> slowArrival{-1};  // this arrival's callback takes 300 ms

int32_t timeFrame(uint32_t, const FrameRecord* frame, uint32_t) {
  const auto now = std::chrono::steady_clock::now();
  const int level = frame->pixels[size_t(60) * (2 * 160 + 640) + 2 * 80];
  size_t count;
  {
    std::lock_guard guard(arrivalsLock);
    arrivals.push_back({now, level});
    count = arrivals.size();
  }
  if (int(count) - 1 == slowArrival.load()) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  return 1;
}

int lastArrivalLevel() {
  std::lock_guard guard(arrivalsLock);
  return arrivals.empty() ? -1 : arrivals.back().level;
}

std::vector<Arrival> takeArrivals() {
  std::lock_guard guard(arrivalsLock);
  return std::exchange(arrivals, {});
}

// The index of the level nearest to `level`.
size_t pictureOf(int level, const std::vector<uint8_t>& levels) {
  size_t best = 0;
  for (size_t i = 1; i < levels.size(); ++i)
    if (std::abs(level - levels[i]) < std::abs(level - levels[best])) best = i;
  return best;
}
}  // namespace

// Live pictures come when the renderer's stamps say, also for a variable
// frame rate; a picture already late when the next is due is dropped, not
// sent in a burst after a stall.
TEST_F(VideoFileCamera, PicturesComeAtTheRenderersTimesAndLateOnesAreDropped) {
  struct Case {
    const char* what;
    std::vector<int64_t> ticks;  // in 1/30 s
    int slow;                    // the arrival whose callback stalls, or -1
  };
  const std::vector<int64_t> dropped = {0, 1, 2, 3, 9, 10, 11, 20, 21, 22, 23, 30};
  const Case cases[] = {{"constant rate", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, -1},
                        {"variable rate, frames dropped", dropped, -1},
                        {"variable rate, a stalled callback", dropped, 2}};
  std::vector<uint8_t> levels;
  for (int i = 0; i < 12; ++i) levels.push_back(uint8_t(20 + 18 * i));
  const auto jitter = std::chrono::milliseconds(15);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = tempFolder() + "/paced.mkv";
    ASSERT_TRUE(writeGreyVideo(path, 160, 120, 30, levels, c.ticks));
    // The renderer's stamps over a pass and a half.
    OfflineSource offline{};
    std::string reason;
    ASSERT_TRUE(openOfflineSource(offline, path.c_str(), reason)) << reason;
    std::vector<double> stamps;
    FrameRecord frame{};
    for (double seconds = 0; stamps.size() < 24 && nextOfflineFrame(offline, frame, seconds);)
      stamps.push_back(seconds);
    closeOfflineSource(offline);
    ASSERT_EQ(stamps.size(), 24u);

    setenv("TESSARO_CAMERA", path.c_str(), 1);
    takeArrivals();
    slowArrival = c.slow;
    ASSERT_GE(CVAcquireVidCap(&system), 0);
    ASSERT_GE(CVDevConnect(system, 0), 0);
    ASSERT_GE(CVDevStartCap(system, 0, 0, timeFrame, 0, &captureId), 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(stamps[17] + 0.02));
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    CVReleaseVidCap(system);
    system = 0;
    const std::vector<Arrival> seen = takeArrivals();
    ASSERT_GE(seen.size(), 10u);
    // Each arrival is the next picture of its level along the renderer's stamps.
    size_t at = 0, skipped = 0;
    for (size_t k = 0; k < seen.size(); ++k) {
      const size_t picture = pictureOf(seen[k].level, levels);
      const size_t before = at;
      while (at < stamps.size() && at % 12 != picture) ++at;
      ASSERT_LT(at, stamps.size() - 1) << "arrival " << k;
      if (k > 0) skipped += at - before;
      const auto due = seen[0].at + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                        std::chrono::duration<double>(stamps[at] - stamps[0]));
      const auto nextDue = seen[0].at + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                            std::chrono::duration<double>(stamps[at + 1] - stamps[0]));
      EXPECT_GT(seen[k].at, due - jitter) << "arrival " << k << " early";
      EXPECT_LT(seen[k].at, nextDue + jitter) << "arrival " << k << " after the next picture was due";
      if (c.slow < 0) {
        EXPECT_LT(seen[k].at, due + jitter) << "arrival " << k << " late";
      }
      ++at;
    }
    if (c.slow < 0) {
      EXPECT_EQ(skipped, 0u);
    } else {
      EXPECT_GT(skipped, 0u);  // the pictures due during the stall
    }
  }
  slowArrival = -1;
}

namespace {
// av_read_frame, failing with EIO from the `failFrom`th read on, `failures`
// times (every time when negative).
std::atomic<int> readsSoFar{0};
int failFrom = 0, failures = 0;
int failingReader(AVFormatContext* format, AVPacket* packet) {
  if (readsSoFar++ >= failFrom && failures != 0) {
    if (failures > 0) --failures;
    return AVERROR(EIO);
  }
  return av_read_frame(format, packet);
}
}  // namespace

// A read error in the middle of a file is said in one line: the file plays
// on past it, or capture ends; it never starts over unsaid.
TEST_F(VideoFileCamera, AReadErrorMidFileIsSaidOnceThenPlayedPastOrTheEnd) {
  std::vector<uint8_t> levels;
  for (int i = 0; i < 20; ++i) levels.push_back(uint8_t(20 + 11 * i));
  const std::string path = tempFolder() + "/flaky.mkv";
  ASSERT_TRUE(writeGreyVideo(path, 160, 120, 10, levels));
  setenv("TESSARO_CAMERA", path.c_str(), 1);
  for (const int failing : {1, -1}) {
    SCOPED_TRACE(failing > 0 ? "one failed read" : "no read succeeds again");
    readsSoFar = 0;
    failFrom = 6;
    failures = failing;
    takeArrivals();
    setVideoPacketReader(failingReader);
    ASSERT_GE(CVAcquireVidCap(&system), 0);
    ASSERT_GE(CVDevConnect(system, 0), 0);
    testing::internal::CaptureStderr();
    ASSERT_GE(CVDevStartCap(system, 0, 0, timeFrame, 0, &captureId), 0);
    // Until a picture past the skipped second (the 15th, due at 1.5 s) or the end.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (isCaptureRunning(system) && lastArrivalLevel() < levels[15] - 5 &&
           std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool running = isCaptureRunning(system);
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    const std::string lines = testing::internal::GetCapturedStderr();
    setVideoPacketReader(nullptr);
    CVReleaseVidCap(system);
    system = 0;
    std::vector<size_t> pictures;
    for (const Arrival& a : takeArrivals()) pictures.push_back(pictureOf(a.level, levels));
    ASSERT_FALSE(pictures.empty());
    // In file order from the start, never back to it.
    EXPECT_EQ(pictures[0], 0u);
    for (size_t k = 1; k < pictures.size(); ++k) EXPECT_GT(pictures[k], pictures[k - 1]) << k;
    double at = 0, from = 0;
    if (failing > 0) {
      EXPECT_TRUE(running);
      EXPECT_EQ(
          std::sscanf(lines.c_str(),
                      "camera: Video file read error at %lf s (Input/output error): playing on from %lf s.\n",
                      &at, &from),
          2)
          << lines;
      EXPECT_GE(from, at + 0.9);
      EXPECT_GE(pictures.back(), size_t(from * 10 + 0.5));  // played on past the error
    } else {
      EXPECT_FALSE(running);
      EXPECT_EQ(
          std::sscanf(lines.c_str(),
                      "camera: Video file cannot be read past %lf s (Input/output error): capture ended.\n",
                      &at),
          1)
          << lines;
      EXPECT_LT(pictures.back(), 6u);
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
  }
}

namespace {
// Refuses every picture after the first `placedBeforeRefusing`.
std::atomic<int> placerCalls{0};
int placedBeforeRefusing = 0;
bool refuseAfterSome(const AVFrame* picture, PictureDecoder& decoder, const LayoutTarget& target) {
  return ++placerCalls <= placedBeforeRefusing && placeDecodedPicture(picture, decoder, target);
}
}  // namespace

// Pictures that can never be converted: after two whole passes without one,
// the camera ends with one line rather than looping silently for weeks.
TEST_F(VideoFileCamera, PicturesThatCanNeverBePlacedEndCaptureWithOneLine) {
  const std::string path = tempFolder() + "/odd.mkv";
  ASSERT_TRUE(writeGreyVideo(path, 160, 120, 30, {30, 70, 110, 150}));
  setenv("TESSARO_CAMERA", path.c_str(), 1);
  for (const int placed : {0, 6}) {
    SCOPED_TRACE(placed);
    placerCalls = 0;
    placedBeforeRefusing = placed;
    resetFrameLog();
    setVideoPicturePlacer(refuseAfterSome);
    ASSERT_GE(CVAcquireVidCap(&system), 0);
    ASSERT_GE(CVDevConnect(system, 0), 0);
    testing::internal::CaptureStderr();
    ASSERT_GE(CVDevStartCap(system, 0, 0, logFrame, 0, &captureId), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (isCaptureRunning(system) && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool ended = !isCaptureRunning(system);
    EXPECT_GE(CVDevStopCap(system, captureId), 0);
    const std::string errors = testing::internal::GetCapturedStderr();
    setVideoPicturePlacer(nullptr);
    CVReleaseVidCap(system);
    system = 0;
    EXPECT_TRUE(ended);
    EXPECT_EQ(loggedFrames(), placed);
    // Every picture after the last placed one was tried, over two passes at most.
    EXPECT_GE(placerCalls.load(), placed + 4);
    EXPECT_LE(placerCalls.load(), placed + 8);
    EXPECT_EQ(errors, "camera: Video file gives no pictures: capture ended.\n");
  }
}

TEST_F(VideoFileCamera, UnopenableFileMeansNoCameraAndOneLineWhy) {
  const std::string junk = tempFolder() + "/notes.avi";
  std::ofstream(junk) << "this is not a video\n";
  for (const std::string& path : {folder + "/missing.avi", junk}) {
    setenv("TESSARO_CAMERA", path.c_str(), 1);
    testing::internal::CaptureStderr();
    ASSERT_GE(CVAcquireVidCap(&system), 0);
    EXPECT_EQ(CVGetNumDevices(system), 0);
    EXPECT_LT(CVDevConnect(system, 0), 0);
    CVReleaseVidCap(system);
    system = 0;
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(path), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  }
}

TEST(CameraSourceTable, TheCameraSettingPicksOneCompleteSource) {
  struct Case {
    const char* choice;
    const CameraSource* source;
  };
  for (const Case& c : {Case{nullptr, &v4l2Source}, Case{"", &v4l2Source}, Case{"demo", &demoSource},
                        Case{"Demo", &videoFileSource}, Case{"demo.mp4", &videoFileSource},
                        Case{"/tmp/visitor.mkv", &videoFileSource}, Case{"/dev/null", &v4l2Source},
                        Case{"/dev/video97", &v4l2Source}}) {
    SCOPED_TRACE(c.choice ? c.choice : "(unset)");
    const CameraSource& source = cameraSourceFor(c.choice);
    EXPECT_EQ(&source, c.source);
    for (const void* entry :
         {(const void*)source.chosenBy, (const void*)source.list, (const void*)source.connect,
          (const void*)source.disconnect, (const void*)source.formatName, (const void*)source.start,
          (const void*)source.run, (const void*)source.stop}) {
      EXPECT_NE(entry, nullptr);
    }
    // A source renders offline with all three entries or with none.
    const int offline = !!source.openOffline + !!source.nextOffline + !!source.closeOffline;
    EXPECT_TRUE(offline == 0 || offline == 3);
  }
}

TEST(CameraSourceTable, ALiveCameraIsRefusedOfflineWithAReason) {
  OfflineSource source{};
  std::string reason;
  EXPECT_FALSE(openOfflineSource(source, "", reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(source.camera, nullptr);
}
