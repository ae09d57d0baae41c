#pragma once
#include <cstdint>
#include <string>

typedef struct sf_private_tag SNDFILE;

// A 16-bit stereo WAV written block by block. The file appears whole or not
// at all: it is written beside the target and renamed into place at the end.
struct WavOutput {
  SNDFILE* file;
  std::string path;
  std::string partialPath;
};

bool openWavOutput(WavOutput& wav, const std::string& path, int32_t sampleRate, std::string& error);
bool writeWavFrames(WavOutput& wav, const int16_t* samples, uint32_t frames, std::string& error);
bool finishWavOutput(WavOutput& wav, std::string& error);
// Closes and removes what was written.
void abandonWavOutput(WavOutput& wav);
