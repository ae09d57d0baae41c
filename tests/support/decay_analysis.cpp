#include "support/decay_analysis.h"

#include <cmath>
#include <numbers>

namespace {
struct Biquad {
  double b0, b1, b2, a1, a2;
};

Biquad section(double cornerHz, double sampleRate, bool highPass, double quality) {
  double w0 = 2.0 * std::numbers::pi * cornerHz / sampleRate;
  double cosW = std::cos(w0);
  double alpha = std::sin(w0) / (2.0 * quality);
  double a0 = 1.0 + alpha;
  double edge = highPass ? (1.0 + cosW) / 2.0 : (1.0 - cosW) / 2.0;
  double middle = highPass ? -(1.0 + cosW) : (1.0 - cosW);
  return {edge / a0, middle / a0, edge / a0, -2.0 * cosW / a0, (1.0 - alpha) / a0};
}

void run(const Biquad& f, std::vector<double>& x) {
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  for (double& v : x) {
    double y = f.b0 * v + f.b1 * x1 + f.b2 * x2 - f.a1 * y1 - f.a2 * y2;
    x2 = x1;
    x1 = v;
    y2 = y1;
    y1 = y;
    v = y;
  }
}
}  // namespace

void octaveBandPass(std::vector<double>& signal, double centreHz, double sampleRate) {
  // Near the Nyquist frequency the band simply runs up to it: a low-pass
  // corner there or beyond has no digital counterpart.
  const bool lowPass = centreHz * std::numbers::sqrt2 < 0.45 * sampleRate;
  // A 4th-order Butterworth response is two sections with these qualities.
  for (double quality : {0.54119610014619698, 1.3065629648763766}) {
    run(section(centreHz / std::numbers::sqrt2, sampleRate, true, quality), signal);
    if (lowPass) run(section(centreHz * std::numbers::sqrt2, sampleRate, false, quality), signal);
  }
}

double schroederDecayTime(const std::vector<double>& energy, double sampleRate, double fromDb, double toDb) {
  std::vector<double> backward(energy.size());
  double sum = 0.0;
  for (size_t i = energy.size(); i-- > 0;) {
    sum += energy[i];
    backward[i] = sum;
  }
  if (sum <= 0.0) return -1.0;
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  size_t count = 0;
  bool reached = false;
  for (size_t i = 0; i < backward.size(); ++i) {
    double db = 10.0 * std::log10(backward[i] / sum);
    if (db < toDb) {
      reached = true;
      break;
    }
    if (db > fromDb) continue;
    double t = static_cast<double>(i) / sampleRate;
    sx += t;
    sy += db;
    sxx += t * t;
    sxy += t * db;
    ++count;
  }
  if (!reached || count < 2) return -1.0;
  double n = static_cast<double>(count);
  double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  return -60.0 / slope;
}
