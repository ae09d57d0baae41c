#pragma once
// Normalised echo density of an impulse response (Abel and Huang, "A simple,
// robust measure of reverberation echo density", AES 121st Convention, 2006):
// over a sliding Hann window, the window-weighted share of samples whose
// magnitude exceeds the window's weighted standard deviation, divided by the
// share expected for Gaussian noise, erfc(1 / sqrt 2) = 0.3173. Sparse early
// echoes give values near 0; a fully mixed (Gaussian) tail gives about 1.

#include <vector>

// The profile, one value per sample (window centre); samples closer to either
// end than half a window get 0.
std::vector<double> echoDensityProfile(const std::vector<double>& response, double sampleRate,
                                       double windowSeconds = 0.02);

// Seconds from the start until the profile first reaches `level`; negative
// when it never does.
double echoDensityTime(const std::vector<double>& profile, double sampleRate, double level);
