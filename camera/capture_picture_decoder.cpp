extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <cstdlib>
#include <cstring>

#include "camera/capture_picture_decoder.h"

namespace {
constexpr const char* notConvertible = "not convertible to grey (out of memory?)";

// Grows a buffer of the decoder; false when memory is short.
bool reserve(uint8_t*& buffer, size_t& capacity, size_t bytes) {
  if (capacity >= bytes) return true;
  auto* grown = static_cast<uint8_t*>(std::realloc(buffer, bytes));
  if (!grown) return false;
  buffer = grown;
  capacity = bytes;
  return true;
}

// Whether the first plane of the format holds 8-bit luma that can be read
// directly, and with which step and offset.
bool directLuma(int format, int32_t& step, int32_t& offset) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(format));
  if (!d || d->nb_components < 1) return false;
  if (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_BITSTREAM |
                  AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_FLOAT)) {
    return false;
  }
  const AVComponentDescriptor& c = d->comp[0];
  if (c.plane != 0 || c.depth != 8 || c.shift != 0) return false;
  step = c.step;
  offset = c.offset;
  return true;
}

// Converts (and scales) planes through swscale into grey of the layout's
// size, and places that.
bool placeThroughScaler(const uint8_t* const planes[], const int pitches[], AVPixelFormat format,
                        int32_t width, int32_t height, PictureDecoder& decoder, const LayoutTarget& target) {
  const bool sameSize = width == target.width && height == target.height;
  decoder.scaler =
      sws_getCachedContext(decoder.scaler, width, height, format, target.width, target.height,
                           AV_PIX_FMT_GRAY8, sameSize ? SWS_POINT : SWS_BILINEAR, nullptr, nullptr, nullptr);
  const size_t greyBytes = size_t(target.width) * size_t(target.height);
  if (!decoder.scaler || !reserve(decoder.resized, decoder.resizedBytes, greyBytes)) {
    decoder.refusal = notConvertible;
    return false;
  }
  uint8_t* out[4] = {decoder.resized, nullptr, nullptr, nullptr};
  const int outPitches[4] = {target.width, 0, 0, 0};
  if (sws_scale(decoder.scaler, planes, pitches, 0, height, out, outPitches) != target.height) {
    decoder.refusal = notConvertible;
    return false;
  }
  placeLumaPlane(decoder.resized, size_t(target.width), 1, target.width, target.height, target);
  return true;
}

constexpr uint8_t markerStart = 0xff;
constexpr uint8_t startOfImage = 0xd8;
constexpr uint8_t endOfImage = 0xd9;
constexpr uint8_t startOfScan = 0xda;

constexpr const char* truncated = "a truncated JPEG";

// Finds the JPEG image in a camera buffer by walking its markers: segments
// by their lengths, entropy-coded data up to the next marker that is neither
// a stuffed zero nor a restart. Null when found, else why not. A buffer that
// ends in a scan's data may hold a whole picture without its end marker
// (`ended` false): only decoding it tells.
const char* locateJpeg(const uint8_t* bytes, size_t count, size_t& start, size_t& length, bool& ended) {
  const uint8_t* end = bytes + count;
  const uint8_t* at = bytes;
  for (;;) {  // the first SOI that a marker follows
    at = static_cast<const uint8_t*>(std::memchr(at, markerStart, size_t(end - at)));
    if (!at || end - at < 3) return "no JPEG image";
    if (at[1] == startOfImage && at[2] == markerStart) break;
    ++at;
  }
  start = size_t(at - bytes);
  at += 2;
  ended = true;
  for (;;) {
    if (at >= end || *at != markerStart) return truncated;
    while (at < end && *at == markerStart) ++at;  // fill bytes
    if (at >= end) return truncated;
    const uint8_t marker = *at++;
    if (marker == endOfImage) break;
    if (marker == startOfImage) return truncated;                        // a frame cut short, then another
    if ((marker >= 0xd0 && marker <= 0xd7) || marker == 0x01) continue;  // no length
    if (end - at < 2) return truncated;
    const size_t segment = size_t(at[0]) << 8 | at[1];
    if (segment < 2 || size_t(end - at) < segment) return truncated;
    at += segment;
    if (marker != startOfScan) continue;
    for (;;) {  // entropy-coded data
      at = static_cast<const uint8_t*>(std::memchr(at, markerStart, size_t(end - at)));
      const uint8_t* next = at ? at + 1 : end;
      while (next < end && *next == markerStart) ++next;
      if (next >= end) {  // the buffer ends in the scan
        ended = false;
        length = count - start;
        return nullptr;
      }
      if (*next != 0 && (*next < 0xd0 || *next > 0xd7)) break;
      at = next + 1;
    }
  }
  length = size_t(at - bytes) - start;
  return nullptr;
}
}  // namespace

uint8_t* decoderScratch(PictureDecoder& decoder, size_t bytes) {
  return reserve(decoder.scratch, decoder.scratchBytes, bytes) ? decoder.scratch : nullptr;
}

void quietFfmpegLog() {
  // Webcam MJPEG is often slightly malformed and FFmpeg would complain about
  // every such frame for weeks; the layer reports what really fails.
  av_log_set_level(AV_LOG_QUIET);
}

bool openJpegDecoder(PictureDecoder& decoder) {
  quietFfmpegLog();
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
  if (!codec) return false;
  decoder.context = avcodec_alloc_context3(codec);
  decoder.frame = av_frame_alloc();
  decoder.packet = av_packet_alloc();
  if (!decoder.context || !decoder.frame || !decoder.packet) {
    closePictureDecoder(decoder);
    return false;
  }
  decoder.context->thread_count = 1;  // no frame delay, one core
  // Without AV_EF_EXPLODE the MJPEG decoder ends a scan at its first bad
  // block and still returns the picture, the rest of it whatever the frame
  // buffer held: false motion. With it the frame fails. (It neither sets
  // decode_error_flags nor marks frames corrupt; the other AV_EF_ flags and
  // AV_CODEC_FLAG_OUTPUT_CORRUPT do not change what it does.)
  decoder.context->err_recognition = AV_EF_EXPLODE;
  if (avcodec_open2(decoder.context, codec, nullptr) < 0) {
    closePictureDecoder(decoder);
    return false;
  }
  return true;
}

void closePictureDecoder(PictureDecoder& decoder) {
  avcodec_free_context(&decoder.context);
  av_frame_free(&decoder.frame);
  av_packet_free(&decoder.packet);
  sws_freeContext(decoder.scaler);
  decoder.scaler = nullptr;
  std::free(decoder.scratch);
  decoder.scratch = nullptr;
  decoder.scratchBytes = 0;
  std::free(decoder.resized);
  decoder.resized = nullptr;
  decoder.resizedBytes = 0;
}

bool placeScaledLuma(const uint8_t* plane, size_t pitch, int32_t width, int32_t height,
                     PictureDecoder& decoder, const LayoutTarget& target) {
  const uint8_t* planes[4] = {plane, nullptr, nullptr, nullptr};
  const int pitches[4] = {int(pitch), 0, 0, 0};
  return placeThroughScaler(planes, pitches, AV_PIX_FMT_GRAY8, width, height, decoder, target);
}

bool placeDecodedPicture(const AVFrame* picture, PictureDecoder& decoder, const LayoutTarget& target) {
  decoder.refusal = "an empty picture";
  if (picture->width <= 0 || picture->height <= 0 || !picture->data[0]) return false;
  decoder.refusal = nullptr;
  int32_t step = 1, offset = 0;
  const bool direct = directLuma(picture->format, step, offset) && picture->linesize[0] > 0;
  if (direct && picture->width == target.width && picture->height == target.height) {
    placeLumaPlane(picture->data[0] + offset, size_t(picture->linesize[0]), step, picture->width,
                   picture->height, target);
    return true;
  }
  if (direct && step == 1) {
    return placeScaledLuma(picture->data[0] + offset, size_t(picture->linesize[0]), picture->width,
                           picture->height, decoder, target);
  }
  return placeThroughScaler(picture->data, picture->linesize, AVPixelFormat(picture->format), picture->width,
                            picture->height, decoder, target);
}

bool findJpegImage(const uint8_t* bytes, size_t count, size_t& start, size_t& length) {
  bool ended = false;
  return locateJpeg(bytes, count, start, length, ended) == nullptr && ended;
}

bool placeJpegImage(const uint8_t* bytes, size_t byteCount, PictureDecoder& decoder,
                    const LayoutTarget& target) {
  decoder.refusal = "not decodable: FFmpeg has no MJPEG decoder";
  if (!decoder.context) return false;
  size_t start = 0, length = 0;
  bool ended = false;
  decoder.refusal = byteCount > (1u << 30) ? "too large" : locateJpeg(bytes, byteCount, start, length, ended);
  if (decoder.refusal) return false;
  // The decoder may read a little past the data: hand it a padded copy.
  decoder.refusal = notConvertible;
  if (!decoderScratch(decoder, length + AV_INPUT_BUFFER_PADDING_SIZE)) return false;
  std::memcpy(decoder.scratch, bytes + start, length);
  std::memset(decoder.scratch + length, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  AVPacket* packet = decoder.packet;
  packet->data = decoder.scratch;
  packet->size = int(length);
  const int sent = avcodec_send_packet(decoder.context, packet);
  packet->data = nullptr;
  packet->size = 0;
  // Without its end marker a picture counts only when its scan decodes to
  // the last block: the decoder, told to explode, fails one it overreads.
  decoder.refusal = ended ? "a damaged JPEG" : truncated;
  if (sent < 0 || avcodec_receive_frame(decoder.context, decoder.frame) < 0) return false;
  AVFrame* picture = decoder.frame;
  const bool damaged = picture->decode_error_flags != 0 || (picture->flags & AV_FRAME_FLAG_CORRUPT);
  const bool placed = !damaged && placeDecodedPicture(picture, decoder, target);
  av_frame_unref(picture);
  return placed;
}
