#pragma once
// Pictures that need FFmpeg on their way into the analysis layout: MJPEG
// frames to decode, and pictures of another size or pixel format to convert
// and scale to the layout's.
#include <cstddef>
#include <cstdint>

#include "camera/frame_layout.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

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

// Decodes the MJPEG frame in a camera buffer and places its luma. False for
// a frame that is truncated, or damaged in a way the decoder notices (it is
// asked to fail rather than conceal). A frame without its end marker is
// taken when its scan decodes whole.
bool placeJpegImage(const uint8_t* bytes, size_t byteCount, PictureDecoder& decoder,
                    const LayoutTarget& target);

// The decoder's scratch buffer grown to at least `bytes`; nullptr when memory
// is short.
uint8_t* decoderScratch(PictureDecoder& decoder, size_t bytes);

// Keeps FFmpeg's own messages to fatal ones.
void quietFfmpegLog();

// Opens an MJPEG decoder (one thread) that reports damage instead of
// concealing it. False when FFmpeg has none.
bool openJpegDecoder(PictureDecoder& decoder);
void closePictureDecoder(PictureDecoder& decoder);
