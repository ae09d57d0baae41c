#include "support/test_media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <cstdlib>
#include <cstring>

namespace {
AVFrame* greyFrame(int width, int height, AVPixelFormat format) {
  AVFrame* frame = av_frame_alloc();
  frame->format = format;
  frame->width = width;
  frame->height = height;
  av_frame_get_buffer(frame, 0);
  for (int j = 0; j < (height + 1) / 2; ++j) {  // neutral chroma
    std::memset(frame->data[1] + j * frame->linesize[1], 128, size_t(frame->linesize[1]));
    std::memset(frame->data[2] + j * frame->linesize[2], 128, size_t(frame->linesize[2]));
  }
  return frame;
}
}  // namespace

std::vector<uint8_t> encodeJpeg(const std::vector<uint8_t>& luma, int width, int height, int quantiser) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUVJ420P;
  context->time_base = {1, 30};
  context->flags |= AV_CODEC_FLAG_QSCALE;
  context->global_quality = FF_QP2LAMBDA * quantiser;
  av_opt_set(context->priv_data, "huffman", "default", 0);
  std::vector<uint8_t> out;
  if (avcodec_open2(context, codec, nullptr) == 0) {
    AVFrame* frame = greyFrame(width, height, AV_PIX_FMT_YUVJ420P);
    frame->quality = context->global_quality;
    for (int j = 0; j < height; ++j)
      std::memcpy(frame->data[0] + j * frame->linesize[0], &luma[size_t(j * width)], size_t(width));
    AVPacket* packet = av_packet_alloc();
    if (avcodec_send_frame(context, frame) == 0 && avcodec_receive_packet(context, packet) == 0) {
      out.assign(packet->data, packet->data + packet->size);
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
  }
  avcodec_free_context(&context);
  return out;
}

std::vector<uint8_t> withoutHuffmanTables(const std::vector<uint8_t>& jpeg) {
  std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xff) {
    const uint8_t marker = jpeg[at + 1];
    const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
    if (marker == 0xda) break;  // scan data follows: copy the rest whole
    if (marker != 0xc4) out.insert(out.end(), jpeg.begin() + long(at), jpeg.begin() + long(at + 2 + length));
    at += 2 + length;
  }
  out.insert(out.end(), jpeg.begin() + long(at), jpeg.end());
  return out;
}

std::vector<uint8_t> withDamagedScan(const std::vector<uint8_t>& jpeg) {
  size_t at = 2;
  while (at + 4 <= jpeg.size() && jpeg[at] == 0xff && jpeg[at + 1] != 0xda) {
    at += 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
  }
  if (at + 4 > jpeg.size()) return {};
  const size_t scan = at + 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
  size_t middle = scan + (jpeg.size() - 2 - scan) / 2;
  while (jpeg[middle - 1] == 0xff) ++middle;  // not inside a stuffed pair
  std::vector<uint8_t> damaged = jpeg;
  for (size_t i = 0; i < 16; i += 2) {
    damaged[middle + i] = 0xff;
    damaged[middle + i + 1] = 0x00;
  }
  return damaged;
}

bool writeGreyVideo(const std::string& path, int width, int height, int framesPerSecond,
                    const std::vector<uint8_t>& levels, const std::vector<int64_t>& ticks) {
  if (!ticks.empty() && ticks.size() != levels.size()) return false;
  AVFormatContext* format = nullptr;
  if (avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str()) < 0) return false;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  AVStream* stream = avformat_new_stream(format, nullptr);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = {1, framesPerSecond};
  context->framerate = {framesPerSecond, 1};
  context->gop_size = 4;
  context->flags |= AV_CODEC_FLAG_QSCALE;
  if (format->oformat->flags & AVFMT_GLOBALHEADER) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  bool ok = avcodec_open2(context, codec, nullptr) == 0 &&
            avcodec_parameters_from_context(stream->codecpar, context) >= 0;
  stream->time_base = context->time_base;
  stream->avg_frame_rate = context->framerate;
  ok = ok && avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
       avformat_write_header(format, nullptr) >= 0;
  AVPacket* packet = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(context, packet) == 0) {
      av_packet_rescale_ts(packet, context->time_base, stream->time_base);
      packet->stream_index = stream->index;
      av_interleaved_write_frame(format, packet);
    }
  };
  for (size_t i = 0; ok && i < levels.size(); ++i) {
    AVFrame* frame = greyFrame(width, height, AV_PIX_FMT_YUV420P);
    for (int j = 0; j < height; ++j)
      std::memset(frame->data[0] + j * frame->linesize[0], levels[i], size_t(width));
    frame->pts = ticks.empty() ? int64_t(i) : ticks[i];
    frame->quality = FF_QP2LAMBDA * 2;
    ok = avcodec_send_frame(context, frame) == 0;
    av_frame_free(&frame);
    drain();
  }
  avcodec_send_frame(context, nullptr);
  drain();
  if (ok) ok = av_write_trailer(format) == 0;
  av_packet_free(&packet);
  avcodec_free_context(&context);
  if (format->pb) avio_closep(&format->pb);
  avformat_free_context(format);
  return ok;
}

bool makeLosslessClip(const std::string& path, const std::string& graph, double seconds) {
  const std::string command = "ffmpeg -loglevel error -nostdin " + graph + " -t " + std::to_string(seconds) +
                              " -c:v ffv1 -y '" + path + "'";
  return std::system(command.c_str()) == 0;
}
