#include "display/texture_table.h"

#include <GL/gl.h>

#include <cstdio>
#include <iterator>

#include "platform/diagnostics.h"

namespace {
TextureTable textureTable = {};
}  // namespace

const TextureTable& textureTableRecord() { return textureTable; }

void clearTextureTable() { textureTable = {}; }

uint32_t createTexture(const uint8_t* pixels, int32_t width, int32_t height, bool hasAlpha) {
  // Start-up makes three textures at most; a fourth past the table's end
  // would be a programming fault, and the table must not overflow for it.
  if (textureTable.count < 0 || textureTable.count >= static_cast<int32_t>(std::size(textureTable.names))) {
    diagnostic("display", "the texture table is full (%d textures); no texture made.",
               static_cast<int>(std::size(textureTable.names)));
    return 0;
  }
  GLuint* name = &textureTable.names[textureTable.count];
  glGenTextures(1, name);
  glBindTexture(GL_TEXTURE_2D, *name);
  ++textureTable.count;
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
  glTexImage2D(GL_TEXTURE_2D, 0, hasAlpha ? 4 : 3, width, height, 0, hasAlpha ? GL_RGBA : GL_RGB,
               GL_UNSIGNED_BYTE, pixels);
  return *name;
}
