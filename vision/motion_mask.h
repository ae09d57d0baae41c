#pragma once
// The part of the picture the analysis watches: a grey picture of any size
// (a PNG or PGM file), black where the room is ignored (a window on a street,
// a screen, a door), white where it is watched. It is scaled to each mode's
// analysis size when the mode's buffers are made.
#include <cstdint>
#include <string>
#include <vector>

struct MaskPicture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> brightness;  // row by row, row 0 at the top
};

// Reads the picture of a PNG or PGM file (anything FFmpeg decodes as a
// picture, through the camera layer's own conversion). False with a reason
// when it cannot be read, or when it watches nothing.
bool readMaskPicture(const std::string& path, MaskPicture& picture, std::string& reason);

// The mask for the modes made from now on; an empty picture: none. Set it
// before the capture starts.
void setMotionMask(const MaskPicture& picture);
bool motionMaskSet();

// The mask at a mode's size, the sample nearest each one's centre: 0xFF where watched (at least
// half bright), 0 where ignored; `watched` counts the former. Null when no
// mask is set or there is no memory (then `watched` is 0). The caller frees it.
uint8_t* scaledMotionMask(int32_t width, int32_t height, int64_t& watched);
