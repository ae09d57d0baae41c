#pragma once
// Conversion of camera frames into the analysis layout: the luma of pixel
// (j, k) at byte j * (2W + 640) + 2k of the layout buffer, where W x H is the
// layout's size. A frame of another size is scaled to the layout's, so the
// analysis always sees the whole picture at the size it was set up for.
#include <cstddef>
#include <cstdint>

#include "camera/capture_picture_decoder.h"
#include "camera/frame_layout.h"

// One raw camera frame as the device delivered it.
struct CameraImage {
  const uint8_t* bytes;
  size_t byteCount;
  uint32_t fourcc;
  int32_t width;
  int32_t height;
  uint32_t bytesPerLine;  // of the first plane; 0 = tightly packed
};

constexpr uint32_t fourCode(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
         uint32_t(uint8_t(d)) << 24;
}

bool isConvertibleFormat(uint32_t fourcc);
bool isCompressedFormat(uint32_t fourcc);
// The FourCC as text without trailing blanks, NUL-terminated (5 bytes).
void fourCodeText(uint32_t fourcc, char text[5]);
// Smallest number of bytes a whole raw frame occupies (0 for compressed).
size_t minimumFrameBytes(uint32_t fourcc, int32_t width, int32_t height, uint32_t bytesPerLine);

// Places one camera frame. False (with decoder.refusal saying why) when the
// frame is short, truncated, damaged or of an unknown format; the layout may
// then hold part of it.
bool placeCameraImage(const CameraImage& image, PictureDecoder& decoder, const LayoutTarget& target);
