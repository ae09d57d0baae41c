#pragma once
// Conversion of camera frames into the analysis layout: the luma of pixel
// (j, k) at byte j * (2W + 640) + 2k of the layout buffer, where W x H is the
// layout's size. A frame of another size is scaled to the layout's, so the
// analysis always sees the whole picture at the size it was set up for.
#include <cstddef>
#include <cstdint>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

// One raw camera frame as the device delivered it.
struct CameraImage {
  const uint8_t* bytes;
  size_t byteCount;
  uint32_t fourcc;
  int32_t width;
  int32_t height;
  uint32_t bytesPerLine;  // of the first plane; 0 = tightly packed
};

// Where the layout of a W x H mode lives.
struct LayoutTarget {
  uint8_t* bytes;
  int32_t width;
  int32_t height;
};

// FFmpeg state for frames that need decoding (MJPEG) or a pixel-format
// conversion; made once per capture, reused for every frame.
struct PictureDecoder {
  AVCodecContext* context;
  AVFrame* frame;
  AVPacket* packet;
  SwsContext* scaler;
  uint8_t* scratch;  // padded copy of the compressed frame, or grey pixels
  size_t scratchBytes;
  uint8_t* resized;  // grey pixels at the layout's size
  size_t resizedBytes;
  const char* refusal;  // why the last frame was not placed, for diagnostics
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

// Copies a plane of bytes (sample k of row j at j * pitch + k * step) into
// the layout's luma positions.
void placeLumaPlane(const uint8_t* plane, size_t pitch, int32_t step, int32_t width, int32_t height,
                    const LayoutTarget& target);

// Scales a plane of grey bytes (row j at j * pitch) to the layout's size and
// places it.
bool placeScaledLuma(const uint8_t* plane, size_t pitch, int32_t width, int32_t height,
                     PictureDecoder& decoder, const LayoutTarget& target);

// Places the luma of a decoded FFmpeg picture, converting and scaling
// through swscale when its first plane is not 8-bit luma of the layout's size.
bool placeDecodedPicture(const AVFrame* picture, PictureDecoder& decoder, const LayoutTarget& target);

// Where the one JPEG image of a camera buffer lies: from its start-of-image
// marker to its end-of-image marker, past any bytes before the one or after
// the other. False when there is no start, or no end (a truncated frame).
bool findJpegImage(const uint8_t* bytes, size_t count, size_t& start, size_t& length);

// Decodes one MJPEG frame and places its luma. False for a frame that is
// truncated, or damaged in a way the decoder notices (it is asked to fail
// rather than conceal).
bool placeJpegImage(const CameraImage& image, PictureDecoder& decoder, const LayoutTarget& target);

// The decoder's scratch buffer grown to at least `bytes`; nullptr when memory
// is short.
uint8_t* decoderScratch(PictureDecoder& decoder, size_t bytes);

// Keeps FFmpeg's own messages to fatal ones.
void quietFfmpegLog();

// Opens an MJPEG decoder (one thread) that reports damage instead of
// concealing it. False when FFmpeg has none.
bool openJpegDecoder(PictureDecoder& decoder);
void closePictureDecoder(PictureDecoder& decoder);
