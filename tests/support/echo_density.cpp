#include "support/echo_density.h"

#include <cmath>
#include <numbers>

std::vector<double> echoDensityProfile(const std::vector<double>& response, double sampleRate,
                                       double windowSeconds) {
  const auto half = static_cast<size_t>(std::lround(windowSeconds * sampleRate / 2.0));
  const size_t width = 2 * half + 1;
  std::vector<double> window(width);
  double total = 0.0;
  for (size_t i = 0; i < width; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i + 1) /
                                     static_cast<double>(width + 1));
    total += window[i];
  }
  for (double& w : window) w /= total;
  const double gaussianShare = std::erfc(1.0 / std::numbers::sqrt2);

  std::vector<double> profile(response.size(), 0.0);
  for (size_t centre = half; centre + half < response.size(); ++centre) {
    const double* x = response.data() + centre - half;
    double power = 0.0;
    for (size_t i = 0; i < width; ++i) power += window[i] * x[i] * x[i];
    const double deviation = std::sqrt(power);
    double outside = 0.0;
    for (size_t i = 0; i < width; ++i) {
      if (std::fabs(x[i]) > deviation) outside += window[i];
    }
    profile[centre] = outside / gaussianShare;
  }
  return profile;
}

double echoDensityTime(const std::vector<double>& profile, double sampleRate, double level) {
  for (size_t i = 0; i < profile.size(); ++i) {
    if (profile[i] >= level) return static_cast<double>(i) / sampleRate;
  }
  return -1.0;
}
