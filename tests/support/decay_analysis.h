#pragma once
// Measuring tools for reverb tests: octave band-pass filtering and decay time
// by Schroeder backward integration.

#include <vector>

// Filters a signal in place with a 4th-order Butterworth high-pass at
// centre / sqrt(2) and a 4th-order Butterworth low-pass at centre x sqrt(2):
// the octave band around centreHz, with skirts steep enough (24 dB per octave)
// that a slowly decaying low band does not leak into a fast high one. When
// the upper corner lies above 0.45 x sampleRate the band runs up to the
// Nyquist frequency instead.
void octaveBandPass(std::vector<double>& signal, double centreHz, double sampleRate);

// Decay time (s) for 60 dB from a straight-line fit of the backward-integrated
// energy between fromDb and toDb (e.g. -5 and -35 for T30). Returns a negative
// value when the curve never reaches toDb.
double schroederDecayTime(const std::vector<double>& energy, double sampleRate, double fromDb = -5.0,
                          double toDb = -35.0);
