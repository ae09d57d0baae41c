#include "display/font_atlas.h"

#include "support/display_state_reset.h"
#include "display/scene_state.h"
#include "support/gl_context.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

constexpr int viewSize = testWindowSize;

// One vertex as feedback reports it: window position and texture coordinate.
struct FedVertex {
  float x, y, s, t;
  bool operator==(const FedVertex&) const = default;
};

std::ostream& operator<<(std::ostream& out, const FedVertex& v) {
  return out << "(" << v.x << ", " << v.y << " | " << v.s << ", " << v.t << ")";
}

// Feedback may report a quad as two triangles, split along either diagonal;
// join them again into the quad's four corners in drawing order.
std::vector<std::vector<FedVertex>> joinQuads(const std::vector<std::vector<FedVertex>>& polygons) {
  std::vector<std::vector<FedVertex>> quads;
  for (size_t i = 0; i < polygons.size(); ++i) {
    const auto& a = polygons[i];
    if (a.size() == 4) {
      quads.push_back(a);
      continue;
    }
    if (a.size() == 3 && i + 1 < polygons.size() && polygons[i + 1].size() == 3) {
      const auto& b = polygons[i + 1];
      if (a[1] == b[0] && a[2] == b[2]) {  // (0 1 3) (1 2 3)
        quads.push_back({a[0], a[1], b[1], a[2]});
        ++i;
        continue;
      }
      if (a[0] == b[0] && a[2] == b[1]) {  // (0 1 2) (0 2 3)
        quads.push_back({a[0], a[1], a[2], b[2]});
        ++i;
        continue;
      }
    }
    ADD_FAILURE() << "feedback polygon " << i << " is not part of a quad";
    quads.push_back(a);
  }
  return quads;
}

class GlyphLists : public DisplayStateTest {
 protected:
  void SetUp() override {
    DisplayStateTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // As at start-up: the scene state (back faces culled) then the font.
    initSceneState();
    initFontAtlas();
    // One unit per pixel with y pointing down, the view text is meant for.
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, viewSize, viewSize, 0, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
  }
  void TearDown() override {
    if (glyphListBaseName() != 0) glDeleteLists(glyphListBaseName(), glyphListCount);
    DisplayStateTest::TearDown();
  }

  // Runs the lists in feedback mode; returns the quads drawn.
  static std::vector<std::vector<FedVertex>> feedback(std::initializer_list<GLuint> cells) {
    glLoadIdentity();
    std::vector<GLfloat> buffer(4096);
    glFeedbackBuffer(static_cast<GLsizei>(buffer.size()), GL_3D_COLOR_TEXTURE, buffer.data());
    glRenderMode(GL_FEEDBACK);
    for (GLuint k : cells) glCallList(glyphListBaseName() + k);
    const GLint used = glRenderMode(GL_RENDER);
    std::vector<std::vector<FedVertex>> polygons;
    constexpr int vertexFloats = 3 + 4 + 4;  // x y z, RGBA, s t r q
    for (GLint i = 0; i < used;) {
      const auto token = static_cast<GLenum>(buffer[size_t(i++)]);
      if (token == GL_PASS_THROUGH_TOKEN) {
        ++i;
        continue;
      }
      EXPECT_EQ(token, GLenum(GL_POLYGON_TOKEN));
      if (token != GL_POLYGON_TOKEN) break;
      const int count = static_cast<int>(buffer[size_t(i++)]);
      std::vector<FedVertex> polygon;
      for (int v = 0; v < count; ++v, i += vertexFloats) {
        const GLfloat* f = &buffer[size_t(i)];
        polygon.push_back({f[0], f[1], f[7], f[8]});
      }
      polygons.push_back(polygon);
    }
    return joinQuads(polygons);
  }
};

// The quad of cell k drawn with its top-left corner at (left, 0): four
// corners in the list's order, in window coordinates (y up, so object
// y = 16 is window y = viewSize - 16).
std::vector<FedVertex> expectedQuad(int k, float left) {
  const float s0 = float(k % 16) / 16, t0 = float(k / 16) / 16, s1 = s0 + 0.0625f, t1 = t0 + 0.0625f;
  const float bottom = viewSize - 16, top = viewSize;
  return {{left, bottom, s0, t1}, {left + 16, bottom, s1, t1}, {left + 16, top, s1, t0}, {left, top, s0, t0}};
}

std::array<double, 16> modelView() {
  std::array<double, 16> m{};
  glGetDoublev(GL_MODELVIEW_MATRIX, m.data());
  return m;
}

}  // namespace

TEST_F(GlyphLists, CapitalAOfBothFacesSamplesItsCell) {
  auto upright = feedback({33});
  ASSERT_EQ(upright.size(), 1u) << "one quad, facing the viewer";
  EXPECT_EQ(upright[0], expectedQuad(33, 0));
  EXPECT_EQ(upright[0][0].s, 0.0625f);
  EXPECT_EQ(upright[0][0].t, 0.1875f);
  EXPECT_EQ(upright[0][2].s, 0.125f);
  EXPECT_EQ(upright[0][2].t, 0.125f);

  auto slanted = feedback({161});
  ASSERT_EQ(slanted.size(), 1u);
  EXPECT_EQ(slanted[0], expectedQuad(161, 0));
  EXPECT_EQ(slanted[0][3].t, 0.625f);
}

TEST_F(GlyphLists, FirstLastAndCodePageCellsSampleTheirCells) {
  for (int k : {0, 15, 16, 96, 127, 128, 255}) {
    SCOPED_TRACE(k);
    auto quads = feedback({GLuint(k)});
    ASSERT_EQ(quads.size(), 1u);
    EXPECT_EQ(quads[0], expectedQuad(k, 0));
  }
}

TEST_F(GlyphLists, EachGlyphMovesTheNextTenUnitsRight) {
  auto quads = feedback({33, 161, 72});
  ASSERT_EQ(quads.size(), 3u);
  EXPECT_EQ(quads[0], expectedQuad(33, 0));
  EXPECT_EQ(quads[1], expectedQuad(161, 10));
  EXPECT_EQ(quads[2], expectedQuad(72, 20));
}

TEST_F(GlyphLists, CallingNListsTranslatesByTenNInX) {
  for (GLuint n : {1u, 2u, 7u, 256u}) {
    SCOPED_TRACE(n);
    glLoadIdentity();
    for (GLuint k = 0; k < n; ++k) glCallList(glyphListBaseName() + k);
    auto m = modelView();
    EXPECT_EQ(m[12], 10.0 * n);
    EXPECT_EQ(m[13], 0.0);
    EXPECT_EQ(m[14], 0.0);
    const std::array<double, 12> rest = {m[0], m[1], m[2], m[3], m[4],  m[5],
                                         m[6], m[7], m[8], m[9], m[10], m[11]};
    EXPECT_EQ(rest, (std::array<double, 12>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(m[15], 1.0);
  }
  // Text by byte code: list base + (code - 32).
  glLoadIdentity();
  glListBase(glyphListBaseName() - 32);
  glCallLists(5, GL_UNSIGNED_BYTE, "Hello");
  glListBase(0);
  EXPECT_EQ(modelView()[12], 50.0);
}

TEST_F(GlyphLists, ListsLeaveTextureColourEnablesAndBlendAlone) {
  GLuint other = 0;
  glGenTextures(1, &other);
  glBindTexture(GL_TEXTURE_2D, other);
  glColor4f(0.5f, 0.25f, 0.125f, 1.0f);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glCallList(glyphListBaseName() + 33);
  glCallList(glyphListBaseName() + 200);

  GLint bound = -1, src = -1, dst = -1;
  glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
  EXPECT_EQ(GLuint(bound), other);
  std::array<float, 4> colour{};
  glGetFloatv(GL_CURRENT_COLOR, colour.data());
  EXPECT_EQ(colour, (std::array<float, 4>{0.5f, 0.25f, 0.125f, 1.0f}));
  EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
  EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
  EXPECT_TRUE(glIsEnabled(GL_BLEND));
  glGetIntegerv(GL_BLEND_SRC, &src);
  glGetIntegerv(GL_BLEND_DST, &dst);
  EXPECT_EQ(src, GL_SRC_ALPHA);
  EXPECT_EQ(dst, GL_ONE_MINUS_SRC_ALPHA);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}
