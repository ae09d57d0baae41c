#include "tools/render/wav_output.h"

#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool openWavOutput(WavOutput& wav, const std::string& path, int32_t sampleRate, std::string& error) {
  wav.path = path;
  wav.partialPath = path + ".partial";
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  const bool existed = access(wav.partialPath.c_str(), F_OK) == 0;
  errno = 0;  // so that a failure without one shows libsndfile's reason, not a stale one
  wav.file = sf_open(wav.partialPath.c_str(), SFM_WRITE, &info);
  if (!wav.file) {
    // libsndfile's text for an unopenable file is long; errno says it plainly.
    error = errno != 0 ? std::strerror(errno) : sf_strerror(nullptr);
    // It may have made the file before refusing to write it.
    if (!existed) unlink(wav.partialPath.c_str());
    return false;
  }
  return true;
}

bool writeWavFrames(WavOutput& wav, const int16_t* samples, uint32_t frames, std::string& error) {
  if (sf_writef_short(wav.file, samples, frames) != static_cast<sf_count_t>(frames)) {
    error = sf_strerror(wav.file);
    return false;
  }
  return true;
}

bool finishWavOutput(WavOutput& wav, std::string& error) {
  const int closed = sf_close(wav.file);
  wav.file = nullptr;
  if (closed != 0) {
    error = sf_error_number(closed);
  } else if (std::rename(wav.partialPath.c_str(), wav.path.c_str()) != 0) {
    error = std::strerror(errno);
  } else {
    return true;
  }
  unlink(wav.partialPath.c_str());
  return false;
}

void abandonWavOutput(WavOutput& wav) {
  if (wav.file) sf_close(wav.file);
  wav.file = nullptr;
  if (!wav.partialPath.empty()) unlink(wav.partialPath.c_str());
}
