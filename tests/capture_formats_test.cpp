#include <gtest/gtest.h>
#include <linux/videodev2.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdlib>
#include <string>
#include <vector>

#include "camera/capture_formats.h"
#include "camera/capture_library.h"
#include "support/test_media.h"

namespace {
constexpr int rows = 6;

uint8_t lumaAt(int j, int k) { return uint8_t((j * 37 + k * 11 + 5) & 0xff); }
// Smooth enough for JPEG to keep within a few steps.
uint8_t smoothLumaAt(int j, int k, int width) { return uint8_t(40 + (160 * k) / width + 4 * j); }

// A raw frame of the format whose luma is lumaAt, padded rows of `padding`
// bytes filled with a value that must never reach the layout.
std::vector<uint8_t> rawFrame(uint32_t fourcc, int width, int height, uint32_t padding,
                              uint32_t& bytesPerLine) {
  const int bpp = fourcc == V4L2_PIX_FMT_YUYV || fourcc == V4L2_PIX_FMT_UYVY     ? 2
                  : fourcc == V4L2_PIX_FMT_RGB24 || fourcc == V4L2_PIX_FMT_BGR24 ? 3
                                                                                 : 1;
  bytesPerLine = uint32_t(width * bpp) + padding;
  const size_t lumaBytes = size_t(bytesPerLine) * size_t(height);
  std::vector<uint8_t> frame(lumaBytes * 2, 0xee);
  for (int j = 0; j < height; ++j) {
    uint8_t* row = frame.data() + size_t(j) * bytesPerLine;
    for (int k = 0; k < width; ++k) {
      const uint8_t y = lumaAt(j, k);
      switch (fourcc) {
        case V4L2_PIX_FMT_YUYV: row[2 * k] = y, row[2 * k + 1] = uint8_t(k & 1 ? 90 : 170); break;
        case V4L2_PIX_FMT_UYVY: row[2 * k + 1] = y, row[2 * k] = uint8_t(k & 1 ? 90 : 170); break;
        case V4L2_PIX_FMT_RGB24:
        case V4L2_PIX_FMT_BGR24: row[3 * k] = row[3 * k + 1] = row[3 * k + 2] = y; break;
        default: row[k] = y;
      }
    }
  }
  // Chroma planes of NV12 and YU12 follow the luma plane with 128s.
  for (size_t i = lumaBytes; i < frame.size(); ++i) frame[i] = 128;
  if (fourcc == V4L2_PIX_FMT_GREY || bpp > 1) frame.resize(lumaBytes);
  return frame;
}

void expectLayout(const std::vector<uint8_t>& layout, int width, int height, int tolerance, bool smooth,
                  const std::string& what) {
  const size_t stride = size_t(2 * width + 640);
  int wrong = 0;
  for (int j = 0; j < height; ++j) {
    for (int k = 0; k < width; ++k) {
      const int want = smooth ? smoothLumaAt(j, k, width) : lumaAt(j, k);
      const int got = layout[size_t(j) * stride + 2 * size_t(k)];
      if (std::abs(got - want) > tolerance && wrong++ < 3) {
        ADD_FAILURE() << what << ": pixel (" << j << ", " << k << ") is " << got << ", expected " << want;
      }
    }
  }
  EXPECT_EQ(wrong, 0) << what;
}

struct FormatCase {
  uint32_t fourcc;
  const char* name;
};
constexpr FormatCase rawFormats[] = {
    {V4L2_PIX_FMT_YUYV, "YUYV"},  {V4L2_PIX_FMT_UYVY, "UYVY"},   {V4L2_PIX_FMT_GREY, "GREY"},
    {V4L2_PIX_FMT_NV12, "NV12"},  {V4L2_PIX_FMT_YUV420, "YU12"}, {V4L2_PIX_FMT_RGB24, "RGB3"},
    {V4L2_PIX_FMT_BGR24, "BGR3"},
};
constexpr int widths[] = {640, 320, 1280};
}  // namespace

TEST(CaptureLayout, SizeCoversTheWalkExactly) {
  EXPECT_EQ(captureLayoutBytes(640, 480), size_t(479) * 1920 + 1280);
  EXPECT_EQ(captureLayoutBytes(320, 240), size_t(239) * 1280 + 640);
  EXPECT_EQ(captureLayoutBytes(1, 1), size_t(2));
  EXPECT_EQ(captureLayoutBytes(0, 480), size_t(0));
  EXPECT_EQ(captureLayoutBytes(640, -1), size_t(0));
}

TEST(CaptureLayout, EveryRawFormatPlacesLumaAtEveryWidth) {
  PictureDecoder decoder{};
  for (const FormatCase& format : rawFormats) {
    for (const int width : widths) {
      for (const uint32_t padding : {0u, 96u}) {
        uint32_t bytesPerLine = 0;
        const std::vector<uint8_t> frame = rawFrame(format.fourcc, width, rows, padding, bytesPerLine);
        std::vector<uint8_t> layout(captureLayoutBytes(width, rows), 0);
        const std::string what =
            std::string(format.name) + " at " + std::to_string(width) + " padding " + std::to_string(padding);
        const CameraImage image{frame.data(), frame.size(), format.fourcc, width, rows, bytesPerLine};
        ASSERT_TRUE(placeCameraImage(image, decoder, {layout.data(), width, rows})) << what;
        expectLayout(layout, width, rows, 0, false, what);
      }
    }
  }
}

TEST(CaptureLayout, ColourIsWeightedIntoLuma) {
  PictureDecoder decoder{};
  std::vector<uint8_t> layout(captureLayoutBytes(2, 1), 0);
  const uint8_t rgb[] = {255, 0, 0, 0, 0, 255};  // red, blue
  ASSERT_TRUE(
      placeCameraImage({rgb, sizeof rgb, V4L2_PIX_FMT_RGB24, 2, 1, 0}, decoder, {layout.data(), 2, 1}));
  EXPECT_EQ(layout[0], 76);
  EXPECT_EQ(layout[2], 29);
  ASSERT_TRUE(
      placeCameraImage({rgb, sizeof rgb, V4L2_PIX_FMT_BGR24, 2, 1, 0}, decoder, {layout.data(), 2, 1}));
  EXPECT_EQ(layout[0], 29);
  EXPECT_EQ(layout[2], 76);
}

TEST(CaptureLayout, ShortOrUnknownFramesAreRefusedUntouched) {
  PictureDecoder decoder{};
  for (const FormatCase& format : rawFormats) {
    uint32_t bytesPerLine = 0;
    const std::vector<uint8_t> frame = rawFrame(format.fourcc, 320, rows, 0, bytesPerLine);
    const size_t whole = minimumFrameBytes(format.fourcc, 320, rows, bytesPerLine);
    ASSERT_LE(whole, frame.size()) << format.name;
    std::vector<uint8_t> layout(captureLayoutBytes(320, rows), 7);
    EXPECT_FALSE(placeCameraImage({frame.data(), whole - 1, format.fourcc, 320, rows, bytesPerLine}, decoder,
                                  {layout.data(), 320, rows}))
        << format.name;
    EXPECT_EQ(layout, std::vector<uint8_t>(layout.size(), 7)) << format.name;
  }
  std::vector<uint8_t> layout(captureLayoutBytes(4, 1), 0);
  const uint8_t bytes[64] = {};
  EXPECT_FALSE(placeCameraImage({bytes, sizeof bytes, fourCode('H', '2', '6', '4'), 4, 1, 0}, decoder,
                                {layout.data(), 4, 1}));
}

TEST(CaptureLayout, FramesOfAnotherSizeAreScaledToTheLayout) {
  // A driver may hand out a bigger or smaller picture than the mode asked
  // for: the analysis still sees all of it, at its own size.
  constexpr int width = 640, height = 6;
  PictureDecoder decoder{};
  for (const FormatCase& format : rawFormats) {
    for (const auto& [frameWidth, frameHeight] : {std::pair{1280, 12}, std::pair{320, 3}}) {
      const std::string what = std::string(format.name) + " at " + std::to_string(frameWidth);
      uint32_t bytesPerLine = 0;
      std::vector<uint8_t> frame = rawFrame(format.fourcc, frameWidth, frameHeight, 32, bytesPerLine);
      const int bpp = int(bytesPerLine - 32) / frameWidth;
      for (int j = 0; j < frameHeight; ++j)  // dark left half, bright right half
        for (int k = 0; k < frameWidth; ++k)
          for (int b = 0; b < bpp; ++b) {
            const bool luma = bpp != 2 || b == (format.fourcc == V4L2_PIX_FMT_UYVY);
            if (luma) frame[size_t(j) * bytesPerLine + size_t(k * bpp + b)] = k < frameWidth / 2 ? 40 : 200;
          }
      std::vector<uint8_t> layout(captureLayoutBytes(width, height), 0);
      ASSERT_TRUE(
          placeCameraImage({frame.data(), frame.size(), format.fourcc, frameWidth, frameHeight, bytesPerLine},
                           decoder, {layout.data(), width, height}))
          << what;
      int wrong = 0;
      for (int j = 0; j < height; ++j)
        for (int k = 0; k < width; ++k) {
          if (k >= 300 && k < 340) continue;  // the edge, blended by scaling
          wrong += layout[size_t(j) * (2 * width + 640) + 2 * size_t(k)] != (k < width / 2 ? 40 : 200);
        }
      EXPECT_EQ(wrong, 0) << what;
    }
  }
  closePictureDecoder(decoder);
}

TEST(CaptureLayout, MjpegIsDecodedAtEveryWidthEvenWithoutHuffmanTables) {
  PictureDecoder decoder{};
  ASSERT_TRUE(openJpegDecoder(decoder));
  for (const int width : widths) {
    std::vector<uint8_t> luma(size_t(width) * 16);
    for (int j = 0; j < 16; ++j)
      for (int k = 0; k < width; ++k) luma[size_t(j * width + k)] = smoothLumaAt(j, k, width);
    const std::vector<uint8_t> jpeg = encodeJpeg(luma, width, 16);
    ASSERT_FALSE(jpeg.empty());
    const std::vector<uint8_t> bare = withoutHuffmanTables(jpeg);
    ASSERT_LT(bare.size(), jpeg.size()) << "the encoder wrote no tables to take out";
    for (const auto* variant : {&jpeg, &bare}) {
      const std::string what =
          "MJPG at " + std::to_string(width) + (variant == &bare ? " without tables" : "");
      std::vector<uint8_t> layout(captureLayoutBytes(width, 16), 0);
      ASSERT_TRUE(placeCameraImage({variant->data(), variant->size(), V4L2_PIX_FMT_MJPEG, width, 16, 0},
                                   decoder, {layout.data(), width, 16}))
          << what;
      expectLayout(layout, width, 16, 3, true, what);
    }
    // Cameras pad frames with zeros after the end marker.
    std::vector<uint8_t> padded = jpeg;
    padded.resize(jpeg.size() + 300, 0);
    std::vector<uint8_t> layout(captureLayoutBytes(width, 16), 0);
    EXPECT_TRUE(placeCameraImage({padded.data(), padded.size(), V4L2_PIX_FMT_MJPEG, width, 16, 0}, decoder,
                                 {layout.data(), width, 16}));
  }
  closePictureDecoder(decoder);
}

TEST(CaptureLayout, TruncatedOrGarbledMjpegIsDropped) {
  PictureDecoder decoder{};
  ASSERT_TRUE(openJpegDecoder(decoder));
  std::vector<uint8_t> luma(size_t(320) * 16, 100);
  const std::vector<uint8_t> jpeg = encodeJpeg(luma, 320, 16);
  std::vector<uint8_t> layout(captureLayoutBytes(320, 16), 0);
  EXPECT_FALSE(placeCameraImage({jpeg.data(), jpeg.size() / 2, V4L2_PIX_FMT_MJPEG, 320, 16, 0}, decoder,
                                {layout.data(), 320, 16}));
  std::vector<uint8_t> garbage(4000, 0x5a);
  garbage[0] = 0xff, garbage[1] = 0xd8, garbage[3998] = 0xff, garbage[3999] = 0xd9;
  EXPECT_FALSE(placeCameraImage({garbage.data(), garbage.size(), V4L2_PIX_FMT_MJPEG, 320, 16, 0}, decoder,
                                {layout.data(), 320, 16}));
  // The decoder is still good for the next whole frame.
  EXPECT_TRUE(placeCameraImage({jpeg.data(), jpeg.size(), V4L2_PIX_FMT_MJPEG, 320, 16, 0}, decoder,
                               {layout.data(), 320, 16}));
  EXPECT_NEAR(layout[2 * 100], 100, 3);
  closePictureDecoder(decoder);
}

TEST(CaptureLayout, MjpegDamageTheDecoderWouldConcealIsRefused) {
  std::vector<uint8_t> luma(size_t(320) * 240);
  for (int j = 0; j < 240; ++j)
    for (int k = 0; k < 320; ++k) luma[size_t(j * 320 + k)] = smoothLumaAt(j, k, 320);
  const std::vector<uint8_t> damaged = withDamagedScan(encodeJpeg(luma, 320, 240));
  ASSERT_FALSE(damaged.empty());
  // Left to itself, FFmpeg's decoder returns the picture, its lower part
  // never decoded: a change the analysis would take for motion.
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* plain = avcodec_alloc_context3(codec);
  AVFrame* picture = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  std::vector<uint8_t> padded(damaged);
  padded.resize(damaged.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  packet->data = padded.data();
  packet->size = int(damaged.size());
  ASSERT_EQ(avcodec_open2(plain, codec, nullptr), 0);
  const bool concealed =
      avcodec_send_packet(plain, packet) == 0 && avcodec_receive_frame(plain, picture) == 0;
  const bool lowerPartLost =
      concealed && std::abs(picture->data[0][size_t(230) * size_t(picture->linesize[0]) + 100] -
                            smoothLumaAt(230, 100, 320)) > 20;
  packet->data = nullptr;
  av_packet_free(&packet);
  av_frame_free(&picture);
  avcodec_free_context(&plain);
  EXPECT_TRUE(concealed);
  EXPECT_TRUE(lowerPartLost);
  // The layer's decoder reports it instead, and the frame is dropped.
  PictureDecoder decoder{};
  ASSERT_TRUE(openJpegDecoder(decoder));
  std::vector<uint8_t> layout(captureLayoutBytes(320, 240), 7);
  EXPECT_FALSE(placeCameraImage({damaged.data(), damaged.size(), V4L2_PIX_FMT_MJPEG, 320, 240, 0}, decoder,
                                {layout.data(), 320, 240}));
  EXPECT_STREQ(decoder.refusal, "a damaged JPEG");
  EXPECT_EQ(layout, std::vector<uint8_t>(layout.size(), 7));
  closePictureDecoder(decoder);
}

TEST(CaptureLayout, FormatNamesAreFourCodeText) {
  char text[5];
  fourCodeText(V4L2_PIX_FMT_MJPEG, text);
  EXPECT_STREQ(text, "MJPG");
  fourCodeText(V4L2_PIX_FMT_YUV420, text);
  EXPECT_STREQ(text, "YU12");
  fourCodeText(fourCode('Y', '1', '6', ' '), text);
  EXPECT_STREQ(text, "Y16");
  fourCodeText(fourCode('Y', '1', '6', ' ') | (1u << 31), text);
  EXPECT_STREQ(text, "Y16");
}
