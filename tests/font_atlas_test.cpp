#include "display/font_atlas.h"

#include "support/display_state_reset.h"
#include "display/scene_state.h"
#include "display/texture_table.h"
#include "resources/embedded_resources.h"
#include "support/gl_context.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using FontAtlas = DisplayStateTest;

GLint integer(GLenum what) {
  GLint v = -1;
  glGetIntegerv(what, &v);
  return v;
}

const EmbeddedResourceTable noResources = {nullptr, 0};

}  // namespace

TEST(ExpandCoverage, WhiteTexelsCarryTheCoverageAsAlphaRowsFirst) {
  const uint8_t coverage[3 * 2] = {0, 1, 2, 128, 254, 255};
  uint8_t* rgba = expandCoverageToRgba(coverage, 3, 2);
  ASSERT_NE(rgba, nullptr);
  const uint8_t expected[3 * 2 * 4] = {255, 255, 255, 0,   255, 255, 255, 1,   255, 255, 255, 2,
                                       255, 255, 255, 128, 255, 255, 255, 254, 255, 255, 255, 255};
  EXPECT_EQ(std::memcmp(rgba, expected, sizeof expected), 0);
  std::free(rgba);
}

TEST(ExpandCoverage, NoCoverageBadSizeOrNoMemoryGivesNoBuffer) {
  const uint8_t coverage[4] = {9, 9, 9, 9};
  EXPECT_EQ(expandCoverageToRgba(nullptr, 256, 256), nullptr);
  EXPECT_EQ(expandCoverageToRgba(coverage, 0, 4), nullptr);
  EXPECT_EQ(expandCoverageToRgba(coverage, 2, -2), nullptr);
  setRgbaBufferAllocator([](size_t) -> void* { return nullptr; });
  EXPECT_EQ(expandCoverageToRgba(coverage, 2, 2), nullptr);
  setRgbaBufferAllocator(nullptr);
}

TEST(FontResource, Resource101IsTheEmbeddedAtlasAndOthersAreMissing) {
  const EmbeddedResource* atlas = findEmbeddedResource(101);
  ASSERT_NE(atlas, nullptr);
  EXPECT_EQ(atlas->size, 65536u);
  EXPECT_EQ(loadFontResource(101), atlas->bytes);
  testing::internal::CaptureStderr();
  EXPECT_EQ(loadFontResource(102), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("102"), std::string::npos);
}

TEST(FontResource, AnEmptyOrShortTableGivesNoBytes) {
  testing::internal::CaptureStderr();
  setEmbeddedResources(&noResources);
  EXPECT_EQ(loadFontResource(101), nullptr);
  const uint8_t few[16] = {};
  const EmbeddedResource shortOne = {101, few, sizeof few};
  const EmbeddedResourceTable shortTable = {&shortOne, 1};
  setEmbeddedResources(&shortTable);
  EXPECT_EQ(loadFontResource(101), nullptr) << "an atlas shorter than 256 x 256 would be over-read";
  testing::internal::GetCapturedStderr();
  setEmbeddedResources(nullptr);
}

TEST_F(FontAtlas, TextureTexelsAreWhiteWithTheResourceAsAlpha) {
  initFontAtlas();
  ASSERT_NE(fontAtlasTextureName(), 0u);
  ASSERT_EQ(textureTableRecord().count, 1);
  EXPECT_EQ(textureTableRecord().names[0], fontAtlasTextureName());
  // The atlas is left bound for whatever comes next.
  EXPECT_EQ(GLuint(integer(GL_TEXTURE_BINDING_2D)), fontAtlasTextureName());
  GLint w = 0, h = 0, alphaBits = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_ALPHA_SIZE, &alphaBits);
  ASSERT_EQ(w, 256);
  ASSERT_EQ(h, 256);
  EXPECT_GT(alphaBits, 0);
  std::vector<uint8_t> rgba(256 * 256 * 4);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  const uint8_t* coverage = loadFontResource(101);
  ASSERT_NE(coverage, nullptr);
  int mismatches = 0;
  for (size_t i = 0; i < 256 * 256; ++i)
    if (rgba[4 * i] != 255 || rgba[4 * i + 1] != 255 || rgba[4 * i + 2] != 255 ||
        rgba[4 * i + 3] != coverage[i])
      ++mismatches;
  EXPECT_EQ(mismatches, 0);
  glDeleteLists(glyphListBaseName(), glyphListCount);
}

TEST_F(FontAtlas, BuildsAllGlyphListsAndShutdownDeletesThem) {
  initFontAtlas();
  ASSERT_NE(glyphListBaseName(), 0u);
  for (GLuint k = 0; k < 256; ++k) ASSERT_TRUE(glIsList(glyphListBaseName() + k)) << "list " << k;
  glDeleteLists(glyphListBaseName(), glyphListCount);
  for (GLuint k = 0; k < 256; ++k) ASSERT_FALSE(glIsList(glyphListBaseName() + k)) << "list " << k;
}

TEST_F(FontAtlas, WithoutTheResourceNoTextureIsMadeButTheListsAre) {
  testing::internal::CaptureStderr();
  setEmbeddedResources(&noResources);
  initSceneState();
  initFontAtlas();
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("101"), std::string::npos) << out;
  EXPECT_EQ(fontAtlasTextureName(), 0u);
  EXPECT_EQ(textureTableRecord().count, 1) << "only the checkerboard";
  EXPECT_EQ(integer(GL_TEXTURE_BINDING_2D), 0) << "the lists' bind binds texture 0";
  ASSERT_NE(glyphListBaseName(), 0u);
  EXPECT_TRUE(glIsList(glyphListBaseName()));
  EXPECT_TRUE(glIsList(glyphListBaseName() + 255));
  glDeleteLists(glyphListBaseName(), glyphListCount);
}

TEST_F(FontAtlas, WithoutTheRgbaBufferNoTextureIsMadeButTheListsAre) {
  setRgbaBufferAllocator([](size_t) -> void* { return nullptr; });
  initSceneState();
  initFontAtlas();
  EXPECT_EQ(fontAtlasTextureName(), 0u);
  EXPECT_EQ(textureTableRecord().count, 1);
  EXPECT_EQ(integer(GL_TEXTURE_BINDING_2D), 0);
  EXPECT_TRUE(glIsList(glyphListBaseName() + 128));
  glDeleteLists(glyphListBaseName(), glyphListCount);
}
