// Turning one camera frame into the analysis layout, per format, on one core.
#include <benchmark/benchmark.h>
#include <linux/videodev2.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "camera/capture_formats.h"
#include "camera/capture_library.h"
#include "camera/capture_system.h"
#include "support/test_media.h"

namespace {
// A camera-like picture: the demo scene with sensor noise, so that JPEG has
// detail to code.
std::vector<uint8_t> scene(int width, int height) {
  std::vector<uint8_t> demo(size_t(demoWidth) * demoHeight);
  renderDemoFrame(19 * 30, demo.data());
  std::vector<uint8_t> grey(size_t(width) * size_t(height));
  uint32_t noise = 12345;
  for (int j = 0; j < height; ++j)
    for (int k = 0; k < width; ++k) {
      noise = noise * 1664525u + 1013904223u;
      const int value = demo[size_t((j % demoHeight) * demoWidth + k % demoWidth)] + int(noise >> 28) - 8;
      grey[size_t(j * width + k)] = uint8_t(value < 0 ? 0 : value > 255 ? 255 : value);
    }
  return grey;
}

std::vector<uint8_t> cameraFrame(uint32_t fourcc, int width, int height, const std::vector<uint8_t>& grey) {
  const size_t pixels = size_t(width) * size_t(height);
  std::vector<uint8_t> frame;
  switch (fourcc) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
      frame.assign(pixels * 2, 128);
      for (size_t i = 0; i < pixels; ++i) frame[2 * i + (fourcc == V4L2_PIX_FMT_UYVY)] = grey[i];
      break;
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
      frame.resize(pixels * 3);
      for (size_t i = 0; i < pixels; ++i) frame[3 * i] = frame[3 * i + 1] = frame[3 * i + 2] = grey[i];
      break;
    case V4L2_PIX_FMT_MJPEG:
      frame = encodeJpeg(grey, width, height, 2);  // about a webcam's quality and size
      break;
    default:  // GREY and the planar 4:2:0 formats
      frame.assign(pixels * 3 / 2, 128);
      std::copy(grey.begin(), grey.end(), frame.begin());
      if (fourcc == V4L2_PIX_FMT_GREY) frame.resize(pixels);
  }
  return frame;
}

// A frame of the size in the arguments into the layout of a mode of
// `layoutWidth` x `layoutHeight` (0: the frame's own size). MJPEG is decoded
// with damage detection on, as a camera's frames are.
void deliverFrame(benchmark::State& state, uint32_t fourcc, int layoutWidth, int layoutHeight) {
  const int width = int(state.range(0)), height = int(state.range(1));
  if (layoutWidth == 0) layoutWidth = width, layoutHeight = height;
  const std::vector<uint8_t> frame = cameraFrame(fourcc, width, height, scene(width, height));
  std::vector<uint8_t> layout(captureLayoutBytes(layoutWidth, layoutHeight));
  PictureDecoder decoder{};
  if (fourcc == V4L2_PIX_FMT_MJPEG && !openJpegDecoder(decoder)) {
    state.SkipWithError("no MJPEG decoder");
    return;
  }
  const CameraImage image{frame.data(), frame.size(), fourcc, width, height, 0};
  const LayoutTarget target{layout.data(), layoutWidth, layoutHeight};
  for (auto _ : state) {
    if (!placeCameraImage(image, decoder, target)) {
      state.SkipWithError("frame not placed");
      break;
    }
    benchmark::DoNotOptimize(layout.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
  closePictureDecoder(decoder);
}

const int registered = [] {
  const std::pair<uint32_t, const char*> formats[] = {
      {V4L2_PIX_FMT_YUYV, "YUYV"},  {V4L2_PIX_FMT_UYVY, "UYVY"},   {V4L2_PIX_FMT_GREY, "GREY"},
      {V4L2_PIX_FMT_NV12, "NV12"},  {V4L2_PIX_FMT_YUV420, "YU12"}, {V4L2_PIX_FMT_RGB24, "RGB3"},
      {V4L2_PIX_FMT_BGR24, "BGR3"}, {V4L2_PIX_FMT_MJPEG, "MJPG"},
  };
  for (const auto& [fourcc, name] : formats) {
    const uint32_t code = fourcc;
    benchmark::RegisterBenchmark((std::string("BM_DeliverFrame/") + name).c_str(),
                                 [code](benchmark::State& state) { deliverFrame(state, code, 0, 0); })
        ->Args({640, 480})
        ->Unit(benchmark::kMicrosecond);
  }
  // A driver that answered a 640 x 480 mode with 320 x 240 pictures: they are
  // scaled to the mode's size on the way.
  for (const auto& [fourcc, name] : {formats[0], formats[7]}) {
    const uint32_t code = fourcc;
    benchmark::RegisterBenchmark((std::string("BM_DeliverScaledFrame/") + name).c_str(),
                                 [code](benchmark::State& state) { deliverFrame(state, code, 640, 480); })
        ->Args({320, 240})
        ->Unit(benchmark::kMicrosecond);
  }
  return 0;
}();
}  // namespace
