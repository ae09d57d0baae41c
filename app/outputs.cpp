#include "app/outputs.h"

#include <algorithm>
#include <vector>

#include "audio/audio_library.h"
#include "display/preview_drawing.h"
#include "osc/osc_input.h"
#include "osc/osc_output.h"
#include "platform/diagnostics.h"
#include "platform/window.h"
#include "vision/preview_picture.h"

namespace {
struct Preview {
  bool wanted = false;
  bool open = false;
  bool toldNoPicture = false;
  int32_t loadedWidth = 0;  // the corner of the texture a picture fills
  int32_t loadedHeight = 0;
  double aspect = 1.0;  // the camera picture's width over its height
  std::vector<uint8_t> rgb;
  PreviewCross cross{};
};
Preview preview;

// Once the capture set-up has chosen a mode and made the difference texture.
bool openPreview() {
  int32_t textureWidth = 0, textureHeight = 0, width = 0, height = 0;
  previewTextureSize(textureWidth, textureHeight);
  if (textureWidth > 0 && textureHeight > 0 && openPreviewPictures()) previewPictureSize(width, height);
  if (width <= 0 || height <= 0) {
    if (!preview.toldNoPicture) diagnostic("display", "no camera picture to preview: the window stays black");
    preview.toldNoPicture = true;
    return false;
  }
  preview.open = true;
  // A picture wider or taller than the texture is shown at the texture's size.
  preview.loadedWidth = std::min(width, textureWidth);
  preview.loadedHeight = std::min(height, textureHeight);
  preview.aspect = static_cast<double>(width) / static_cast<double>(height);
  preview.rgb.assign(static_cast<size_t>(preview.loadedWidth) * static_cast<size_t>(preview.loadedHeight) * 3,
                     0);
  preview.cross = PreviewCross{};
  return true;
}
}  // namespace

bool chooseWindowPlacement(const ProgramOptions& options) {
  if (options.displayIndex > 0) {
    // Index 0 always exists where there is a display at all; a missing display
    // system is the window's own failure, with its own message.
    const int32_t displays = countDisplays();
    if (displays >= 0 && options.displayIndex >= displays) {
      diagnostic("tessaro", "there is no display %d: this machine has %d, numbered from 0 (--display-index)",
                 options.displayIndex, displays);
      return false;
    }
  }
  setWindowPlacement(WindowPlacement{options.fullscreen, options.displayIndex});
  return true;
}

void startMotionOutputs(const ProgramOptions& options) {
  std::vector<OscTarget> targets;
  for (const std::string& where : options.osc) {
    if (OscTarget target; parseOscTarget(where.c_str(), target)) targets.push_back(target);
  }
  if (!targets.empty()) startOscOutput(targets, OscSending::OwnThread);
  if (OscTarget where; !options.oscListen.empty() && parseListenAddress(options.oscListen.c_str(), where)) {
    startOscInput(where, OscControls{setOutputVolumeDb, setOutputMuted});
  }
  preview = Preview{};
  preview.wanted = options.preview;
}

void refreshPreview() {
  if (!preview.wanted || (!preview.open && !openPreview())) return;
  PreviewPicture picture{};
  if (takePreviewPicture(picture)) {
    colourPreviewPicture(picture, preview.rgb.data(), preview.loadedWidth, preview.loadedHeight);
    loadPreviewPicture(preview.rgb.data(), preview.loadedWidth, preview.loadedHeight);
    // Where the movement is centred, while anything moves.
    preview.cross =
        PreviewCross{picture.movingFraction > 0.0f, 1.0f - picture.centroidX, 1.0f - picture.centroidY};
  }
  drawPreview(preview.loadedWidth, preview.loadedHeight, preview.aspect, preview.cross);
  swapAppBuffers();
}

void stopMotionOutputs() {
  if (preview.open) closePreviewPictures();
  preview = Preview{};
  stopOscInput();
  stopOscOutput();
}
