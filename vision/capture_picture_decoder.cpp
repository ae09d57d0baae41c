extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <cstdlib>
#include <cstring>

#include "vision/capture_formats.h"

namespace {
// Grows the decoder's scratch buffer; false when memory is short.
bool reserveScratch(PictureDecoder& decoder, size_t bytes) {
  if (decoder.scratchBytes >= bytes) return true;
  auto* grown = static_cast<uint8_t*>(std::realloc(decoder.scratch, bytes));
  if (!grown) return false;
  decoder.scratch = grown;
  decoder.scratchBytes = bytes;
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

// A whole JPEG starts with SOI and ends with EOI; cameras may pad the buffer
// with zeros after it. Frames cut short lack the EOI.
bool looksComplete(const uint8_t* bytes, size_t count) {
  if (count < 4 || bytes[0] != 0xff || bytes[1] != 0xd8) return false;
  while (count > 2 && bytes[count - 1] == 0) --count;
  return bytes[count - 2] == 0xff && bytes[count - 1] == 0xd9;
}
}  // namespace

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
}

bool placeDecodedPicture(const AVFrame* picture, PictureDecoder& decoder, const LayoutTarget& target) {
  if (picture->width <= 0 || picture->height <= 0 || !picture->data[0]) return false;
  int32_t step = 1, offset = 0;
  if (directLuma(picture->format, step, offset)) {
    placeLumaPlane(picture->data[0] + offset, size_t(picture->linesize[0]), step, picture->width,
                   picture->height, target);
    return true;
  }
  decoder.scaler = sws_getCachedContext(decoder.scaler, picture->width, picture->height,
                                        AVPixelFormat(picture->format), picture->width, picture->height,
                                        AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr);
  const size_t greyBytes = size_t(picture->width) * size_t(picture->height);
  if (!decoder.scaler || !reserveScratch(decoder, greyBytes)) return false;
  uint8_t* planes[4] = {decoder.scratch, nullptr, nullptr, nullptr};
  int pitches[4] = {picture->width, 0, 0, 0};
  if (sws_scale(decoder.scaler, picture->data, picture->linesize, 0, picture->height, planes, pitches) !=
      picture->height) {
    return false;
  }
  placeLumaPlane(decoder.scratch, size_t(picture->width), 1, picture->width, picture->height, target);
  return true;
}

bool placeJpegImage(const CameraImage& image, PictureDecoder& decoder, const LayoutTarget& target) {
  if (!decoder.context || image.byteCount > (1u << 30) || !looksComplete(image.bytes, image.byteCount)) {
    return false;
  }
  // The decoder may read a little past the data: hand it a padded copy.
  if (!reserveScratch(decoder, image.byteCount + AV_INPUT_BUFFER_PADDING_SIZE)) return false;
  std::memcpy(decoder.scratch, image.bytes, image.byteCount);
  std::memset(decoder.scratch + image.byteCount, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  AVPacket* packet = decoder.packet;
  packet->data = decoder.scratch;
  packet->size = int(image.byteCount);
  const int sent = avcodec_send_packet(decoder.context, packet);
  packet->data = nullptr;
  packet->size = 0;
  if (sent < 0) return false;
  if (avcodec_receive_frame(decoder.context, decoder.frame) < 0) return false;
  AVFrame* picture = decoder.frame;
  const bool damaged = picture->decode_error_flags != 0 || (picture->flags & AV_FRAME_FLAG_CORRUPT);
  const bool placed = !damaged && placeDecodedPicture(picture, decoder, target);
  av_frame_unref(picture);
  return placed;
}
