#include <GL/gl.h>
#include <gtest/gtest.h>

#include <vector>

#include "display/difference_texture.h"
#include "display/texture_table.h"
#include "support/gl_context.h"
#include "vision/frame_buffers.h"

namespace {
struct SizeCase {
  int32_t width, height, textureWidth, textureHeight;
};
constexpr SizeCase sizeCases[] = {
    {640, 480, 1024, 512}, {320, 240, 512, 256}, {160, 120, 256, 256},
    {352, 288, 512, 512},  {600, 400, 512, 512},  // narrower than the picture: not the next power of two
    {256, 256, 256, 256},  {257, 257, 512, 512}, {1280, 720, 1024, 512},
};

class DifferenceTexture : public GlContextTest {
 protected:
  void SetUp() override {
    GlContextTest::SetUp();
    differenceTexture = 0;
    clearTextureTable();
  }
};
}  // namespace

TEST(DifferenceTextureSize, FollowsTheModeByThresholds) {
  for (const SizeCase& c : sizeCases) {
    int32_t w = 0, h = 0;
    differenceTextureSize(c.width, c.height, w, h);
    EXPECT_EQ(w, c.textureWidth) << c.width << "x" << c.height;
    EXPECT_EQ(h, c.textureHeight) << c.width << "x" << c.height;
  }
}

TEST(DifferenceTextureSize, NoTextureWithoutARenderingContext) {
  differenceTexture = 0;
  const int32_t before = textureTableRecord().count;
  ASSERT_TRUE(allocateFrameBuffers(64, 48));
  makeDifferenceTexture(64, 48);
  EXPECT_EQ(differenceTexture, 0u);
  EXPECT_EQ(textureTableRecord().count, before);
}

TEST_F(DifferenceTexture, IsMadeOnceBlackRgbAtTheModesSize) {
  for (const SizeCase& c : {sizeCases[0], sizeCases[1], sizeCases[2], sizeCases[3]}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    differenceTexture = 0;
    clearTextureTable();
    ASSERT_TRUE(allocateFrameBuffers(c.width, c.height));
    makeDifferenceTexture(c.width, c.height);
    ASSERT_NE(differenceTexture, 0u);
    ASSERT_EQ(textureTableRecord().count, 1);
    EXPECT_EQ(textureTableRecord().names[0], differenceTexture);
    glBindTexture(GL_TEXTURE_2D, differenceTexture);
    GLint w = 0, h = 0, alpha = -1, red = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_ALPHA_SIZE, &alpha);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_RED_SIZE, &red);
    EXPECT_EQ(w, c.textureWidth);
    EXPECT_EQ(h, c.textureHeight);
    EXPECT_EQ(alpha, 0);
    EXPECT_GT(red, 0);
    std::vector<uint8_t> texels(size_t(w) * size_t(h) * 3, 0x55);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, texels.data());
    EXPECT_EQ(texels, std::vector<uint8_t>(texels.size(), 0));
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  }
  // A second set-up keeps the texture it has.
  const uint32_t first = differenceTexture;
  ASSERT_TRUE(allocateFrameBuffers(640, 480));
  makeDifferenceTexture(640, 480);
  EXPECT_EQ(differenceTexture, first);
  EXPECT_EQ(textureTableRecord().count, 1);
}
