// The embedded font atlas: 256 x 256 coverage bytes in 16 x 16 cells, the
// upright face in cells 0-127 and the slanted one in 128-255. Glyphs stand
// on y = 12: the lowest ink row of a capital is row 11.
#include "display/font_atlas.h"
#include "resources/embedded_resources.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct InkBox {
  bool inked = false;
  int top = 16, bottom = -1, left = 16, right = -1;
  int width() const { return right - left + 1; }
};

const uint8_t* atlas() {
  const EmbeddedResource* resource = findEmbeddedResource(fontResourceId);
  return resource != nullptr && resource->size == 65536 ? resource->bytes : nullptr;
}

uint8_t pixel(int cell, int row, int column) {
  return atlas()[((cell / 16) * 16 + row) * 256 + (cell % 16) * 16 + column];
}

InkBox inkOf(int cell) {
  InkBox box;
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c)
      if (pixel(cell, r, c) != 0) {
        box.inked = true;
        box.top = std::min(box.top, r);
        box.bottom = std::max(box.bottom, r);
        box.left = std::min(box.left, c);
        box.right = std::max(box.right, c);
      }
  return box;
}

// Cell of a character in a face (first cell 0 or 128).
int cellOf(int face, char c) { return face + c - 32; }
int cellOfCode(int face, int code) { return face + code - 32; }

struct FaceMetrics {
  const char* name;
  int first;
  int capitalTop;
  int lowerTop;
  int lowestRow;
};

const FaceMetrics faces[] = {{"upright", 0, 2, 5, 15}, {"slanted", 128, 4, 6, 14}};

class AtlasAsset : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(atlas(), nullptr) << "resource 101 must hold 65 536 bytes"; }
};

}  // namespace

TEST_F(AtlasAsset, OnlyTheSpaceAndDeleteCellsAreEmpty) {
  for (int cell = 0; cell < 256; ++cell) {
    const int code = cell % 128 + 32;
    const bool empty = code == 32 || code == 127;
    EXPECT_EQ(inkOf(cell).inked, !empty) << "cell " << cell;
  }
}

TEST_F(AtlasAsset, InkStaysWithinColumnsOneToThirteen) {
  for (int cell = 0; cell < 256; ++cell) {
    InkBox box = inkOf(cell);
    if (!box.inked) continue;
    EXPECT_GE(box.left, 1) << "cell " << cell;
    EXPECT_LE(box.right, 13) << "cell " << cell;
  }
}

TEST_F(AtlasAsset, CapitalsAndLowerCaseStartOnTheirRowsAndStandOnTheBaseline) {
  for (const FaceMetrics& face : faces) {
    SCOPED_TRACE(face.name);
    for (char c = 'A'; c <= 'Z'; ++c) {
      InkBox box = inkOf(cellOf(face.first, c));
      EXPECT_EQ(box.top, face.capitalTop) << c;
      if (c != 'J' && c != 'Q') {
        EXPECT_EQ(box.bottom, 11) << c;
      }
    }
    for (char c : std::string("acemnorsuvwxz")) {
      InkBox box = inkOf(cellOf(face.first, c));
      EXPECT_EQ(box.top, face.lowerTop) << c;
      EXPECT_EQ(box.bottom, 11) << c;
    }
    for (char c : std::string("gpqy")) {
      InkBox box = inkOf(cellOf(face.first, c));
      EXPECT_EQ(box.top, face.lowerTop) << c;
      EXPECT_EQ(box.bottom, face.lowestRow) << c << " descends to the lowest row";
    }
    // Nothing in the face goes below its lowest row.
    for (int cell = face.first; cell < face.first + 128; ++cell)
      EXPECT_LE(inkOf(cell).bottom, face.lowestRow) << "cell " << cell;
  }
}

TEST_F(AtlasAsset, MostLettersAreSevenToNinePixelsWide) {
  for (const FaceMetrics& face : faces) {
    int usual = 0, letters = 0;
    for (char c : std::string("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) {
      int width = inkOf(cellOf(face.first, c)).width();
      usual += width >= 7 && width <= 9;
      ++letters;
    }
    EXPECT_GT(usual * 2, letters) << face.name;
  }
}

TEST_F(AtlasAsset, CodePageCellsCarryTheirMarks) {
  for (const FaceMetrics& face : faces) {
    SCOPED_TRACE(face.name);
    // C with cedilla (128) hangs below the baseline where C does not.
    EXPECT_EQ(inkOf(cellOf(face.first, 'C')).bottom, 11);
    EXPECT_GT(inkOf(cellOfCode(face.first, 128)).bottom, 11);
    EXPECT_GT(inkOf(cellOfCode(face.first, 135)).bottom, 11);  // c cedilla
    // u and e with marks (129, 130) have ink above the x-height.
    EXPECT_LT(inkOf(cellOfCode(face.first, 129)).top, face.lowerTop);
    EXPECT_LT(inkOf(cellOfCode(face.first, 130)).top, face.lowerTop);
    // Capitals with marks (142, 144, 153) reach above the capitals.
    for (int code : {142, 143, 144, 153, 154})
      EXPECT_LT(inkOf(cellOfCode(face.first, code)).top, face.capitalTop) << code;
    // The f with hook (159) descends.
    EXPECT_GT(inkOf(cellOfCode(face.first, 159)).bottom, 11);
    // The multiplication sign (158) is a small mark between the lines.
    InkBox times = inkOf(cellOfCode(face.first, 158));
    EXPECT_GE(times.top, face.capitalTop);
    EXPECT_LE(times.bottom, 11);
  }
}

TEST_F(AtlasAsset, FacesDifferAndEdgesAreAntiAliased) {
  int differing = 0;
  for (int cell = 1; cell < 128; ++cell) {
    bool same = true;
    for (int r = 0; r < 16 && same; ++r)
      for (int c = 0; c < 16 && same; ++c) same = pixel(cell, r, c) == pixel(cell + 128, r, c);
    differing += !same;
  }
  EXPECT_GT(differing, 100);
  std::set<uint8_t> levels(atlas(), atlas() + 65536);
  EXPECT_TRUE(levels.count(0) && levels.count(255));
  EXPECT_GT(levels.size(), 10u) << "edges between empty and full";
}
