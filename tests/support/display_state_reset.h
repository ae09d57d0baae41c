#pragma once
// Puts every process-wide display record back to its start-up value, so GL
// tests sharing one process do not see each other's textures and lists.
#include "display/difference_texture.h"
#include "display/font_atlas.h"
#include "display/scene_state.h"
#include "display/texture_table.h"
#include "resources/embedded_resources.h"
#include "support/gl_context.h"

inline void resetDisplayState() {
  setEmbeddedResources(nullptr);
  clearTextureTable();
  clearLightTable();
  clearFontAtlas();
  differenceTexture = 0;
  setCheckerBufferAllocator(nullptr);
  setRgbaBufferAllocator(nullptr);
}

// A GL test that starts and ends with the display records as at start-up.
class DisplayStateTest : public GlContextTest {
 protected:
  void SetUp() override {
    GlContextTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    resetDisplayState();
  }
  void TearDown() override {
    resetDisplayState();
    GlContextTest::TearDown();
  }
};
