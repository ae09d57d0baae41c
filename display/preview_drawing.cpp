#include "display/preview_drawing.h"

#include <GL/gl.h>

#include <cmath>
#include <initializer_list>

#include "display/difference_texture.h"
#include "platform/window.h"

namespace {
constexpr float crossArm = 0.04f;  // of the picture's width
constexpr GLfloat crossColour[3] = {0.0f, 1.0f, 0.0f};
constexpr GLfloat crossWidth = 2.0f;

struct TextureBound {
  GLint previous = 0;
  TextureBound() {
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &previous);
    glBindTexture(GL_TEXTURE_2D, differenceTexture);
  }
  ~TextureBound() { glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(previous)); }
};
}  // namespace

void previewTextureSize(int32_t& width, int32_t& height) {
  width = height = 0;
  if (differenceTexture == 0) return;
  const TextureBound bound;
  GLint w = 0, h = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &w);
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &h);
  width = w;
  height = h;
}

void loadPreviewPicture(const uint8_t* rgb, int32_t width, int32_t height) {
  if (differenceTexture == 0 || width <= 0 || height <= 0) return;
  const TextureBound bound;
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
  glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
  glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb);
  glPopClientAttrib();
}

void drawPreview(int32_t loadedWidth, int32_t loadedHeight, double aspect, const PreviewCross& cross) {
  int32_t drawableWidth = 0, drawableHeight = 0;
  appDrawableSize(drawableWidth, drawableHeight);
  if (drawableWidth <= 0 || drawableHeight <= 0 || !(aspect > 0.0)) return;

  glPushAttrib(GL_ALL_ATTRIB_BITS);
  glMatrixMode(GL_TEXTURE);
  glPushMatrix();
  glLoadIdentity();
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0.0, 1.0, 1.0, 0.0, -1.0, 1.0);  // picture units, y down like the picture's rows
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();

  // The largest area of the window with the picture's shape, centred; black
  // bars where it leaves some of the window uncovered.
  int32_t width = drawableWidth;
  auto height = static_cast<int32_t>(std::lround(drawableWidth / aspect));
  if (height > drawableHeight) {
    height = drawableHeight;
    width = static_cast<int32_t>(std::lround(drawableHeight * aspect));
  }
  if (width != drawableWidth || height != drawableHeight) {
    glViewport(0, 0, drawableWidth, drawableHeight);
    glDisable(GL_SCISSOR_TEST);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
  }
  glViewport((drawableWidth - width) / 2, (drawableHeight - height) / 2, width, height);

  for (GLenum capability : {GL_DEPTH_TEST, GL_BLEND, GL_CULL_FACE, GL_LIGHTING, GL_FOG, GL_LINE_SMOOTH,
                            GL_COLOR_MATERIAL, GL_ALPHA_TEST, GL_TEXTURE_GEN_S, GL_TEXTURE_GEN_T}) {
    glDisable(capability);
  }
  glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);

  int32_t textureWidth = 0, textureHeight = 0;
  previewTextureSize(textureWidth, textureHeight);
  if (textureWidth > 0 && textureHeight > 0 && loadedWidth > 0 && loadedHeight > 0) {
    const GLfloat u = static_cast<GLfloat>(loadedWidth) / static_cast<GLfloat>(textureWidth);
    const GLfloat v = static_cast<GLfloat>(loadedHeight) / static_cast<GLfloat>(textureHeight);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, differenceTexture);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    // Shown at its own size, one texel per pixel: filtering would only cost
    // time (a third of the drawing with the software renderer).
    const bool ownSize = width == loadedWidth && height == loadedHeight;
    GLint magnify = GL_LINEAR, minify = GL_LINEAR;
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &magnify);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &minify);
    if (ownSize) {
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    }
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(0.0f, 0.0f);
    glTexCoord2f(u, 0.0f);
    glVertex2f(1.0f, 0.0f);
    glTexCoord2f(u, v);
    glVertex2f(1.0f, 1.0f);
    glTexCoord2f(0.0f, v);
    glVertex2f(0.0f, 1.0f);
    glEnd();
    if (ownSize) {  // the texture's own parameters, which no attribute stack keeps
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, magnify);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, minify);
    }
    glDisable(GL_TEXTURE_2D);
  }

  if (cross.shown) {
    const auto armY = static_cast<float>(crossArm * aspect);
    glColor3fv(crossColour);
    glLineWidth(crossWidth);
    glBegin(GL_LINES);
    glVertex2f(cross.x - crossArm, cross.y);
    glVertex2f(cross.x + crossArm, cross.y);
    glVertex2f(cross.x, cross.y - armY);
    glVertex2f(cross.x, cross.y + armY);
    glEnd();
  }

  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_TEXTURE);
  glPopMatrix();
  glPopAttrib();  // the matrix mode with it
}
