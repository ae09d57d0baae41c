// Renders the program's bitmap font: a 256 x 256 image of 8-bit coverage,
// 16 x 16 cells of 16 x 16 pixels. Cells 0-127 hold the upright face
// (DejaVu Sans), cells 128-255 the same characters in the slanted face
// (DejaVu Serif Italic). Within a face, cell k holds byte code k + 32:
// ASCII 32-126, an empty cell for 127, then code page 850's 128-159.
//
// Every glyph stands on y = 12 (the lowest ink row of a capital is row 11)
// and keeps its ink within columns 1-13. Capitals start at row 2 (upright)
// or row 4 (slanted), lower case at row 5 or row 6; descenders end by row 15
// or row 14. The tool checks all of this and refuses to write an atlas that
// breaks it.
//
// Usage: make_font_atlas OUT.bin OUT.pgm [UPRIGHT.ttf SLANTED.ttf]

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_BITMAP_H
#include FT_OUTLINE_H

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/diagnostics.h"

namespace {

constexpr int atlasSize = 256;
constexpr int cellSize = 16;
constexpr int baselineY = 12;
constexpr int firstInkColumn = 1;
constexpr int lastInkColumn = 13;
// Cell centre of the ink: glyphs are laid out 10 units apart.
constexpr double inkCentreX = 5.5;

constexpr const char* defaultUpright = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
constexpr const char* defaultSlanted = "/usr/share/fonts/truetype/dejavu/DejaVuSerif-Italic.ttf";

// Code page 850, bytes 128-159.
constexpr std::array<uint32_t, 32> cp850High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8,
    0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2,
    0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192};

struct FaceTarget {
  const char* name;
  int capitalTopRow;
  int lowerTopRow;
  int lowestRow;  // deepest row a descender may reach
};

constexpr FaceTarget uprightTarget = {"upright", 2, 5, 15};
constexpr FaceTarget slantedTarget = {"slanted", 4, 6, 14};

constexpr const char* capitals = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr const char* shortLower = "acemnorsuvwxz";
constexpr const char* descending = "gjpqy";

// How one face's outlines (font units) map onto cell pixels. Hinting at
// this size cannot give the wanted x-height to cap-height ratio, so the
// tool fits the outlines itself: heights are mapped piecewise so the
// baseline, x-height and cap height land exactly on pixel edges, small
// overshoots of round letters are flattened onto them, and the rest scales
// with the cap height.
struct FaceFit {
  const FaceTarget* target;
  double capUnits = 0, xUnits = 0, overshootUnits = 0;
  double scale = 0;         // pixels per unit, horizontally and above the cap height
  double descentScale = 0;  // pixels per unit below the baseline
};

// Character of cell k (0-127) of a face, 0 for an empty cell.
uint32_t characterOfCell(int cell) {
  int code = cell + 32;
  if (code == 32 || code == 127) return 0;
  if (code < 127) return static_cast<uint32_t>(code);
  return cp850High[static_cast<size_t>(code - 128)];
}

bool loadOutline(FT_Face face, uint32_t character) {
  FT_UInt index = FT_Get_Char_Index(face, character);
  if (index == 0) {
    diagnostic("make_font_atlas", "U+%04X missing from %s %s", character, face->family_name,
               face->style_name);
    return false;
  }
  return FT_Load_Glyph(face, index, FT_LOAD_NO_SCALE) == 0 && face->glyph->format == FT_GLYPH_FORMAT_OUTLINE;
}

bool outlineBox(FT_Face face, uint32_t character, FT_BBox& box) {
  if (!loadOutline(face, character)) return false;
  FT_Outline_Get_CBox(&face->glyph->outline, &box);
  return true;
}

bool measureFace(FT_Face face, const FaceTarget& target, FaceFit& fit) {
  FT_BBox h, x, p;
  if (!outlineBox(face, 'H', h) || !outlineBox(face, 'x', x) || !outlineBox(face, 'p', p)) return false;
  fit.target = &target;
  fit.capUnits = static_cast<double>(h.yMax);
  fit.xUnits = static_cast<double>(x.yMax);
  fit.overshootUnits = 0.05 * fit.xUnits;
  fit.scale = (baselineY - target.capitalTopRow) / fit.capUnits;
  fit.descentScale = (target.lowestRow - baselineY + 1) / static_cast<double>(-p.yMin);
  std::printf("%s face: %s %s, cap height %.0f, x-height %.0f units, %.2f px per em\n", target.name,
              face->family_name, face->style_name, fit.capUnits, fit.xUnits, fit.scale * face->units_per_EM);
  return true;
}

// Height above the baseline in pixels of a height in font units.
double mapHeight(const FaceFit& fit, double y, double aboveScale, double belowScale) {
  const double capPx = baselineY - fit.target->capitalTopRow;
  const double xPx = baselineY - fit.target->lowerTopRow;
  if (y > fit.xUnits && y <= fit.xUnits + fit.overshootUnits) y = fit.xUnits;
  if (y > fit.capUnits && y <= fit.capUnits + fit.overshootUnits) y = fit.capUnits;
  if (y < 0 && y >= -fit.overshootUnits) y = 0;
  if (y <= 0) return y * belowScale;
  if (y <= fit.xUnits) return y * xPx / fit.xUnits;
  if (y <= fit.capUnits) return xPx + (y - fit.xUnits) * (capPx - xPx) / (fit.capUnits - fit.xUnits);
  return capPx + (y - fit.capUnits) * aboveScale;
}

// Renders one character into a 16 x 16 cell buffer (rows top first).
bool renderCell(FT_Library library, FT_Face face, const FaceFit& fit, uint32_t character, uint8_t* cell) {
  if (!loadOutline(face, character)) return false;
  FT_Outline& outline = face->glyph->outline;
  std::vector<FT_Vector> units(outline.points, outline.points + outline.n_points);
  FT_BBox box;
  FT_Outline_Get_CBox(&outline, &box);

  // Squeeze what would leave the cell: accents above row 0, tails below the
  // lowest row, glyphs wider than the ink columns.
  const double roomAbove = fit.target->capitalTopRow;  // rows above the capitals
  const double roomBelow = fit.target->lowestRow - baselineY + 1;
  double aboveScale = fit.scale, belowScale = fit.descentScale, widthScale = fit.scale;
  const double top = static_cast<double>(box.yMax), bottom = static_cast<double>(box.yMin);
  if (top > fit.capUnits + fit.overshootUnits)
    aboveScale = std::min(aboveScale, roomAbove / (top - fit.capUnits));
  if (bottom < -fit.overshootUnits) belowScale = std::min(belowScale, roomBelow / -bottom);
  const double inkColumns = lastInkColumn - firstInkColumn + 1;
  double width = static_cast<double>(box.xMax - box.xMin) * widthScale;
  if (width > inkColumns) {
    widthScale *= inkColumns / width;
    width = inkColumns;
  }
  double left = std::round(inkCentreX + 0.5 - width / 2.0);
  left = std::clamp(left, static_cast<double>(firstInkColumn), std::floor(lastInkColumn + 1 - width));

  const double baselineFromBottom = cellSize - baselineY;
  for (size_t i = 0; i < units.size(); ++i) {
    double x = left + static_cast<double>(units[i].x - box.xMin) * widthScale;
    double y = baselineFromBottom + mapHeight(fit, static_cast<double>(units[i].y), aboveScale, belowScale);
    outline.points[i].x = static_cast<FT_Pos>(std::lround(x * 64.0));
    outline.points[i].y = static_cast<FT_Pos>(std::lround(y * 64.0));
  }
  FT_Bitmap target;
  FT_Bitmap_Init(&target);
  target.rows = cellSize;
  target.width = cellSize;
  target.pitch = cellSize;
  target.buffer = cell;
  target.num_grays = 256;
  target.pixel_mode = FT_PIXEL_MODE_GRAY;
  std::memset(cell, 0, cellSize * cellSize);
  return FT_Outline_Get_Bitmap(library, &outline, &target) == 0;
}

bool renderFace(FT_Library library, FT_Face face, const FaceTarget& target, int firstCell,
                std::vector<uint8_t>& atlas) {
  FaceFit fit;
  if (!measureFace(face, target, fit)) return false;
  uint8_t cell[cellSize * cellSize];
  for (int k = 0; k < 128; ++k) {
    uint32_t character = characterOfCell(k);
    if (character == 0) continue;
    if (!renderCell(library, face, fit, character, cell)) return false;
    int originX = ((firstCell + k) % 16) * cellSize, originY = ((firstCell + k) / 16) * cellSize;
    for (int r = 0; r < cellSize; ++r)
      std::memcpy(&atlas[static_cast<size_t>((originY + r) * atlasSize + originX)], &cell[r * cellSize],
                  cellSize);
  }
  return true;
}

// Ink box of one cell in cell coordinates; false when the cell is empty.
bool cellInkBox(const std::vector<uint8_t>& atlas, int cell, int& top, int& bottom, int& left, int& right) {
  top = left = cellSize;
  bottom = right = -1;
  for (int r = 0; r < cellSize; ++r)
    for (int c = 0; c < cellSize; ++c)
      if (atlas[static_cast<size_t>(((cell / 16) * cellSize + r) * atlasSize + (cell % 16) * cellSize + c)]) {
        top = std::min(top, r), bottom = std::max(bottom, r);
        left = std::min(left, c), right = std::max(right, c);
      }
  return bottom >= 0;
}

bool verifyFace(const std::vector<uint8_t>& atlas, const FaceTarget& target, int firstCell) {
  bool ok = true;
  auto complain = [&](int cell, const char* what) {
    diagnostic("make_font_atlas", "%s cell %d: %s", target.name, cell, what);
    ok = false;
  };
  for (int k = 0; k < 128; ++k) {
    int cell = firstCell + k, top, bottom, left, right;
    bool inked = cellInkBox(atlas, cell, top, bottom, left, right);
    if (inked != (characterOfCell(k) != 0)) complain(cell, "ink does not match the character");
    if (!inked) continue;
    if (left < firstInkColumn || right > lastInkColumn) complain(cell, "ink outside the columns");
    if (bottom > target.lowestRow) complain(cell, "ink below the lowest row");
  }
  auto cellOf = [&](char c) { return firstCell + c - 32; };
  for (const char* p = capitals; *p; ++p) {
    int top, bottom, left, right;
    cellInkBox(atlas, cellOf(*p), top, bottom, left, right);
    if (top != target.capitalTopRow) complain(cellOf(*p), "capital does not start on its row");
    if (bottom < baselineY - 1) complain(cellOf(*p), "capital does not reach the baseline");
  }
  for (const char* p = shortLower; *p; ++p) {
    int top, bottom, left, right;
    cellInkBox(atlas, cellOf(*p), top, bottom, left, right);
    if (top != target.lowerTopRow) complain(cellOf(*p), "lower case does not start on its row");
    if (bottom != baselineY - 1) complain(cellOf(*p), "lower case does not stand on the baseline");
  }
  for (const char* p = descending; *p; ++p) {
    int top, bottom, left, right;
    cellInkBox(atlas, cellOf(*p), top, bottom, left, right);
    if (bottom < baselineY) complain(cellOf(*p), "descender does not pass the baseline");
  }
  return ok;
}

bool writeFile(const char* path, const char* header, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path, "wb");
  if (!f) {
    diagnostic("make_font_atlas", "cannot write %s: %s", path, std::strerror(errno));
    return false;
  }
  bool ok = std::fputs(header, f) >= 0 && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) diagnostic("make_font_atlas", "could not write %s", path);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::fprintf(stderr, "usage: %s OUT.bin OUT.pgm [UPRIGHT.ttf SLANTED.ttf]\n", argv[0]);
    return 2;
  }
  const char* uprightPath = argc == 5 ? argv[3] : defaultUpright;
  const char* slantedPath = argc == 5 ? argv[4] : defaultSlanted;

  FT_Library library;
  if (FT_Init_FreeType(&library) != 0) {
    diagnostic("make_font_atlas", "FreeType did not start");
    return 1;
  }
  FT_Face upright = nullptr, slanted = nullptr;
  if (FT_New_Face(library, uprightPath, 0, &upright) != 0) {
    diagnostic("make_font_atlas", "cannot open %s", uprightPath);
    return 1;
  }
  if (FT_New_Face(library, slantedPath, 0, &slanted) != 0) {
    diagnostic("make_font_atlas", "cannot open %s", slantedPath);
    return 1;
  }

  std::vector<uint8_t> atlas(atlasSize * atlasSize, 0);
  bool ok = renderFace(library, upright, uprightTarget, 0, atlas) &&
            renderFace(library, slanted, slantedTarget, 128, atlas);
  ok = ok && verifyFace(atlas, uprightTarget, 0) && verifyFace(atlas, slantedTarget, 128);
  FT_Done_Face(upright);
  FT_Done_Face(slanted);
  FT_Done_FreeType(library);
  if (!ok) return 1;

  bool used[256] = {};
  int levels = 0;
  for (uint8_t v : atlas) levels += used[v] ? 0 : (used[v] = true, 1);
  std::printf("%d coverage levels\n", levels);
  if (!writeFile(argv[1], "", atlas)) return 1;
  if (!writeFile(argv[2], "P5\n256 256\n255\n", atlas)) return 1;
  std::printf("wrote %s and %s\n", argv[1], argv[2]);
  return 0;
}
