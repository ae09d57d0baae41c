#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "camera/capture_formats.h"
#include "camera/capture_system.h"

namespace {
// Bytes per pixel of the first plane of the raw formats.
int32_t pixelBytes(uint32_t fourcc) {
  switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY: return 2;
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24: return 3;
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_YUV420: return 1;
    default: return 0;
  }
}

// Full-range BT.601 weights summing to 65536, so grey stays grey; every
// `step`th byte of `out` gets a pixel's luma.
template <int R, int G, int B>
void rgbLumaRow(const uint8_t* in, int32_t width, uint8_t* out, int32_t step) {
  for (int32_t k = 0; k < width; ++k, in += 3) {
    out[size_t(k) * size_t(step)] = uint8_t((19595u * in[R] + 38470u * in[G] + 7471u * in[B] + 32768u) >> 16);
  }
}

template <int R, int G, int B>
void placeRgbLuma(const uint8_t* bytes, size_t pitch, int32_t width, int32_t height,
                  const LayoutTarget& target) {
  const size_t stride = frameLayoutStride(target.width);
  for (int32_t j = 0; j < height; ++j) {
    rgbLumaRow<R, G, B>(bytes + size_t(j) * pitch, width, target.bytes + size_t(j) * stride, 2);
  }
}

// A raw frame of another size than the layout: its luma as a plane of its
// own size, scaled into the layout.
bool placeScaledRawImage(const CameraImage& image, size_t pitch, PictureDecoder& decoder,
                         const LayoutTarget& target) {
  const int32_t width = image.width, height = image.height;
  switch (image.fourcc) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24: break;
    default:  // GREY, NV12, YU12: the first plane is the luma
      return placeScaledLuma(image.bytes, pitch, width, height, decoder, target);
  }
  uint8_t* grey = decoderScratch(decoder, size_t(width) * size_t(height));
  if (!grey) return false;
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* in = image.bytes + size_t(j) * pitch;
    uint8_t* out = grey + size_t(j) * size_t(width);
    switch (image.fourcc) {
      case V4L2_PIX_FMT_RGB24: rgbLumaRow<0, 1, 2>(in, width, out, 1); break;
      case V4L2_PIX_FMT_BGR24: rgbLumaRow<2, 1, 0>(in, width, out, 1); break;
      default:
        in += image.fourcc == V4L2_PIX_FMT_UYVY;
        for (int32_t k = 0; k < width; ++k) out[k] = in[2 * size_t(k)];
    }
  }
  return placeScaledLuma(grey, size_t(width), width, height, decoder, target);
}
}  // namespace

bool isCompressedFormat(uint32_t fourcc) {
  return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG;
}

bool isConvertibleFormat(uint32_t fourcc) { return pixelBytes(fourcc) > 0 || isCompressedFormat(fourcc); }

void fourCodeText(uint32_t fourcc, char text[5]) {
  fourcc &= ~(1u << 31);  // the big-endian marker is not part of the name
  for (int i = 0; i < 4; ++i) {
    const char c = char((fourcc >> (8 * i)) & 0xff);
    text[i] = (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  text[4] = '\0';
  for (int i = 3; i > 0 && text[i] == ' '; --i) text[i] = '\0';
}

size_t minimumFrameBytes(uint32_t fourcc, int32_t width, int32_t height, uint32_t bytesPerLine) {
  const int32_t bpp = pixelBytes(fourcc);
  if (bpp == 0 || width <= 0 || height <= 0) return 0;
  const size_t row = size_t(width) * size_t(bpp);
  const size_t pitch = std::max<size_t>(bytesPerLine, row);
  const size_t luma = pitch * size_t(height - 1) + row;
  const size_t chromaRows = size_t(height + 1) / 2;
  switch (fourcc) {
    case V4L2_PIX_FMT_NV12:  // interleaved CbCr plane, half height
      return pitch * size_t(height) + pitch * (chromaRows - 1) + size_t(width + 1) / 2 * 2;
    case V4L2_PIX_FMT_YUV420:  // two quarter planes
      return pitch * size_t(height) + (pitch / 2) * (2 * chromaRows - 1) + size_t(width + 1) / 2;
    default: return luma;
  }
}

bool placeCameraImage(const CameraImage& image, PictureDecoder& decoder, const LayoutTarget& target) {
  decoder.refusal = "empty";
  if (!image.bytes || image.byteCount == 0 || image.width <= 0 || image.height <= 0) return false;
  if (isCompressedFormat(image.fourcc)) {
    return placeJpegImage(image.bytes, image.byteCount, decoder, target);
  }
  decoder.refusal = "of a format the layer cannot read";
  const int32_t bpp = pixelBytes(image.fourcc);
  if (bpp == 0) return false;
  decoder.refusal = "shorter than a picture";
  if (image.byteCount < minimumFrameBytes(image.fourcc, image.width, image.height, image.bytesPerLine)) {
    return false;
  }
  decoder.refusal = nullptr;
  const size_t pitch = std::max<size_t>(image.bytesPerLine, size_t(image.width) * size_t(bpp));
  if (image.width != target.width || image.height != target.height) {
    return placeScaledRawImage(image, pitch, decoder, target);
  }
  const int32_t cols = image.width, rows = image.height;
  switch (image.fourcc) {
    case V4L2_PIX_FMT_YUYV: placeLumaPlane(image.bytes, pitch, 2, cols, rows, target); return true;
    case V4L2_PIX_FMT_UYVY: placeLumaPlane(image.bytes + 1, pitch, 2, cols, rows, target); return true;
    case V4L2_PIX_FMT_RGB24: placeRgbLuma<0, 1, 2>(image.bytes, pitch, cols, rows, target); return true;
    case V4L2_PIX_FMT_BGR24: placeRgbLuma<2, 1, 0>(image.bytes, pitch, cols, rows, target); return true;
    default:  // GREY, NV12, YU12: the first plane is the luma
      placeLumaPlane(image.bytes, pitch, 1, cols, rows, target);
      return true;
  }
}

std::string fourCodeName(int32_t formatCode) {
  char text[5];
  fourCodeText(uint32_t(formatCode), text);
  return text;
}
