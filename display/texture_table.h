#pragma once
#include <cstdint>

// Every texture made at start-up, in creation order.
struct TextureTable {
  uint32_t names[8];
  int32_t count;
};

// The table, kept in texture_table.cpp.
const TextureTable& textureTableRecord();
// Forgets every texture made: empty, as at start-up (for a new context).
void clearTextureTable();

// Linear filtering, repeat wrap, one level; RGBA bytes when hasAlpha, else RGB.
// The texture stays bound. The caller keeps the pixels.
uint32_t createTexture(const uint8_t* pixels, int32_t width, int32_t height, bool hasAlpha);
