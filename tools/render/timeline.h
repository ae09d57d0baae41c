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

// The top of the moving-fraction lane: the smallest of 1, 2 or 5 times a
// power of ten (0.01 to 1) that holds 98 % of the points, because real rooms
// move 1 to 7 % of the picture and a start counts as all moving. Higher
// points are drawn at the top; the scale is printed on the lane.
double movingFractionScale(const Timeline& timeline);

// Draws the timeline as a PNG; false with a reason when it cannot be written.
bool drawTimeline(const Timeline& timeline, const std::string& path, std::string& error);
