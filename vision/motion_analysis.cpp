#include "vision/motion_analysis.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>

#include "camera/frame_layout.h"
#include "platform/exact_float.h"
#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"
#include "vision/motion_state.h"

// The block pass sums lanes through 64-bit moves that only x86-64 has;
// elsewhere every column takes the plain per-sample path.
#if defined(__x86_64__)
#include <tmmintrin.h>
#define TESSARO_VECTOR_PASS 1
#endif

namespace {

struct Planes {
  uint8_t* grey;
  uint8_t* difference;
  const uint8_t* previous;
  uint8_t* next;
};

struct RowSums {
  int64_t count;
  int64_t sumColumns;
};

// How a room has tuned the analysis (setMotionTuning); the pass takes its
// plain form unless one of these is set.
struct Tuning {
  uint8_t threshold;    // 0: the band
  const uint8_t* mask;  // 0xFF watched, 0 ignored; null: every sample watched
};
Tuning tuning{0, nullptr};
double ignoreOverPercent = 100.0;

// Whether sample i moved: by the band on its old difference value, or, with
// a threshold, by the exact change between the two frames that value came
// from (the previous frame's samples, and those of the one before, still in
// the plane this frame overwrites); never when the mask ignores it.
template <bool Threshold, bool Masked>
uint32_t sampleMoves(const Planes& p, size_t i, uint32_t d, const Tuning& t) {
  uint32_t moving;
  if constexpr (Threshold) {
    const int32_t change = int32_t{p.previous[i]} - int32_t{p.next[i]};
    moving = static_cast<uint32_t>((change < 0 ? -change : change) >= t.threshold);
  } else {
    moving = static_cast<uint32_t>(d > movingAbove) | static_cast<uint32_t>(d < movingBelow);
  }
  if constexpr (Masked) moving &= t.mask[i] & 1u;
  return moving;
}

// Columns [first, width) of one row, one sample at a time and without branches.
template <bool Threshold, bool Masked>
void scanRowTail(const uint8_t* frameRow, const Planes& p, size_t rowStart, int32_t first, int32_t width,
                 RowSums& sums, const Tuning& t) {
  for (int32_t k = first; k < width; ++k) {
    const size_t i = rowStart + static_cast<size_t>(k);
    const uint32_t d = p.difference[i];
    const uint32_t moving = sampleMoves<Threshold, Masked>(p, i, d, t);
    sums.count += moving;
    sums.sumColumns += static_cast<int64_t>(k) * moving;
    const uint8_t grey = static_cast<uint8_t>(d);
    p.grey[3 * i] = grey;
    p.grey[3 * i + 1] = grey;
    p.grey[3 * i + 2] = grey;
    const uint32_t cur = frameRow[2 * static_cast<size_t>(k)];
    p.difference[i] = static_cast<uint8_t>((cur + 255u - p.previous[i]) >> 1);
    p.next[i] = static_cast<uint8_t>(cur);
  }
}

#ifdef TESSARO_VECTOR_PASS

__attribute__((target("ssse3"))) inline int64_t sumLanes(__m128i v) {
  return _mm_cvtsi128_si64(v) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v));
}

// The whole 16-sample blocks of one row; returns how many columns it handled.
// The high half of a block is loaded one byte early so that the last block of
// the last row ends exactly on its final sample's byte.
template <bool Threshold, bool Masked>
__attribute__((target("ssse3"))) int32_t scanRowBlocks(const uint8_t* frameRow, const Planes& p,
                                                       size_t rowStart, int32_t width, RowSums& sums,
                                                       const Tuning& t) {
  const int32_t blocks = width / 16;
  const __m128i zero = _mm_setzero_si128();
  const __m128i allSet = _mm_set1_epi8(-1);
  const __m128i one = _mm_set1_epi8(1);
  // Unsigned bytes compare only for equality: d >= movingAbove + 1 where
  // max(d, movingAbove + 1) == d, and d <= movingBelow - 1 likewise with min.
  const __m128i lowestMoving = _mm_set1_epi8(static_cast<char>(movingAbove + 1));
  const __m128i highestMoving = _mm_set1_epi8(static_cast<char>(movingBelow - 1));
  const __m128i lanes = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  const __m128i triple0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i triple1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i triple2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  const __m128i threshold = _mm_set1_epi8(static_cast<char>(t.threshold));

  // Per block b: n_b moving samples at columns 16b + lane. The column sum is
  // 16 * sum(b * n_b) + sum(lane), and sum(b * n_b) = B * N - sum of the running
  // counts, so the loop only adds.
  __m128i running = zero;
  __m128i runningTotal = zero;
  __m128i laneTotal = zero;
  for (int32_t b = 0; b < blocks; ++b) {
    const size_t k = 16 * static_cast<size_t>(b);
    const size_t i = rowStart + k;
    const __m128i dOld = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.difference + i));
    __m128i moving;
    if constexpr (Threshold) {
      // |previous - before| from the two saturating differences, at least the threshold.
      const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.next + i));
      const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.previous + i));
      const __m128i change = _mm_or_si128(_mm_subs_epu8(last, before), _mm_subs_epu8(before, last));
      moving = _mm_cmpeq_epi8(_mm_max_epu8(change, threshold), change);
    } else {
      moving = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(dOld, lowestMoving), dOld),
                            _mm_cmpeq_epi8(_mm_min_epu8(dOld, highestMoving), dOld));
    }
    if constexpr (Masked) {
      moving = _mm_and_si128(moving, _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.mask + i)));
    }
    running = _mm_add_epi64(running, _mm_sad_epu8(_mm_and_si128(moving, one), zero));
    runningTotal = _mm_add_epi64(runningTotal, running);
    laneTotal = _mm_add_epi64(laneTotal, _mm_sad_epu8(_mm_and_si128(moving, lanes), zero));

    __m128i* grey = reinterpret_cast<__m128i*>(p.grey + 3 * i);
    _mm_storeu_si128(grey, _mm_shuffle_epi8(dOld, triple0));
    _mm_storeu_si128(grey + 1, _mm_shuffle_epi8(dOld, triple1));
    _mm_storeu_si128(grey + 2, _mm_shuffle_epi8(dOld, triple2));

    const uint8_t* src = frameRow + 2 * k;
    const __m128i low = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), lowBytes);
    const __m128i high = _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 15)), 8);
    const __m128i cur = _mm_packus_epi16(low, high);
    const __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.previous + i));
    // floor((cur + 255 - prev) / 2) == 255 - ceil((255 - cur + prev) / 2)
    const __m128i dNew = _mm_xor_si128(_mm_avg_epu8(_mm_xor_si128(cur, allSet), prev), allSet);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p.difference + i), dNew);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p.next + i), cur);
  }
  const int64_t n = sumLanes(running);
  sums.count += n;
  sums.sumColumns += 16 * (blocks * n - sumLanes(runningTotal)) + sumLanes(laneTotal);
  return blocks * 16;
}

bool vectorPassAvailable() { return __builtin_cpu_supports("ssse3"); }

#else

template <bool Threshold, bool Masked>
int32_t scanRowBlocks(const uint8_t*, const Planes&, size_t, int32_t, RowSums&, const Tuning&) {
  return 0;
}
bool vectorPassAvailable() { return false; }

#endif

// False for NaN, infinities and values beyond the float range.
bool fitsFloat(double v) { return std::fabs(v) <= static_cast<double>(FLT_MAX); }

}  // namespace

namespace {
// The pass over every row, in one of its forms.
template <bool Threshold, bool Masked>
MotionCounts scanRows(const uint8_t* frameBytes, int32_t width, int32_t height) {
  MotionCounts counts{};
  const Planes planes{frameBuffers.greyImageOut, frameBuffers.difference, frameBuffers.brightnessPrevious,
                      frameBuffers.brightnessNext};
  const Tuning t = tuning;
  const size_t frameRowBytes = frameLayoutStride(width);
  const bool vector = vectorPassAvailable();
  for (int32_t j = 0; j < height; ++j) {
    const uint8_t* frameRow = frameBytes + static_cast<size_t>(j) * frameRowBytes;
    const size_t rowStart = static_cast<size_t>(j) * static_cast<size_t>(width);
    RowSums row{0, 0};
    const int32_t done = vector ? scanRowBlocks<Threshold, Masked>(frameRow, planes, rowStart, width, row, t) : 0;
    scanRowTail<Threshold, Masked>(frameRow, planes, rowStart, done, width, row, t);
    counts.count += row.count;
    counts.sumColumns += row.sumColumns;
    counts.sumRows += static_cast<int64_t>(j) * row.count;
  }
  return counts;
}
}  // namespace

MotionCounts scanSamples(const uint8_t* frameBytes) {
  const int32_t width = analysisWidth;
  const int32_t height = analysisHeight;
  if (width <= 0 || height <= 0) return MotionCounts{};
  tuning.mask = frameBuffers.mask;
  if (tuning.mask) {
    return tuning.threshold ? scanRows<true, true>(frameBytes, width, height)
                            : scanRows<false, true>(frameBytes, width, height);
  }
  return tuning.threshold ? scanRows<true, false>(frameBytes, width, height)
                          : scanRows<false, false>(frameBytes, width, height);
}

void setMotionTuning(const MotionTuning& chosen) {
  tuning.threshold = static_cast<uint8_t>(std::clamp(chosen.threshold, 0, 255));
  ignoreOverPercent = chosen.ignoreOverPercent;
}

int32_t motionThreshold() { return tuning.threshold; }

MotionCounts ignoreSweepingChange(const MotionCounts& counts) {
  const auto watched = static_cast<double>(watchedSamples());
  const bool sweeping = static_cast<double>(counts.count) * 100.0 > ignoreOverPercent * watched;
  return sweeping ? MotionCounts{} : counts;
}

void publishMotion(const MotionCounts& counts) {
  const int32_t width = analysisWidth;
  const int32_t height = analysisHeight;
  if (width <= 0 || height <= 0) return;

  enterMotionLock();
  MotionState& s = motionState;
  // The share of the watched samples: all of them unless a mask ignores some.
  const double watched =
      frameBuffers.mask ? static_cast<double>(watchedSamples()) : static_cast<double>(width) * height;
  s.movingFraction = watched > 0 ? exactFloat(static_cast<double>(counts.count) / watched) : 0.0f;
  if (counts.count == 0) {
    leaveMotionLock();
    return;
  }
  // x is rounded to single precision before the smoothing; y enters it in
  // double and is rounded only where it is stored.
  const double x =
      exactFloat(1.0 - static_cast<double>(counts.sumColumns) / static_cast<double>(width * counts.count));
  const double y = 1.0 - static_cast<double>(counts.sumRows) / static_cast<double>(height * counts.count);
  double weight = 5.0 * static_cast<double>(s.movingFraction);
  if (weight > 0.95) weight = 0.95;
  s.centroidX = exactFloat((1.0 - weight) * s.centroidX + weight * x);
  s.centroidY = exactFloat((1.0 - weight) * s.centroidY + weight * y);

  // Velocities are smoothed from their own previous values: one infinite or NaN
  // result would stay for the rest of the run, so such a frame keeps them. It
  // keeps the last centroid too: the frame time did not advance (a zero step of
  // a coarse float clock), so the next usable interval spans this frame as well
  // and must be set against the centroid change over the same frames.
  const double interval = frameTiming.frameInterval;
  const double rate = 1.0 / interval;
  const double velocityX = (static_cast<double>(s.centroidX) - s.lastCentroidX) * rate * 1000.0 * 0.25 +
                           0.75 * static_cast<double>(s.velocityX.load(std::memory_order_relaxed));
  const double velocityY = (static_cast<double>(s.centroidY) - s.lastCentroidY) * rate * 1000.0 * 0.25 +
                           0.75 * static_cast<double>(s.velocityY);
  if (interval != 0.0 && std::isfinite(interval) && fitsFloat(velocityX) && fitsFloat(velocityY)) {
    const float storedX = exactFloat(velocityX);
    const float storedY = exactFloat(velocityY);
    const double speed =
        std::sqrt(static_cast<double>(storedY) * storedY + static_cast<double>(storedX) * storedX);
    if (fitsFloat(speed)) {
      s.velocityX.store(storedX, std::memory_order_relaxed);
      s.velocityY = storedY;
      s.speed = exactFloat(speed);
      s.lastCentroidX = s.centroidX;
      s.lastCentroidY = s.centroidY;
    }
  }

  s.leftGain.store(exactFloat(std::sqrt(1.0 - s.centroidX)), std::memory_order_relaxed);
  s.rightGain.store(exactFloat(std::sqrt(static_cast<double>(s.centroidX))), std::memory_order_relaxed);
  leaveMotionLock();
}

void analyseMotion(const uint8_t* frameBytes) {
  if (analysisWidth <= 0 || analysisHeight <= 0) return;
  const MotionCounts counts = scanSamples(frameBytes);
  publishMotion(ignoreOverPercent < 100.0 ? ignoreSweepingChange(counts) : counts);
}
