#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "bench/motion_bench_frames.h"

namespace {

// The same measurement as the analysis, written as an OpenCV user would:
// sample plane, signed difference, band test, count and centroid.
void BM_OpenCvMotion(benchmark::State& state) {
  const auto width = static_cast<int>(state.range(0));
  const auto height = static_cast<int>(state.range(1));
  BenchFrames frames = makeBenchFrames(width, height);
  cv::Mat previous = cv::Mat::zeros(height, width, CV_8U);
  cv::Mat current, difference, brighter, darker, moving;
  int n = 0;
  double centroidX = 0.0, centroidY = 0.0;
  for (auto _ : state) {
    // Every second byte of the first 2W bytes of each row is a sample.
    const cv::Mat pairs(height, width, CV_8UC2, frames.frame[n & 1].data(), frames.rowBytes);
    cv::extractChannel(pairs, current, 0);
    cv::subtract(current, previous, difference, cv::noArray(), CV_16S);
    cv::compare(difference, 63, brighter, cv::CMP_GE);
    cv::compare(difference, -60, darker, cv::CMP_LE);
    cv::bitwise_or(brighter, darker, moving);
    const int count = cv::countNonZero(moving);
    if (count > 0) {
      const cv::Moments m = cv::moments(moving, true);
      centroidX = 1.0 - m.m10 / m.m00 / width;
      centroidY = 1.0 - m.m01 / m.m00 / height;
    }
    benchmark::DoNotOptimize(count);
    std::swap(previous, current);
    ++n;
  }
  benchmark::DoNotOptimize(centroidX);
  benchmark::DoNotOptimize(centroidY);
  state.SetItemsProcessed(state.iterations() * int64_t{width} * height);
}
BENCHMARK(BM_OpenCvMotion)->Args({640, 480});

}  // namespace
