#include "display/scene_state.h"

#include "support/display_state_reset.h"
#include "display/font_atlas.h"
#include "display/texture_table.h"
#include "platform/window_proc.h"
#include "support/gl_context.h"

#include <GL/gl.h>
#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using SceneState = DisplayStateTest;

std::array<float, 4> floats4(GLenum what) {
  std::array<float, 4> v{-1, -1, -1, -1};
  glGetFloatv(what, v.data());
  return v;
}

std::array<float, 4> light4(GLenum light, GLenum what) {
  std::array<float, 4> v{-1, -1, -1, -1};
  glGetLightfv(light, what, v.data());
  return v;
}

float light1(GLenum light, GLenum what) {
  float v = -1;
  glGetLightfv(light, what, &v);
  return v;
}

std::array<float, 4> material4(GLenum face, GLenum what) {
  std::array<float, 4> v{-1, -1, -1, -1};
  glGetMaterialfv(face, what, v.data());
  return v;
}

GLint integer(GLenum what) {
  GLint v = -1;
  glGetIntegerv(what, &v);
  return v;
}

using Rgba = std::array<float, 4>;

std::vector<uint8_t> textureRgb(GLuint name) {
  glBindTexture(GL_TEXTURE_2D, name);
  GLint w = 0, h = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
  std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
  return rgb;
}

}  // namespace

TEST_F(SceneState, LeavesExactlyTheFixedCapabilitiesEnabled) {
  ASSERT_TRUE(initSceneState());
  for (GLenum on : {GL_DEPTH_TEST, GL_LIGHT0, GL_COLOR_MATERIAL, GL_BLEND, GL_POINT_SMOOTH, GL_LINE_SMOOTH,
                    GL_CULL_FACE, GL_NORMALIZE})
    EXPECT_TRUE(glIsEnabled(on)) << "capability 0x" << std::hex << on;
  for (GLenum off : {GL_LIGHTING, GL_FOG, GL_TEXTURE_2D, GL_LIGHT1, GL_LIGHT2, GL_LIGHT3, GL_LIGHT4,
                     GL_LIGHT5, GL_LIGHT6, GL_LIGHT7, GL_POLYGON_SMOOTH, GL_ALPHA_TEST, GL_STENCIL_TEST})
    EXPECT_FALSE(glIsEnabled(off)) << "capability 0x" << std::hex << off;
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(SceneState, SetsTheFixedRasterState) {
  initSceneState();
  EXPECT_EQ(integer(GL_SHADE_MODEL), GL_SMOOTH);
  EXPECT_EQ(integer(GL_DEPTH_FUNC), GL_LEQUAL);
  double depthClear = -1;
  glGetDoublev(GL_DEPTH_CLEAR_VALUE, &depthClear);
  EXPECT_EQ(depthClear, 1.0);
  EXPECT_EQ(integer(GL_PERSPECTIVE_CORRECTION_HINT), GL_FASTEST);
  EXPECT_EQ(integer(GL_POINT_SMOOTH_HINT), GL_FASTEST);
  EXPECT_EQ(integer(GL_LINE_SMOOTH_HINT), GL_NICEST);
  EXPECT_EQ(floats4(GL_POINT_SIZE)[0], 2.0f);
  EXPECT_EQ(floats4(GL_LINE_WIDTH)[0], 1.0f);
  GLint polygonMode[2] = {-1, -1};
  glGetIntegerv(GL_POLYGON_MODE, polygonMode);
  EXPECT_EQ(polygonMode[0], GL_FILL);
  EXPECT_EQ(polygonMode[1], GL_FILL);
  EXPECT_EQ(integer(GL_CULL_FACE_MODE), GL_BACK);
  EXPECT_EQ(integer(GL_COLOR_MATERIAL_FACE), GL_FRONT_AND_BACK);
  EXPECT_EQ(integer(GL_COLOR_MATERIAL_PARAMETER), GL_DIFFUSE);
  // The blend function is left as the library starts it.
  EXPECT_EQ(integer(GL_BLEND_SRC), GL_ONE);
  EXPECT_EQ(integer(GL_BLEND_DST), GL_ZERO);
  // The window shows black, but the clear colour left behind is the fog grey.
  EXPECT_EQ(floats4(GL_COLOR_CLEAR_VALUE), (Rgba{0.25f, 0.25f, 0.25f, 1.0f}));
}

// The pixels the X server holds for the window, as the screen shows them.
std::vector<unsigned long> shownPixels() {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  std::vector<unsigned long> pixels;
  if (!SDL_GetWindowWMInfo(appWindow.window, &info)) return pixels;
  glFinish();
  XSync(info.info.x11.display, False);
  XImage* image = XGetImage(info.info.x11.display, info.info.x11.window, 0, 0, testWindowSize, testWindowSize,
                            AllPlanes, ZPixmap);
  if (!image) return pixels;
  for (int y = 0; y < testWindowSize; ++y)
    for (int x = 0; x < testWindowSize; ++x) pixels.push_back(XGetPixel(image, x, y));
  XDestroyImage(image);
  return pixels;
}

// An exposed window is presented black again, through the window procedure,
// while the clear colour and everything else the scene set-up left stays.
TEST_F(SceneState, ExposedWindowIsPresentedBlackAndKeepsTheFogGreyClearColour) {
  initSceneState();
  // Something else on show: the fog grey, presented.
  glClear(GL_COLOR_BUFFER_BIT);
  swapAppBuffers();
  const std::vector<unsigned long> black(size_t(testWindowSize) * testWindowSize, 0);
  ASSERT_NE(shownPixels(), black);
  SDL_Event event{};
  event.type = SDL_WINDOWEVENT;
  event.window.event = SDL_WINDOWEVENT_EXPOSED;
  const AppMessage exposed = messageFromEvent(event);
  EXPECT_EQ(exposed.message, WM_PAINT);
  dispatchAppMessage(exposed);
  EXPECT_EQ(shownPixels(), black);
  EXPECT_EQ(floats4(GL_COLOR_CLEAR_VALUE), (Rgba{0.25f, 0.25f, 0.25f, 1.0f}));
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(SceneState, ConfiguresEveryLightWithTheDefaultsAndTheLightModel) {
  initSceneState();
  for (GLenum light = GL_LIGHT0; light <= GL_LIGHT7; ++light) {
    SCOPED_TRACE(light - GL_LIGHT0);
    EXPECT_EQ(light4(light, GL_AMBIENT), (Rgba{0.006f, 0.006f, 0.006f, 1.0f}));
    EXPECT_EQ(light4(light, GL_DIFFUSE), (Rgba{1, 1, 1, 1}));
    EXPECT_EQ(light4(light, GL_SPECULAR), (Rgba{1, 1, 1, 1}));
    // Sent under an identity model-view, so it reads back unchanged.
    EXPECT_EQ(light4(light, GL_POSITION), (Rgba{0, 0, 2, 1}));
    auto direction = light4(light, GL_SPOT_DIRECTION);
    EXPECT_EQ(direction[0], 0.0f);
    EXPECT_EQ(direction[1], 0.0f);
    EXPECT_EQ(direction[2], -1.0f);
    EXPECT_EQ(light1(light, GL_SPOT_CUTOFF), 180.0f);
    EXPECT_EQ(light1(light, GL_SPOT_EXPONENT), 0.0f);
    EXPECT_EQ(light1(light, GL_CONSTANT_ATTENUATION), 1.0f);
    EXPECT_EQ(light1(light, GL_LINEAR_ATTENUATION), 0.0f);
    EXPECT_EQ(light1(light, GL_QUADRATIC_ATTENUATION), 0.025f);
  }
  // Two-sided was switched off early and on again at the end.
  EXPECT_EQ(integer(GL_LIGHT_MODEL_TWO_SIDE), GL_TRUE);
  EXPECT_EQ(integer(GL_LIGHT_MODEL_LOCAL_VIEWER), GL_TRUE);
}

TEST_F(SceneState, FillsTheLightTableOnceWithIdsAndUntouchedSpareWord) {
  lightTableRecords()[3].spotDirection[3] = 7.0f;
  initSceneState();
  EXPECT_TRUE(lightsInitialisedFlag());
  for (int n = 0; n < 8; ++n) {
    EXPECT_EQ(lightTableRecords()[n].lightId, GL_LIGHT0 + n);
    EXPECT_EQ(lightTableRecords()[n].quadraticAttenuation, 0.025f);
  }
  EXPECT_EQ(lightTableRecords()[3].spotDirection[3], 7.0f);
  EXPECT_EQ(lightTableRecords()[0].spotDirection[3], 0.0f);

  // A second run skips the lights: a changed record is not sent again, but
  // the rest repeats and makes another checkerboard.
  lightTableRecords()[0].ambient[0] = 0.5f;
  ASSERT_TRUE(initSceneState());
  EXPECT_EQ(light4(GL_LIGHT0, GL_AMBIENT)[0], 0.006f);
  EXPECT_EQ(textureTableRecord().count, 2);
  EXPECT_NE(textureTableRecord().names[0], textureTableRecord().names[1]);
}

TEST_F(SceneState, MaterialIsWhiteWithShininess80OnBothFaces) {
  initSceneState();
  for (GLenum face : {GL_FRONT, GL_BACK}) {
    SCOPED_TRACE(face == GL_FRONT ? "front" : "back");
    EXPECT_EQ(material4(face, GL_SHININESS)[0], 80.0f);
    EXPECT_EQ(material4(face, GL_AMBIENT), (Rgba{1, 1, 1, 1}));
    EXPECT_EQ(material4(face, GL_SPECULAR), (Rgba{1, 1, 1, 1}));
    EXPECT_EQ(material4(face, GL_EMISSION), (Rgba{0, 0, 0, 1}));
  }
  EXPECT_EQ(materialTableRecords()[0].shininess, 80.0f);
  for (int i = 1; i < 64; ++i) ASSERT_EQ(materialTableRecords()[i].shininess, 50.0f) << "record " << i;
  EXPECT_EQ(materialTableRecords()[63].emission[3], 1.0f);
}

TEST_F(SceneState, FogIsConfiguredButOff) {
  initSceneState();
  EXPECT_EQ(integer(GL_FOG_MODE), GL_LINEAR);
  EXPECT_EQ(floats4(GL_FOG_COLOR), (Rgba{0.25f, 0.25f, 0.25f, 1.0f}));
  EXPECT_EQ(floats4(GL_FOG_DENSITY)[0], 0.35f);
  EXPECT_EQ(floats4(GL_FOG_START)[0], 1.0f);
  EXPECT_EQ(floats4(GL_FOG_END)[0], 6.0f);
  EXPECT_EQ(integer(GL_FOG_HINT), GL_NICEST);
  EXPECT_EQ(fogColourValues()[0], 0.25f);
  EXPECT_EQ(fogColourValues()[3], 1.0f);
  EXPECT_FALSE(glIsEnabled(GL_FOG));
}

TEST_F(SceneState, CheckerboardIsSixteenPixelSquaresBlackFirstAndStaysBound) {
  initSceneState();
  ASSERT_EQ(textureTableRecord().count, 1);
  GLuint checker = textureTableRecord().names[0];
  EXPECT_EQ(GLuint(integer(GL_TEXTURE_BINDING_2D)), checker);
  std::vector<uint8_t> rgb = textureRgb(checker);
  ASSERT_EQ(rgb.size(), 256u * 256u * 3u);
  auto texel = [&](int r, int c) { return rgb[(size_t(r) * 256 + size_t(c)) * 3]; };
  for (int c = 0; c < 16; ++c) EXPECT_EQ(texel(0, c), 0) << "row 0 column " << c;
  for (int c = 16; c < 32; ++c) EXPECT_EQ(texel(0, c), 255) << "row 0 column " << c;
  EXPECT_EQ(texel(16, 0), 255);
  EXPECT_EQ(texel(15, 15), 0);
  EXPECT_EQ(texel(255, 255), 0);
  EXPECT_EQ(texel(255, 0), 255);
  // Grey levels only: every texel's three bytes agree, each black or white;
  // half the board is white.
  size_t white = 0;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    ASSERT_TRUE(rgb[i] == rgb[i + 1] && rgb[i] == rgb[i + 2]) << "texel " << i / 3;
    ASSERT_TRUE(rgb[i] == 0 || rgb[i] == 255) << "texel " << i / 3;
    white += rgb[i] == 255;
  }
  EXPECT_EQ(white, 256u * 256u / 2u);
}

TEST_F(SceneState, TexturesAreMadeLinearRepeatingSingleLevel) {
  initSceneState();
  glBindTexture(GL_TEXTURE_2D, textureTableRecord().names[0]);
  GLint v = -1;
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &v);
  EXPECT_EQ(v, GL_LINEAR);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &v);
  EXPECT_EQ(v, GL_LINEAR);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &v);
  EXPECT_EQ(v, GL_REPEAT);
  glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, &v);
  EXPECT_EQ(v, GL_REPEAT);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &v);
  EXPECT_EQ(v, 256);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 1, GL_TEXTURE_WIDTH, &v);
  EXPECT_EQ(v, 0) << "no mipmap levels";
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_ALPHA_SIZE, &v);
  EXPECT_EQ(v, 0) << "the checkerboard has no alpha";
}

TEST_F(SceneState, TextureTableHoldsCheckerboardThenAtlas) {
  initSceneState();
  initFontAtlas();
  ASSERT_EQ(textureTableRecord().count, 2);
  EXPECT_NE(textureTableRecord().names[0], 0u);
  EXPECT_EQ(textureTableRecord().names[1], fontAtlasTextureName());
  EXPECT_EQ(textureRgb(textureTableRecord().names[0])[16 * 3], 255);  // really the board
  glDeleteLists(glyphListBaseName(), glyphListCount);
}

TEST_F(SceneState, WithoutCheckerBufferTheSetUpGoesOnAndTheAtlasComesFirst) {
  setCheckerBufferAllocator([](size_t) -> void* { return nullptr; });
  ASSERT_TRUE(initSceneState());
  EXPECT_EQ(textureTableRecord().count, 0);
  EXPECT_TRUE(glIsEnabled(GL_LIGHT0));
  EXPECT_EQ(floats4(GL_COLOR_CLEAR_VALUE)[0], 0.25f);
  setCheckerBufferAllocator(nullptr);
  initFontAtlas();
  ASSERT_EQ(textureTableRecord().count, 1);
  EXPECT_EQ(textureTableRecord().names[0], fontAtlasTextureName());
  glDeleteLists(glyphListBaseName(), glyphListCount);
}

TEST_F(SceneState, CreateTextureAppendsNamesAndRefusesPastCapacity) {
  const uint8_t rgba[2 * 2 * 4] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const int capacity =
      static_cast<int>(sizeof textureTableRecord().names / sizeof textureTableRecord().names[0]);
  for (int i = 0; i < capacity; ++i) {
    GLuint name = createTexture(rgba, 2, 2, true);
    ASSERT_NE(name, 0u);
    EXPECT_EQ(textureTableRecord().names[i], name);
    EXPECT_EQ(GLuint(integer(GL_TEXTURE_BINDING_2D)), name);
  }
  GLint bound = integer(GL_TEXTURE_BINDING_2D);
  testing::internal::CaptureStderr();
  EXPECT_EQ(createTexture(rgba, 2, 2, true), 0u);
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(textureTableRecord().count, capacity);
  EXPECT_EQ(integer(GL_TEXTURE_BINDING_2D), bound);
  EXPECT_NE(out.find("texture table is full"), std::string::npos) << out;

  glBindTexture(GL_TEXTURE_2D, textureTableRecord().names[0]);
  uint8_t back[sizeof rgba] = {};
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, back);
  EXPECT_EQ(std::vector<uint8_t>(back, back + sizeof back), std::vector<uint8_t>(rgba, rgba + sizeof rgba));
}
