#include "display/font_atlas.h"

#include "display/texture_table.h"
#include "platform/diagnostics.h"
#include "resources/embedded_resources.h"

#include <GL/gl.h>

#include <cstdio>
#include <cstdlib>

namespace {
uint32_t fontAtlasTexture = 0;
uint32_t glyphListBase = 0;
BufferAllocator rgbaBufferAllocator = std::malloc;
}  // namespace

uint32_t fontAtlasTextureName() { return fontAtlasTexture; }

uint32_t glyphListBaseName() { return glyphListBase; }

void clearFontAtlas() {
  fontAtlasTexture = 0;
  glyphListBase = 0;
}

void setRgbaBufferAllocator(BufferAllocator allocator) {
  rgbaBufferAllocator = allocator ? allocator : std::malloc;
}

const uint8_t* loadFontResource(uint16_t resourceId) {
  const EmbeddedResource* resource = findEmbeddedResource(resourceId);
  constexpr uint32_t atlasBytes = uint32_t{fontAtlasSize} * fontAtlasSize;
  if (resource == nullptr || resource->bytes == nullptr || resource->size < atlasBytes) {
    diagnostic("display", "Font resource %u not found: text has no texture.", unsigned{resourceId});
    return nullptr;
  }
  return resource->bytes;
}

uint8_t* expandCoverageToRgba(const uint8_t* coverage, int32_t width, int32_t height) {
  if (coverage == nullptr || width <= 0 || height <= 0) return nullptr;
  const size_t texels = size_t(width) * size_t(height);
  auto* rgba = static_cast<uint8_t*>(rgbaBufferAllocator(texels * 4));
  if (rgba == nullptr) return nullptr;
  for (size_t i = 0; i < texels; ++i) {
    rgba[4 * i + 0] = 255;
    rgba[4 * i + 1] = 255;
    rgba[4 * i + 2] = 255;
    rgba[4 * i + 3] = coverage[i];
  }
  return rgba;
}

void deleteGlyphLists() { glDeleteLists(glyphListBase, glyphListCount); }

void buildGlyphLists() {
  glyphListBase = glGenLists(glyphListCount);
  // Outside any list: binds now, is not recorded.
  glBindTexture(GL_TEXTURE_2D, fontAtlasTexture);
  for (int32_t k = 0; k < glyphListCount; ++k) {
    // Sixteenths are exact in single precision.
    const float s0 = static_cast<float>(k % 16) / 16.0f;
    const float t0 = static_cast<float>(k / 16) / 16.0f;
    const float s1 = s0 + 1.0f / 16.0f;
    const float t1 = t0 + 1.0f / 16.0f;
    glNewList(glyphListBase + static_cast<GLuint>(k), GL_COMPILE);
    glBegin(GL_QUADS);
    glTexCoord2f(s0, t1);
    glVertex2i(0, 16);
    glTexCoord2f(s1, t1);
    glVertex2i(16, 16);
    glTexCoord2f(s1, t0);
    glVertex2i(16, 0);
    glTexCoord2f(s0, t0);
    glVertex2i(0, 0);
    glEnd();
    glTranslated(10.0, 0.0, 0.0);
    glEndList();
  }
}

void initFontAtlas() {
  const uint8_t* coverage = loadFontResource(fontResourceId);
  uint8_t* rgba = expandCoverageToRgba(coverage, fontAtlasSize, fontAtlasSize);
  if (rgba != nullptr) {
    fontAtlasTexture = createTexture(rgba, fontAtlasSize, fontAtlasSize, true);
    std::free(rgba);
  }
  buildGlyphLists();
}
