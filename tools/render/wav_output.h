#pragma once
#include <sndfile.h>

#include <cstdint>
#include <string>

#include "tools/render/output_file.h"

// A 16-bit stereo WAV written block by block into an OutputFile: it appears
// whole or not at all. A plain WAV header holds the data's length in 32 bits;
// a sound longer than that (about 6.7 hours at 44.1 kHz) is written as RF64,
// whose header holds it in 64, instead of a WAV whose header would hold the
// length modulo 2^32.
struct WavOutput {
  SNDFILE* file = nullptr;
  OutputFile output;
  int writeError = 0;  // errno of the first failed write
};

// The largest count of 16-bit stereo frames a plain WAV can hold.
constexpr uint64_t wavFrameLimit = (0xFFFFFFFFull - 1024) / 4;

// Each false comes with a reason for "cannot write 'OUT': REASON".
// Makes the partial file, so that an unusable path is refused before any work.
bool openWavOutput(WavOutput& wav, const std::string& path, std::string& error);
// Starts the sound file for exactly `totalFrames` frames: WAV when they fit, else RF64.
bool beginWavOutput(WavOutput& wav, int32_t sampleRate, uint64_t totalFrames, std::string& error);
bool writeWavFrames(WavOutput& wav, const int16_t* samples, uint32_t frames, std::string& error);
// Completes the header; the partial file stays until committed.
bool finishWavOutput(WavOutput& wav, std::string& error);
bool commitWavOutput(WavOutput& wav, std::string& error);
// Closes and removes what was written.
void abandonWavOutput(WavOutput& wav);

// Test seam: the calls through which libsndfile reaches the file (the user
// pointer is the WavOutput). nullptr restores the ones on its descriptor.
void setWavFileCalls(SF_VIRTUAL_IO* calls);
