#include "display/scene_state.h"

#include "platform/window.h"
#include "display/texture_table.h"

#include <GL/gl.h>

#include <cstdlib>

const uint32_t materialFace = GL_FRONT_AND_BACK;
const uint32_t fogMode = GL_LINEAR;

namespace {
LightRecord lightTable[8] = {};
bool lightsInitialised = false;
MaterialRecord materialTable[64] = {};
float fogColour[4] = {};

BufferAllocator checkerBufferAllocator = std::malloc;
}  // namespace

std::span<LightRecord, 8> lightTableRecords() { return lightTable; }

bool lightsInitialisedFlag() { return lightsInitialised; }

std::span<const MaterialRecord, 64> materialTableRecords() { return materialTable; }

std::span<const float, 4> fogColourValues() { return fogColour; }

void clearLightTable() {
  for (LightRecord& record : lightTable) record = {};
  lightsInitialised = false;
}

void setCheckerBufferAllocator(BufferAllocator allocator) {
  checkerBufferAllocator = allocator ? allocator : std::malloc;
}

namespace {

constexpr int32_t checkerSize = 256;
constexpr int32_t checkerSquare = 16;

void setRgba(float* target, float r, float g, float b, float a) {
  target[0] = r;
  target[1] = g;
  target[2] = b;
  target[3] = a;
}

}  // namespace

void initLightRecord(LightRecord& record) {
  setRgba(record.ambient, 0.006f, 0.006f, 0.006f, 1.0f);
  setRgba(record.diffuse, 1.0f, 1.0f, 1.0f, 1.0f);
  setRgba(record.specular, 1.0f, 1.0f, 1.0f, 1.0f);
  setRgba(record.position, 0.0f, 0.0f, 2.0f, 1.0f);
  record.spotDirection[0] = 0.0f;
  record.spotDirection[1] = 0.0f;
  record.spotDirection[2] = -1.0f;
  record.spotCutoff = 180.0f;
  record.constantAttenuation = 1.0f;
  record.linearAttenuation = 0.0f;
  record.quadraticAttenuation = 0.025f;
}

void applyLightRecord(const LightRecord& record) {
  const GLenum light = static_cast<GLenum>(record.lightId);
  glLightfv(light, GL_AMBIENT, record.ambient);
  glLightfv(light, GL_DIFFUSE, record.diffuse);
  glLightfv(light, GL_SPECULAR, record.specular);
  glLightfv(light, GL_POSITION, record.position);
  glLightfv(light, GL_SPOT_DIRECTION, record.spotDirection);
  glLightf(light, GL_SPOT_CUTOFF, record.spotCutoff);
  glLightf(light, GL_CONSTANT_ATTENUATION, record.constantAttenuation);
  glLightf(light, GL_LINEAR_ATTENUATION, record.linearAttenuation);
  glLightf(light, GL_QUADRATIC_ATTENUATION, record.quadraticAttenuation);
}

void buildCheckerTexture() {
  constexpr size_t bytes = size_t{checkerSize} * checkerSize * 3;
  auto* texels = static_cast<uint8_t*>(checkerBufferAllocator(bytes));
  if (texels == nullptr) return;
  for (int32_t r = 0; r < checkerSize; ++r)
    for (int32_t c = 0; c < checkerSize; ++c) {
      const uint8_t v = ((r / checkerSquare + c / checkerSquare) % 2 == 1) ? 255 : 0;
      uint8_t* texel = texels + (size_t(r) * checkerSize + size_t(c)) * 3;
      texel[0] = texel[1] = texel[2] = v;
    }
  createTexture(texels, checkerSize, checkerSize, false);
  std::free(texels);
}

bool initSceneState() {
  // Both colour buffers black: the last picture ever presented.
  glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  swapAppBuffers();
  glClear(GL_COLOR_BUFFER_BIT);
  swapAppBuffers();

  buildCheckerTexture();
  glDisable(GL_TEXTURE_2D);
  glShadeModel(GL_SMOOTH);
  glClearDepth(1.0);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_FASTEST);

  if (!lightsInitialised) {
    for (int32_t n = 0; n < 8; ++n) lightTable[n].lightId = GL_LIGHT0 + n;
    for (LightRecord& record : lightTable) {
      initLightRecord(record);
      applyLightRecord(record);
    }
    lightsInitialised = true;
  }
  uint16_t lightMask = 1;
  for (const LightRecord& record : lightTable) {
    if (lightMask & 1) glEnable(static_cast<GLenum>(record.lightId));
    else glDisable(static_cast<GLenum>(record.lightId));
    lightMask = static_cast<uint16_t>(lightMask >> 1);
  }
  glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, 0);
  glLightModeli(GL_LIGHT_MODEL_LOCAL_VIEWER, 1);

  for (MaterialRecord& material : materialTable) {
    setRgba(material.ambient, 1.0f, 1.0f, 1.0f, 1.0f);
    setRgba(material.diffuse, 1.0f, 1.0f, 1.0f, 1.0f);
    setRgba(material.emission, 0.0f, 0.0f, 0.0f, 1.0f);
    setRgba(material.specular, 1.0f, 1.0f, 1.0f, 1.0f);
    material.shininess = 50.0f;
  }
  materialTable[0].shininess = 80.0f;
  glMaterialfv(materialFace, GL_AMBIENT, materialTable[0].ambient);
  glMaterialfv(materialFace, GL_DIFFUSE, materialTable[0].diffuse);
  glMaterialfv(materialFace, GL_SPECULAR, materialTable[0].specular);
  glMaterialfv(materialFace, GL_EMISSION, materialTable[0].emission);
  glMaterialf(materialFace, GL_SHININESS, materialTable[0].shininess);
  glColorMaterial(GL_FRONT_AND_BACK, GL_DIFFUSE);
  glEnable(GL_COLOR_MATERIAL);
  glEnable(GL_BLEND);

  glFogi(GL_FOG_MODE, static_cast<GLint>(fogMode));
  setRgba(fogColour, 0.25f, 0.25f, 0.25f, 1.0f);
  glFogfv(GL_FOG_COLOR, fogColour);
  glFogf(GL_FOG_DENSITY, 0.35f);
  glHint(GL_FOG_HINT, GL_NICEST);
  glFogf(GL_FOG_START, 1.0f);
  glFogf(GL_FOG_END, 6.0f);
  // Nothing clears again, so the window keeps showing black.
  glClearColor(fogColour[0], fogColour[1], fogColour[2], fogColour[3]);

  glEnable(GL_POINT_SMOOTH);
  glHint(GL_POINT_SMOOTH_HINT, GL_FASTEST);
  glPointSize(2.0f);
  glEnable(GL_LINE_SMOOTH);
  glLineWidth(1.0f);
  glHint(GL_LINE_SMOOTH_HINT, GL_NICEST);
  glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, 1);
  // Polygon mode stays GL_FILL for both faces.
  glEnable(GL_CULL_FACE);
  glCullFace(GL_BACK);
  glEnable(GL_NORMALIZE);
  return true;
}
