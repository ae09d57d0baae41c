#pragma once
// The set-up preview's picture. While the preview is open, the camera thread
// copies the grey difference picture the analysis just wrote (one value per
// sample) into one of three buffers after every frame and hands it over with
// one atomic exchange; the main thread takes the newest whole picture when it
// redraws. Neither side ever waits for the other: the camera thread always
// has a buffer of its own to fill, and the main thread keeps the one it took
// until it takes the next.
#include <cstdint>

struct PreviewPicture {
  const uint8_t* difference;  // width x height values, row by row, row 0 at the top
  int32_t width;
  int32_t height;
  // The motion record after the frame: whether anything moved, and where.
  float movingFraction;
  float centroidX;
  float centroidY;
  // How the analysis is tuned: 0xFF where watched, 0 where ignored (null: all
  // watched), and the threshold (0: the band).
  const uint8_t* mask = nullptr;
  int32_t threshold = 0;
};

// Main thread, once the capture mode is known: room for three pictures of
// the analysis size. False when there is no mode or no memory.
bool openPreviewPictures();
// Main thread: the size of the pictures the opening made room for; 0 x 0
// while closed.
void previewPictureSize(int32_t& width, int32_t& height);
// Main thread: nothing is handed over once this returns; a copy under way is
// waited for.
void closePreviewPictures();
// Camera thread, right after the analysis. Closed, it costs one relaxed load.
void publishPreviewPicture();
// Main thread: the newest picture if one came since the last take. It stays
// as it is until the next take or the close.
bool takePreviewPicture(PreviewPicture& picture);

// What the preview shows of a picture, as width x height RGB bytes (nearest
// sample when the sizes differ): black where nothing changed, grey the more a
// sample changed, red where it counts as moving; ignored parts dimmed, a
// quarter as bright on a dark blue veil. With a threshold, red where the
// difference value (half a grey level's resolution) may have reached it.
void colourPreviewPicture(const PreviewPicture& picture, uint8_t* rgb, int32_t width, int32_t height);
// The colour of moving samples, for those who look for them.
constexpr uint8_t previewMovingColour[3] = {255, 0, 0};
// The blue of the veil over ignored parts, added to a quarter of their colour.
constexpr uint8_t previewIgnoredBlue = 48;
