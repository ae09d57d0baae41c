#pragma once
#include <cstdint>

// The texture that holds the analysis's difference picture for display: made
// black at start-up for the capture mode; nothing updates or draws it. 0 until
// made.
extern uint32_t differenceTexture;

// Width 1024 from 640 columns, 256 up to 256 columns, else 512; height 256
// up to 256 rows, else 512.
void differenceTextureSize(int32_t width, int32_t height, int32_t& textureWidth, int32_t& textureHeight);

// Makes differenceTexture for a W x H mode if it does not exist yet, and only
// with a rendering context current: the offline renderer and the analysis
// tests have none.
void makeDifferenceTexture(int32_t width, int32_t height);
