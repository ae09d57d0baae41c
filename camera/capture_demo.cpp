// The demo camera: a striped figure in front of a still background, moved by
// a fixed one-minute script so that every voice and both pans are heard.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "camera/capture_system.h"
#include "platform/monotonic_time.h"

namespace {
// Where the figure stands (centre column, pixels) at a time of the script;
// between keys it moves in a straight line. `wave` (1: one arm, 2: both)
// holds until the next key.
struct DemoKey {
  float seconds;
  float x;
  int wave;
};

constexpr float absentLeft = -160.0f, absentRight = 800.0f;
// One line per step of the script.
// clang-format off
constexpr DemoKey demoScript[] = {
    {0.0f, absentLeft, 0},  {2.0f, absentLeft, 0},  // empty room
    {8.0f, 180.0f, 0},                              // walks in slowly
    {11.0f, 180.0f, 1},                             // stands still, then waves
    {17.0f, 180.0f, 0},                             // runs to and fro
    {17.5f, 480.0f, 0},     {18.0f, 180.0f, 0},   {18.5f, 480.0f, 0}, {19.0f, 180.0f, 0},
    {19.5f, 480.0f, 0},     {20.0f, 180.0f, 0},   {20.5f, 480.0f, 0}, {21.0f, 180.0f, 0},
    {21.5f, 480.0f, 0},     {22.0f, 180.0f, 0},   {22.5f, 480.0f, 0},
    {26.0f, 480.0f, 0},                             // still, then walks left slowly
    {32.0f, 160.0f, 2},                             // waves both arms
    {37.0f, 160.0f, 0},     {40.0f, 160.0f, 0},     // still, then darts right
    {40.5f, 500.0f, 0},     {41.5f, 500.0f, 0},     // and back left
    {42.0f, 160.0f, 0},     {43.0f, 160.0f, 0},     // walks out to the right
    {52.0f, absentRight, 0}, {60.0f, absentRight, 0},
};
// clang-format on
constexpr int keyCount = int(sizeof demoScript / sizeof demoScript[0]);
constexpr uint32_t cycleFrames = 60 * demoFramesPerSecond;

constexpr int headY = 120, headRadius = 36;
constexpr int torsoTop = 160, torsoBottom = 330, torsoHalf = 55;
constexpr int legTop = 330, legBottom = 470, legInner = 10, legOuter = 45;
constexpr int shoulderY = 175, armLength = 120, armRadius = 14;
constexpr double pi = 3.14159265358979323846;

uint8_t background(int x, int y) { return uint8_t(40 + y / 12 + ((((x >> 5) + (y >> 5)) & 1) * 8)); }

void fillBackground(uint8_t* grey) {
  static const std::vector<uint8_t> still = [] {  // made once, thread-safely
    std::vector<uint8_t> room(size_t(demoWidth) * demoHeight);
    for (int y = 0; y < demoHeight; ++y)
      for (int x = 0; x < demoWidth; ++x) room[size_t(y * demoWidth + x)] = background(x, y);
    return room;
  }();
  std::memcpy(grey, still.data(), still.size());
}

// Vertical stripes that travel with the figure, so that moving it changes
// its inside as well as its edges.
// Every row is the same: the first is drawn, the others copied from it.
void stripedRect(uint8_t* grey, int cx, int left, int right, int top, int bottom) {
  if (left < 0) left = 0;
  if (right > demoWidth) right = demoWidth;
  if (left >= right || top >= bottom) return;
  const uint8_t* first = grey + top * demoWidth + left;
  for (int x = left; x < right; ++x) grey[top * demoWidth + x] = (((x - cx + 1024) / 10) & 1) ? 235 : 160;
  for (int y = top + 1; y < bottom; ++y) std::memcpy(grey + y * demoWidth + left, first, size_t(right - left));
}

void disc(uint8_t* grey, int cx, int cy, int radius, uint8_t value) {
  for (int y = cy - radius; y <= cy + radius; ++y) {
    if (y < 0 || y >= demoHeight) continue;
    // The row's half width: the largest h with h * h <= radius^2 - (y - cy)^2.
    const int room = radius * radius - (y - cy) * (y - cy);
    int half = 0;
    while ((half + 1) * (half + 1) <= room) ++half;
    const int left = std::max(cx - half, 0), right = std::min(cx + half, demoWidth - 1);
    if (left <= right) std::memset(grey + y * demoWidth + left, value, size_t(right - left + 1));
  }
}

// An arm from the shoulder, `angle` radians away from hanging straight down
// (positive: outwards, away from the body), drawn as a thick segment.
void arm(uint8_t* grey, int sx, int side, double angle) {
  const double ex = sx + side * armLength * std::sin(angle);
  const double ey = shoulderY + armLength * std::cos(angle);
  const int left = int(std::fmin(sx, ex)) - armRadius, right = int(std::fmax(sx, ex)) + armRadius;
  const int top = int(std::fmin(shoulderY, ey)) - armRadius,
            bottom = int(std::fmax(shoulderY, ey)) + armRadius;
  const double dx = ex - sx, dy = ey - shoulderY, length2 = dx * dx + dy * dy;
  for (int y = top; y <= bottom; ++y) {
    if (y < 0 || y >= demoHeight) continue;
    // Only where the segment passes within armRadius of this row can a pixel
    // be within armRadius of it: the test below runs there, with 2 pixels to
    // spare for rounding, and decides as before.
    double t0 = 0, t1 = 1;
    if (dy != 0) {
      const double a = (y - armRadius - 2 - shoulderY) / dy, b = (y + armRadius + 2 - shoulderY) / dy;
      t0 = std::fmax(0.0, std::fmin(a, b));
      t1 = std::fmin(1.0, std::fmax(a, b));
      if (t0 > t1) continue;
    }
    const int from = std::max(left, int(std::floor(sx + std::fmin(t0 * dx, t1 * dx))) - armRadius - 2);
    const int to = std::min(right, int(std::ceil(sx + std::fmax(t0 * dx, t1 * dx))) + armRadius + 2);
    for (int x = from; x <= to; ++x) {
      if (x < 0 || x >= demoWidth) continue;
      double t = ((x - sx) * dx + (y - shoulderY) * dy) / length2;
      t = t < 0 ? 0 : (t > 1 ? 1 : t);
      const double px = sx + t * dx - x, py = shoulderY + t * dy - y;
      if (px * px + py * py <= armRadius * armRadius) grey[y * demoWidth + x] = 225;
    }
  }
}
}  // namespace

void renderDemoFrame(uint32_t frame, uint8_t* grey) {
  fillBackground(grey);
  const double seconds = double(frame % cycleFrames) / demoFramesPerSecond;
  int key = 0;
  while (key + 2 < keyCount && seconds >= demoScript[key + 1].seconds) ++key;
  const DemoKey& from = demoScript[key];
  const DemoKey& to = demoScript[key + 1];
  const double share = (seconds - from.seconds) / (to.seconds - from.seconds);
  const int cx = int(std::lround(from.x + (to.x - from.x) * std::fmin(share, 1.0)));
  if (cx < -120 || cx > demoWidth + 120) return;

  stripedRect(grey, cx, cx - torsoHalf, cx + torsoHalf, torsoTop, torsoBottom);
  stripedRect(grey, cx, cx - legOuter, cx - legInner, legTop, legBottom);
  stripedRect(grey, cx, cx + legInner, cx + legOuter, legTop, legBottom);
  disc(grey, cx, headY, headRadius, 200);

  const double rest = 0.25;
  double leftAngle = rest, rightAngle = rest;
  if (from.wave > 0) {
    const double hertz = from.wave == 1 ? 2.0 : 3.0;
    const double swing = std::sin(2.0 * pi * hertz * (seconds - from.seconds));
    rightAngle = 2.2 + 0.6 * swing;  // raised overhead, swinging
    if (from.wave == 2) leftAngle = 2.2 - 0.6 * swing;
  }
  arm(grey, cx - torsoHalf, -1, leftAngle);
  arm(grey, cx + torsoHalf, +1, rightAngle);
}

void runDemoCapture(CaptureRun& run) {
  std::vector<uint8_t> picture(size_t(demoWidth) * demoHeight);
  uint8_t* grey = picture.data();
  const int64_t start = monotonicNanoseconds();
  int64_t delivered = -1;
  for (;;) {
    const int64_t elapsedMs = (monotonicNanoseconds() - start) / 1000000;
    const int64_t due = elapsedMs * demoFramesPerSecond / 1000;  // the newest frame by now
    if (due > delivered) {
      renderDemoFrame(uint32_t(due), grey);
      placeLumaPlane(grey, demoWidth, 1, demoWidth, demoHeight, run.target);
      deliverFrame(run);
      delivered = due;
      // A callback slower than a frame always finds the next one due: look
      // for a stop after every frame, not only while waiting.
      if (waitForStop(run, 0)) return;
      continue;
    }
    const int64_t nextMs = ((delivered + 1) * 1000 + demoFramesPerSecond - 1) / demoFramesPerSecond;
    if (waitForStop(run, int(nextMs - elapsedMs))) return;
  }
}

namespace {
bool demoChosenBy(const char* choice) { return choice && std::strcmp(choice, "demo") == 0; }

std::vector<CameraEntry> demoList(const char*, std::vector<CameraSkip>&) {
  return {{&demoSource, "demo", "Tessaro demo camera", "built in", ""}};
}

bool demoConnect(CaptureSystem& system, const CameraEntry&) {
  system.modes.push_back({demoWidth, demoHeight, demoFramesPerSecond, int32_t(fourCode('G', 'R', 'E', 'Y'))});
  return true;
}

void demoDisconnect(CaptureSystem&) {}

bool demoStart(CaptureSystem&, const CameraEntry&, CaptureRun& run) {
  noteNoControls(run);
  return true;
}

void demoStop(CaptureSystem&, CaptureRun& run) { closePictureDecoder(run.decoder); }

bool demoOpenOffline(OfflineCamera& camera, const char*, CaptureMode& mode, double& durationSeconds,
                     std::string&) {
  mode = {demoWidth, demoHeight, demoFramesPerSecond, 0};
  camera.grey.resize(size_t(demoWidth) * demoHeight);
  durationSeconds = 60.0;
  return true;
}

bool demoNextOffline(OfflineCamera& camera, double& seconds) {
  renderDemoFrame(camera.frameIndex, camera.grey.data());
  placeLumaPlane(camera.grey.data(), demoWidth, 1, demoWidth, demoHeight, camera.run.target);
  seconds = double(camera.frameIndex) / demoFramesPerSecond;
  return true;
}

void demoCloseOffline(OfflineCamera&) {}
}  // namespace

const CameraSource demoSource = {demoChosenBy,    demoList,        demoConnect,     demoDisconnect,
                                 fourCodeName,    demoStart,       runDemoCapture,  demoStop,
                                 demoOpenOffline, demoNextOffline, demoCloseOffline};
