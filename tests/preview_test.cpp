// The set-up preview: the camera thread hands whole pictures to the main
// thread without either waiting, the colours tell what moves, and drawing
// shows the picture in the window and leaves the scene state as it was.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "display/difference_texture.h"
#include "display/preview_drawing.h"
#include "display/scene_state.h"
#include "support/display_state_reset.h"
#include "support/motion_frames.h"
#include "vision/preview_picture.h"

namespace {
// Frame n is one level all over, so the grey picture the analysis writes at
// frame n is one value all over: the difference between frames n - 2 and n - 1.
uint8_t levelOf(int n) { return static_cast<uint8_t>((n * 97) % 256); }

bool uniform(const PreviewPicture& p) {
  for (size_t i = 1; i < static_cast<size_t>(p.width) * static_cast<size_t>(p.height); ++i) {
    if (p.difference[i] != p.difference[0]) return false;
  }
  return true;
}

bool moving(uint8_t d) { return d >= 159 || d <= 97; }
}  // namespace

TEST(PreviewPictureThread, TheMainThreadTakesWholePicturesWhileTheCameraThreadGoesOn) {
  constexpr int32_t w = 64, h = 48;
  ASSERT_TRUE(startMode(w, h));
  std::vector<TestFrame> frames;
  for (int n = 0; n < 256; ++n) frames.push_back(uniformFrame(w, h, levelOf(n)));
  ASSERT_TRUE(openPreviewPictures());
  int32_t openedWidth = 0, openedHeight = 0;
  previewPictureSize(openedWidth, openedHeight);
  EXPECT_EQ(openedWidth, w);
  EXPECT_EQ(openedHeight, h);

  std::atomic<bool> stop{false};
  std::thread camera([&] {
    for (int n = 0; !stop.load(); ++n) {
      feed(frames[static_cast<size_t>(n) % frames.size()], static_cast<float>(n + 1));
      std::this_thread::yield();
    }
  });
  // Bounded by time, not by frames fed: on a fast machine the camera thread
  // publishes nearly all the time and most takes find it mid-picture.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int taken = 0, torn = 0, mislabelled = 0;
  while (taken < 500 && std::chrono::steady_clock::now() < until) {
    PreviewPicture picture{};
    if (!takePreviewPicture(picture)) {
      std::this_thread::yield();
      continue;
    }
    ++taken;
    if (picture.width != w || picture.height != h || !uniform(picture)) ++torn;
    // The record's values travel with their picture: it moved all over or not at all.
    if ((picture.movingFraction == 1.0f) != moving(picture.difference[0])) ++mislabelled;
  }
  // Closing while frames keep coming, then opening again.
  closePreviewPictures();
  PreviewPicture none{};
  EXPECT_FALSE(takePreviewPicture(none));
  ASSERT_TRUE(openPreviewPictures());
  while (!takePreviewPicture(none)) std::this_thread::yield();
  EXPECT_TRUE(uniform(none));
  stop = true;
  camera.join();
  closePreviewPictures();
  EXPECT_GT(taken, 100);
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(mislabelled, 0);
}

// Nothing changed: black; a change inside the still band: grey, four steps
// per level; a change that counts as moving (159 and up, 97 and down): red.
TEST(PreviewPicture, ColoursShowHowMuchChangedAndWhatCountsAsMoving) {
  const std::vector<uint8_t> values = {127, 128, 126, 158, 98, 159, 97, 0, 255, 140};
  const std::vector<std::array<uint8_t, 3>> expected = {
      {0, 0, 0},   {4, 4, 4},   {4, 4, 4},   {124, 124, 124}, {116, 116, 116},
      {255, 0, 0}, {255, 0, 0}, {255, 0, 0}, {255, 0, 0},     {52, 52, 52}};
  const PreviewPicture picture{values.data(), static_cast<int32_t>(values.size()), 1, 0.0f, 0.0f, 0.0f};
  std::vector<uint8_t> rgb(3 * values.size(), 0x55);
  colourPreviewPicture(picture, rgb.data(), picture.width, 1);
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ((std::array<uint8_t, 3>{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]}), expected[i])
        << "difference " << int{values[i]};
  }
  // Shown smaller, each output pixel takes the sample at its top-left.
  const std::vector<uint8_t> square = {200, 127, 127, 127, 127, 127, 127, 127,  //
                                       127, 127, 127, 127, 127, 127, 127, 127,  //
                                       127, 127, 127, 127, 127, 127, 127, 127,  //
                                       127, 127, 127, 127, 127, 127, 127, 0};
  const PreviewPicture big{square.data(), 8, 4, 0.0f, 0.0f, 0.0f};
  std::vector<uint8_t> small(4 * 2 * 3, 0x55);
  colourPreviewPicture(big, small.data(), 4, 2);
  std::vector<uint8_t> expectedSmall(small.size(), 0);
  expectedSmall[0] = 255;
  EXPECT_EQ(small, expectedSmall);
}

// A threshold of 20 grey levels: red from a difference value of 137 up
// (a change of 20 or 21) and 117 down; ignored samples never red, dimmed.
TEST(PreviewPicture, AThresholdMovesTheRedAndIgnoredPartsAreDimmed) {
  const std::vector<uint8_t> values = {136, 137, 118, 117, 127, 200, 127};
  const std::vector<uint8_t> mask = {255, 255, 255, 255, 255, 0, 0};
  const std::vector<std::array<uint8_t, 3>> expected = {{36, 36, 36}, {255, 0, 0}, {36, 36, 36}, {255, 0, 0},
                                                        {0, 0, 0},    {31, 31, 79}, {0, 0, 48}};
  PreviewPicture picture{values.data(), static_cast<int32_t>(values.size()), 1, 0.0f, 0.0f, 0.0f};
  picture.mask = mask.data();
  picture.threshold = 20;
  std::vector<uint8_t> rgb(3 * values.size(), 0x55);
  colourPreviewPicture(picture, rgb.data(), picture.width, 1);
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ((std::array<uint8_t, 3>{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]}), expected[i]) << i;
  }
}

namespace {
class PreviewDrawing : public DisplayStateTest {};

std::array<uint8_t, 3> pixelAt(int x, int y) {
  std::array<uint8_t, 4> rgba{};
  glReadBuffer(GL_BACK);
  glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  return {rgba[0], rgba[1], rgba[2]};
}

// The GL state the scene set-up leaves, which drawing the preview must restore.
struct GlState {
  std::array<GLint, 4> viewport{};
  std::array<GLfloat, 16> projection{};
  GLint bound = 0;
  std::array<GLboolean, 5> enabled{};
};
GlState glStateNow() {
  GlState s;
  glGetIntegerv(GL_VIEWPORT, s.viewport.data());
  glGetFloatv(GL_PROJECTION_MATRIX, s.projection.data());
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &s.bound);
  s.enabled = {glIsEnabled(GL_DEPTH_TEST), glIsEnabled(GL_BLEND), glIsEnabled(GL_CULL_FACE),
               glIsEnabled(GL_LINE_SMOOTH), glIsEnabled(GL_TEXTURE_2D)};
  return s;
}
}  // namespace

// A 4:3 picture in the square test window: left half red, right half blue,
// shown over the middle 48 rows with black above and below, the cross green.
TEST_F(PreviewDrawing, ShowsThePictureKeepingItsShapeAndLeavesTheSceneStateAsItWas) {
  ASSERT_TRUE(initSceneState());
  makeDifferenceTexture(64, 48);
  ASSERT_NE(differenceTexture, 0u);
  std::vector<uint8_t> rgb(64 * 48 * 3);
  for (size_t i = 0; i < 64 * 48; ++i) {
    const bool left = i % 64 < 32;
    rgb[3 * i] = left ? 255 : 0;
    rgb[3 * i + 2] = left ? 0 : 255;
  }
  const GlState before = glStateNow();

  loadPreviewPicture(rgb.data(), 64, 48);
  drawPreview(64, 48, 64.0 / 48.0, PreviewCross{true, 0.75f, 0.5f});

  EXPECT_EQ(pixelAt(8, 40), (std::array<uint8_t, 3>{255, 0, 0}));
  EXPECT_EQ(pixelAt(56, 24), (std::array<uint8_t, 3>{0, 0, 255}));
  EXPECT_EQ(pixelAt(30, 2), (std::array<uint8_t, 3>{0, 0, 0}));   // below the picture
  EXPECT_EQ(pixelAt(30, 61), (std::array<uint8_t, 3>{0, 0, 0}));  // above it
  EXPECT_EQ(pixelAt(48, 32)[1], 255) << "no cross at three quarters across, half way down";

  const GlState after = glStateNow();
  EXPECT_EQ(after.viewport, before.viewport);
  EXPECT_EQ(after.projection, before.projection);
  EXPECT_EQ(after.bound, before.bound);
  EXPECT_EQ(after.enabled, before.enabled);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  differenceTexture = 0;
}
