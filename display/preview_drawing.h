#pragma once
// The set-up preview in the window: a picture shown through the difference
// texture, over the largest part of the window that keeps the picture's
// shape, with black around it, and a cross. Main thread, with the window's
// rendering context current; every piece of rendering state it changes is
// put back, so the fixed scene state stays as it was set.
#include <cstdint>

// The largest picture the difference texture holds; 0 x 0 when there is none.
void previewTextureSize(int32_t& width, int32_t& height);

// Puts width x height RGB bytes, row 0 at the top, into the texture's corner.
// Both sizes must fit previewTextureSize.
void loadPreviewPicture(const uint8_t* rgb, int32_t width, int32_t height);

// Clears the whole window to black and draws the loaded width x height corner
// of the texture at the given shape (width over height); with `cross`, a
// green cross at (crossX, crossY), each from 0 to 1 across the picture from
// its left and from its top. The caller presents the buffer.
struct PreviewCross {
  bool shown;
  float x;
  float y;
};
void drawPreview(int32_t loadedWidth, int32_t loadedHeight, double aspect, const PreviewCross& cross);
