#include "vision/preview_picture.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

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
constexpr std::array<Rgb, 256> makePalette() {
  std::array<Rgb, 256> palette{};
  for (int d = 0; d < 256; ++d) {
    if (d > movingAbove || d < movingBelow) {
      palette[d] = {previewMovingColour[0], previewMovingColour[1], previewMovingColour[2]};
    } else {
      // Inside the still band a change is at most 31 steps: four times that
      // still reads as grey, not as moving.
      const int change = d > 127 ? d - 127 : 127 - d;
      const auto level = static_cast<uint8_t>(change * 4 > 255 ? 255 : change * 4);
      palette[d] = {level, level, level};
    }
  }
  return palette;
}
constexpr std::array<Rgb, 256> palette = makePalette();
}  // namespace

bool openPreviewPictures() {
  closePreviewPictures();
  if (analysisWidth <= 0 || analysisHeight <= 0) return false;
  exchange.width = analysisWidth;
  exchange.height = analysisHeight;
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
                           info.centroidY};
  return true;
}

void colourPreviewPicture(const PreviewPicture& picture, uint8_t* rgb, int32_t width, int32_t height) {
  for (int32_t r = 0; r < height; ++r) {
    const int64_t sourceRow = int64_t{r} * picture.height / height;
    const uint8_t* row = picture.difference + sourceRow * picture.width;
    uint8_t* out = rgb + static_cast<size_t>(r) * static_cast<size_t>(width) * 3;
    for (int32_t c = 0; c < width; ++c) {
      const int64_t sourceColumn = width == picture.width ? c : int64_t{c} * picture.width / width;
      std::memcpy(out + 3 * static_cast<size_t>(c), palette[row[sourceColumn]].data(), 3);
    }
  }
}
