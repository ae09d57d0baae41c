#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/test_seams.h"

// The font atlas: 256 x 256 coverage bytes, 16 x 16 cells of 16 x 16.
constexpr uint16_t fontResourceId = 101;
constexpr int32_t fontAtlasSize = 256;
constexpr int32_t glyphListCount = 256;

// Kept in font_atlas.cpp: the atlas texture (0 until it exists) and the first
// of the glyphListCount display lists.
uint32_t fontAtlasTextureName();
uint32_t glyphListBaseName();
// Both back to 0, as at start-up (for a new context).
void clearFontAtlas();

// Where expandCoverageToRgba takes its buffer; nullptr restores malloc.
void setRgbaBufferAllocator(BufferAllocator allocator);

// The bytes of an embedded font resource (a full atlas), or nullptr when
// the program carries no such resource. The bytes are never released.
const uint8_t* loadFontResource(uint16_t resourceId);
// A new buffer of (255, 255, 255, coverage) texels, rows first, which the
// caller frees with free(); nullptr when there is no coverage, the size is
// not positive or the buffer cannot be had.
uint8_t* expandCoverageToRgba(const uint8_t* coverage, int32_t width, int32_t height);
// Compiles list glyphListBase + k: cell k as a 16 x 16 textured quad at the
// origin, then a move of 10 units in x.
void buildGlyphLists();
// Needs the window's context current: atlas texture, then the glyph lists.
void initFontAtlas();
// Deletes the glyphListCount lists from glyphListBase; the context must be current.
void deleteGlyphLists();
