#include "vision/preview_picture.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include "vision/frame_buffers.h"
#include "vision/motion_analysis.h"
#include "vision/motion_state.h"

namespace {
constexpr uint32_t slotMask = 3;
constexpr uint32_t freshBit = 4;  // on the middle slot: filled since the main thread last took one

struct SlotInfo {
  float movingFraction;
  float centroidX;
  float centroidY;
};

// The three buffers and who holds which: the camera thread fills `back`, the
// main thread reads `front`, and `middle` is the one between them.
struct PreviewExchange {
  std::atomic<uint8_t*> pictures{nullptr};  // three pictures in a row; null while closed
  int32_t width = 0;
  int32_t height = 0;
  SlotInfo info[3] = {};
  std::atomic<uint32_t> middle{1};
  uint32_t back = 0;   // the camera thread's
  uint32_t front = 2;  // the main thread's
  std::atomic<bool> copying{false};
  std::vector<uint8_t> mask;  // the analysis's, copied at the opening; empty: none
  int32_t threshold = 0;
};
PreviewExchange exchange;

size_t pictureBytes() { return static_cast<size_t>(exchange.width) * static_cast<size_t>(exchange.height); }

#if defined(__x86_64__)
// Sixteen samples at a time: three loads of 16 bytes hold 16 triples, and a
// shuffle of each picks the first byte of the triples that start in it.
__attribute__((target("ssse3"))) size_t copyGreyBlocks(const uint8_t* grey, uint8_t* difference,
                                                       size_t samples) {
  const __m128i first = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i second = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
  const __m128i third = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
  size_t i = 0;
  for (; i + 16 <= samples; i += 16) {
    const auto* triples = reinterpret_cast<const __m128i*>(grey + 3 * i);
    const __m128i picked = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(_mm_loadu_si128(triples), first),
                                                     _mm_shuffle_epi8(_mm_loadu_si128(triples + 1), second)),
                                        _mm_shuffle_epi8(_mm_loadu_si128(triples + 2), third));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(difference + i), picked);
  }
  return i;
}
bool blockCopyAvailable() { return __builtin_cpu_supports("ssse3"); }
#else
size_t copyGreyBlocks(const uint8_t*, uint8_t*, size_t) { return 0; }
bool blockCopyAvailable() { return false; }
#endif

// One grey byte of each RGB triple of the analysis's grey picture.
void copyGreyPicture(const uint8_t* grey, uint8_t* difference, size_t samples) {
  size_t i = blockCopyAvailable() ? copyGreyBlocks(grey, difference, samples) : 0;
  for (; i < samples; ++i) difference[i] = grey[3 * i];
}

using Rgb = std::array<uint8_t, 3>;
// The band's palette, or with a threshold: red where the change, 2d - 255 or
// one more, may have reached it either way.
constexpr std::array<Rgb, 256> makePalette(int threshold = 0) {
  std::array<Rgb, 256> palette{};
  for (int d = 0; d < 256; ++d) {
    const bool moving = threshold ? 2 * d - 254 >= threshold || 255 - 2 * d >= threshold
                                  : d > movingAbove || d < movingBelow;
    if (moving) {
      palette[d] = {previewMovingColour[0], previewMovingColour[1], previewMovingColour[2]};
    } else {
      // Inside the still band a change is at most 31 steps: four times that
      // still reads as grey, not as moving.
      const int change = d > 127 ? d - 127 : 127 - d;
      // (with a threshold the still band can be wider: the level stops at white)
      const auto level = static_cast<uint8_t>(change * 4 > 255 ? 255 : change * 4);
      palette[d] = {level, level, level};
    }
  }
  return palette;
}
constexpr std::array<Rgb, 256> palette = makePalette();

Rgb dimmed(const Rgb& colour) {
  return {static_cast<uint8_t>(colour[0] / 4), static_cast<uint8_t>(colour[1] / 4),
          static_cast<uint8_t>(colour[2] / 4 + previewIgnoredBlue)};
}
}  // namespace

bool openPreviewPictures() {
  closePreviewPictures();
  if (analysisWidth <= 0 || analysisHeight <= 0) return false;
  exchange.width = analysisWidth;
  exchange.height = analysisHeight;
  const size_t samples = static_cast<size_t>(analysisWidth) * static_cast<size_t>(analysisHeight);
  exchange.mask.assign(frameBuffers.mask, frameBuffers.mask ? frameBuffers.mask + samples : nullptr);
  exchange.threshold = motionThreshold();
  auto* pictures = static_cast<uint8_t*>(std::calloc(3, pictureBytes()));
  if (!pictures) return false;
  for (SlotInfo& info : exchange.info) info = SlotInfo{};
  exchange.middle.store(1, std::memory_order_relaxed);
  exchange.back = 0;
  exchange.front = 2;
  exchange.pictures.store(pictures, std::memory_order_seq_cst);
  return true;
}

void previewPictureSize(int32_t& width, int32_t& height) {
  const bool open = exchange.pictures.load(std::memory_order_relaxed) != nullptr;
  width = open ? exchange.width : 0;
  height = open ? exchange.height : 0;
}

void closePreviewPictures() {
  uint8_t* pictures = exchange.pictures.exchange(nullptr, std::memory_order_seq_cst);
  if (!pictures) return;
  // The camera thread marks a copy before it looks at the buffers, so once
  // it is not copying it has seen them gone.
  while (exchange.copying.load(std::memory_order_seq_cst)) std::this_thread::yield();
  std::free(pictures);
}

void publishPreviewPicture() {
  if (!exchange.pictures.load(std::memory_order_relaxed)) return;
  exchange.copying.store(true, std::memory_order_seq_cst);
  uint8_t* pictures = exchange.pictures.load(std::memory_order_seq_cst);
  // A mode changed since the opening would not fit the buffers.
  if (pictures && frameBuffers.greyImageOut && analysisWidth == exchange.width &&
      analysisHeight == exchange.height) {
    const uint32_t slot = exchange.back;
    copyGreyPicture(frameBuffers.greyImageOut, pictures + slot * pictureBytes(), pictureBytes());
    enterMotionLock();
    exchange.info[slot] = SlotInfo{motionState.movingFraction, motionState.centroidX, motionState.centroidY};
    leaveMotionLock();
    exchange.back = exchange.middle.exchange(slot | freshBit, std::memory_order_acq_rel) & slotMask;
  }
  exchange.copying.store(false, std::memory_order_release);
}

bool takePreviewPicture(PreviewPicture& picture) {
  uint8_t* pictures = exchange.pictures.load(std::memory_order_relaxed);
  if (!pictures || (exchange.middle.load(std::memory_order_relaxed) & freshBit) == 0) return false;
  exchange.front = exchange.middle.exchange(exchange.front, std::memory_order_acq_rel) & slotMask;
  const SlotInfo& info = exchange.info[exchange.front];
  picture = PreviewPicture{pictures + exchange.front * pictureBytes(),
                           exchange.width,
                           exchange.height,
                           info.movingFraction,
                           info.centroidX,
                           info.centroidY,
                           exchange.mask.empty() ? nullptr : exchange.mask.data(),
                           exchange.threshold};
  return true;
}

void colourPreviewPicture(const PreviewPicture& picture, uint8_t* rgb, int32_t width, int32_t height) {
  static std::array<Rgb, 256> tuned{};
  static int32_t tunedFor = 0;
  if (picture.threshold != 0 && picture.threshold != tunedFor) {
    tuned = makePalette(picture.threshold);
    tunedFor = picture.threshold;
  }
  const std::array<Rgb, 256>& colours = picture.threshold != 0 ? tuned : palette;
  for (int32_t r = 0; r < height; ++r) {
    const int64_t sourceRow = int64_t{r} * picture.height / height;
    const uint8_t* row = picture.difference + sourceRow * picture.width;
    const uint8_t* maskRow = picture.mask ? picture.mask + sourceRow * picture.width : nullptr;
    uint8_t* out = rgb + static_cast<size_t>(r) * static_cast<size_t>(width) * 3;
    for (int32_t c = 0; c < width; ++c) {
      const int64_t sourceColumn = width == picture.width ? c : int64_t{c} * picture.width / width;
      const Rgb& colour = colours[row[sourceColumn]];
      if (maskRow && maskRow[sourceColumn] == 0) {
        // An ignored sample never moves: its change in grey, dimmed.
        const Rgb& still = palette[row[sourceColumn] > movingAbove ? movingAbove
                                   : row[sourceColumn] < movingBelow ? movingBelow
                                                                     : row[sourceColumn]];
        std::memcpy(out + 3 * static_cast<size_t>(c), dimmed(still).data(), 3);
      } else {
        std::memcpy(out + 3 * static_cast<size_t>(c), colour.data(), 3);
      }
    }
  }
}
