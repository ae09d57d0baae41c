#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/test_seams.h"

// One light's parameters, 25 words, in the order they are sent.
struct LightRecord {
  float ambient[4];
  float diffuse[4];
  float specular[4];
  float position[4];
  float spotDirection[4];  // the fourth word is never read
  float spotCutoff;
  float constantAttenuation;
  float linearAttenuation;
  float quadraticAttenuation;
  int32_t lightId;  // GL_LIGHT0 + n
};
static_assert(sizeof(LightRecord) == 25 * 4);

struct MaterialRecord {
  float ambient[4];
  float diffuse[4];
  float specular[4];
  float emission[4];
  float shininess;
};

extern const uint32_t materialFace;  // GL_FRONT_AND_BACK
extern const uint32_t fogMode;       // GL_LINEAR

// The records initSceneState fills, kept in scene_state.cpp. The light
// table's records may be written before the set-up (tests plant values that
// it must leave alone).
std::span<LightRecord, 8> lightTableRecords();
bool lightsInitialisedFlag();
std::span<const MaterialRecord, 64> materialTableRecords();
std::span<const float, 4> fogColourValues();
// Zero-filled lights, not yet initialised, as at start-up.
void clearLightTable();

// Where buildCheckerTexture takes its temporary buffer: tests refuse it to
// see the set-up go on without the checkerboard. nullptr restores malloc.
void setCheckerBufferAllocator(BufferAllocator allocator);

// Needs the window's context current. Leaves both colour buffers black and
// the fixed rendering state set. Always true.
bool initSceneState();
// A 256 x 256 RGB board of 16 x 16 black and white squares, black at (0, 0).
void buildCheckerTexture();
// Defaults for every word but the spot direction's fourth and the light id.
void initLightRecord(LightRecord& record);
// Sends the record to the light named by its lightId.
void applyLightRecord(const LightRecord& record);
