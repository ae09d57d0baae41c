#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What the renderer heard, sampled once per audio request, for the picture.
struct TimelinePoint {
  double seconds;
  float movingFraction;
  float centroidX;
  float speed;
  float toneLevel;
  int32_t note;  // entry of the note table the tone voice plays
  float strikeLevel;
  float strikePan;  // -1 fully left .. +1 fully right
};

// Lowest and highest sample of each channel over one stretch of output.
struct WaveEnvelope {
  int16_t leftMin, leftMax, rightMin, rightMax;
};

struct Timeline {
  std::vector<TimelinePoint> points;
  std::vector<WaveEnvelope> envelope;  // one entry per envelopeFrames of output
  int32_t envelopeFrames;
  int32_t sampleRate;
  double seconds;
};

// Draws the timeline as a PNG; false with a reason when it cannot be written.
bool drawTimeline(const Timeline& timeline, const std::string& path, std::string& error);
