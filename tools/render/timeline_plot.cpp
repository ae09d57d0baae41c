#include "tools/render/timeline.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int imageWidth = 1400;
constexpr int laneHeight = 110;
constexpr int laneGap = 18;
constexpr int marginLeft = 150;
constexpr int marginRight = 30;
constexpr int marginTop = 50;
constexpr int marginBottom = 60;
constexpr int laneCount = 7;

struct Lane {
  const char* title;
  double minValue;
  double maxValue;
  double red, green, blue;
};

struct Frame {
  cairo_t* cr;
  double plotLeft;
  double plotWidth;
  double duration;
};

double laneTop(int lane) { return marginTop + lane * (laneHeight + laneGap); }

double xAt(const Frame& f, double seconds) {
  return f.plotLeft + f.plotWidth * (f.duration > 0 ? seconds / f.duration : 0.0);
}

double yAt(const Lane& lane, int index, double value) {
  double span = lane.maxValue - lane.minValue;
  double norm = span > 0 ? (value - lane.minValue) / span : 0.0;
  norm = std::clamp(norm, 0.0, 1.0);
  return laneTop(index) + laneHeight * (1.0 - norm);
}

void drawText(cairo_t* cr, double x, double y, const char* text, bool alignRight = false) {
  cairo_text_extents_t ext;
  cairo_text_extents(cr, text, &ext);
  cairo_move_to(cr, alignRight ? x - ext.width - ext.x_bearing : x, y);
  cairo_show_text(cr, text);
}

void drawLaneFrame(const Frame& f, const Lane& lane, int index) {
  cairo_t* cr = f.cr;
  double top = laneTop(index);
  cairo_set_source_rgb(cr, 0.97, 0.97, 0.97);
  cairo_rectangle(cr, f.plotLeft, top, f.plotWidth, laneHeight);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0.6, 0.6, 0.6);
  cairo_set_line_width(cr, 1.0);
  cairo_rectangle(cr, f.plotLeft + 0.5, top + 0.5, f.plotWidth - 1, laneHeight - 1);
  cairo_stroke(cr);

  cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
  cairo_set_font_size(cr, 13);
  drawText(cr, 10, top + 16, lane.title);
  cairo_set_font_size(cr, 10);
  char label[32];
  std::snprintf(label, sizeof label, "%g", lane.maxValue);
  drawText(cr, f.plotLeft - 6, top + 10, label, true);
  std::snprintf(label, sizeof label, "%g", lane.minValue);
  drawText(cr, f.plotLeft - 6, top + laneHeight - 2, label, true);
}

template <typename Value>
void drawSeries(const Frame& f, const Timeline& t, const Lane& lane, int index, Value value) {
  if (t.points.empty()) return;
  cairo_t* cr = f.cr;
  cairo_set_source_rgb(cr, lane.red, lane.green, lane.blue);
  cairo_set_line_width(cr, 1.5);
  bool first = true;
  for (const TimelinePoint& p : t.points) {
    double x = xAt(f, p.seconds);
    double y = yAt(lane, index, value(p));
    if (first) cairo_move_to(cr, x, y);
    else cairo_line_to(cr, x, y);
    first = false;
  }
  cairo_stroke(cr);
}

// Min/max envelope of one channel, one column per pixel.
void drawWaveform(const Frame& f, const Timeline& t, const Lane& lane, int index, bool right) {
  size_t stretches = t.envelope.size();
  if (stretches == 0 || t.sampleRate <= 0) return;
  cairo_t* cr = f.cr;
  cairo_set_source_rgb(cr, lane.red, lane.green, lane.blue);
  cairo_set_line_width(cr, 1.0);
  const double stretchSeconds = double(t.envelopeFrames) / t.sampleRate;
  const int columns = static_cast<int>(f.plotWidth);
  for (int c = 0; c < columns; ++c) {
    const double from = f.duration * c / columns, to = f.duration * (c + 1) / columns;
    size_t begin = static_cast<size_t>(from / stretchSeconds);
    size_t end = std::max(begin + 1, static_cast<size_t>(std::ceil(to / stretchSeconds)));
    end = std::min(end, stretches);
    if (begin >= end) continue;
    int lo = 32767, hi = -32768;
    for (size_t i = begin; i < end; ++i) {
      const WaveEnvelope& e = t.envelope[i];
      lo = std::min(lo, int{right ? e.rightMin : e.leftMin});
      hi = std::max(hi, int{right ? e.rightMax : e.leftMax});
    }
    double x = f.plotLeft + c + 0.5;
    cairo_move_to(cr, x, yAt(lane, index, hi / 32768.0));
    cairo_line_to(cr, x, yAt(lane, index, lo / 32768.0) + 0.5);
  }
  cairo_stroke(cr);
}

void drawNotes(const Frame& f, const Timeline& t, int index) {
  // The note in play, as text along the tone lane, written when it changes.
  cairo_t* cr = f.cr;
  cairo_set_font_size(cr, 10);
  cairo_set_source_rgb(cr, 0.35, 0.2, 0.55);
  int last = -1;
  double lastX = -1e9;
  for (const TimelinePoint& p : t.points) {
    if (p.toneLevel < 0.01f) {
      last = -1;
      continue;
    }
    double x = xAt(f, p.seconds);
    if (p.note != last && x - lastX > 14) {
      char label[8];
      std::snprintf(label, sizeof label, "n%d", p.note);
      drawText(cr, x + 2, laneTop(index) + laneHeight - 4, label);
      lastX = x;
      last = p.note;
    }
  }
}

void drawTimeAxis(const Frame& f) {
  cairo_t* cr = f.cr;
  double bottom = laneTop(laneCount) - laneGap;
  cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
  cairo_set_font_size(cr, 11);
  cairo_set_line_width(cr, 1.0);
  double step = 1.0;
  while (f.duration / step > 30) step *= (step == 1.0 || step == 10.0) ? 5.0 : 2.0;
  for (double s = 0; s <= f.duration + 1e-9; s += step) {
    double x = xAt(f, s);
    cairo_move_to(cr, x + 0.5, bottom);
    cairo_line_to(cr, x + 0.5, bottom + 6);
    cairo_stroke(cr);
    char label[16];
    std::snprintf(label, sizeof label, "%g", s);
    cairo_text_extents_t ext;
    cairo_text_extents(cr, label, &ext);
    cairo_move_to(cr, x - ext.width / 2, bottom + 20);
    cairo_show_text(cr, label);
  }
  cairo_set_font_size(cr, 13);
  drawText(cr, f.plotLeft + f.plotWidth / 2 - 30, bottom + 42, "time (s)");
}

}  // namespace

double movingFractionScale(const Timeline& timeline) {
  std::vector<float> fractions;
  fractions.reserve(timeline.points.size());
  for (const TimelinePoint& p : timeline.points) fractions.push_back(p.movingFraction);
  if (fractions.empty()) return 1.0;
  const size_t held = (fractions.size() * 98 + 99) / 100 - 1;  // the 98th percentile's index
  std::nth_element(fractions.begin(), fractions.begin() + static_cast<std::ptrdiff_t>(held), fractions.end());
  const float level = fractions[held];
  for (const double scale : {0.01, 0.02, 0.05, 0.1, 0.2, 0.5}) {
    if (level <= static_cast<float>(scale)) return scale;
  }
  return 1.0;
}

bool drawTimeline(const Timeline& timeline, const std::string& path, std::string& error) {
  const int imageHeight = marginTop + laneCount * (laneHeight + laneGap) + marginBottom;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, imageWidth, imageHeight);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    error = "cannot create the picture";
    cairo_surface_destroy(surface);
    return false;
  }
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);

  double duration = timeline.seconds;
  Frame f{cr, marginLeft, imageWidth - marginLeft - marginRight, duration};

  float maxSpeed = 0.5f;
  for (const TimelinePoint& p : timeline.points) maxSpeed = std::max(maxSpeed, p.speed);
  maxSpeed = std::ceil(maxSpeed * 2.0f) / 2.0f;

  const double fractionTop = movingFractionScale(timeline);
  const Lane lanes[laneCount] = {
      {"moving fraction", 0, fractionTop, 0.1, 0.4, 0.8},    {"centroid x", 0, 1, 0.1, 0.6, 0.3},
      {"speed (/s)", 0, maxSpeed, 0.85, 0.4, 0.1}, {"tone level", 0, 0.6, 0.45, 0.2, 0.7},
      {"strike level, pan", -1, 1, 0.8, 0.1, 0.2}, {"left output", -1, 1, 0.2, 0.2, 0.2},
      {"right output", -1, 1, 0.2, 0.2, 0.2},
  };

  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_font_size(cr, 16);
  drawText(cr, marginLeft, 28, "Tessaro: what the installation heard");

  for (int i = 0; i < laneCount; ++i) drawLaneFrame(f, lanes[i], i);
  drawSeries(f, timeline, lanes[0], 0, [](const TimelinePoint& p) { return p.movingFraction; });
  cairo_set_font_size(cr, 10);
  cairo_set_source_rgb(cr, 0.1, 0.4, 0.8);
  char scaleNote[48];
  std::snprintf(scaleNote, sizeof scaleNote, "top = %g %% of the picture", 100.0 * fractionTop);
  drawText(cr, 10, laneTop(0) + 32, scaleNote);
  if (fractionTop < 1.0) drawText(cr, 10, laneTop(0) + 46, "(more: at the top)");
  drawSeries(f, timeline, lanes[1], 1, [](const TimelinePoint& p) { return p.centroidX; });
  drawSeries(f, timeline, lanes[2], 2, [](const TimelinePoint& p) { return p.speed; });
  drawSeries(f, timeline, lanes[3], 3, [](const TimelinePoint& p) { return p.toneLevel; });
  drawNotes(f, timeline, 3);
  // Strike level scaled to the lane's -1..1: 0.3, its full level, reaches the top.
  drawSeries(f, timeline, lanes[4], 4, [](const TimelinePoint& p) { return p.strikeLevel / 0.3f; });
  Lane pan = lanes[4];
  pan.red = 0.2;
  pan.green = 0.6;
  pan.blue = 0.6;
  drawSeries(f, timeline, pan, 4, [](const TimelinePoint& p) { return p.strikePan; });
  cairo_set_font_size(cr, 10);
  cairo_set_source_rgb(cr, 0.8, 0.1, 0.2);
  drawText(cr, 10, laneTop(4) + 32, "level (full = 1)");
  cairo_set_source_rgb(cr, 0.2, 0.6, 0.6);
  drawText(cr, 10, laneTop(4) + 46, "pan (-1 left, +1 right)");
  drawWaveform(f, timeline, lanes[5], 5, false);
  drawWaveform(f, timeline, lanes[6], 6, true);
  drawTimeAxis(f);

  cairo_destroy(cr);
  cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    error = cairo_status_to_string(status);
    return false;
  }
  return true;
}
