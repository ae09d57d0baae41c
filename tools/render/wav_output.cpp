#include "tools/render/wav_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
WavOutput& ownerOf(void* user) { return *static_cast<WavOutput*>(user); }

// A failed call keeps its errno for the message: libsndfile reports only that
// fewer bytes went through.
sf_count_t failed(WavOutput& wav) {
  if (wav.writeError == 0) wav.writeError = errno != 0 ? errno : EIO;
  return -1;
}

sf_count_t descriptorLength(void* user) {
  struct stat status {};
  return fstat(ownerOf(user).output.descriptor, &status) == 0 ? status.st_size : -1;
}
sf_count_t descriptorSeek(sf_count_t offset, int whence, void* user) {
  const off_t at = lseek(ownerOf(user).output.descriptor, offset, whence);
  return at < 0 ? failed(ownerOf(user)) : at;
}
sf_count_t descriptorRead(void* data, sf_count_t count, void* user) {
  const ssize_t got = read(ownerOf(user).output.descriptor, data, static_cast<size_t>(count));
  return got < 0 ? 0 : got;
}
sf_count_t descriptorWrite(const void* data, sf_count_t count, void* user) {
  WavOutput& wav = ownerOf(user);
  const auto* bytes = static_cast<const char*>(data);
  sf_count_t done = 0;
  while (done < count) {
    const ssize_t wrote = write(wav.output.descriptor, bytes + done, static_cast<size_t>(count - done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      failed(wav);
      break;
    }
    done += wrote;
  }
  return done;
}
sf_count_t descriptorTell(void* user) { return lseek(ownerOf(user).output.descriptor, 0, SEEK_CUR); }

SF_VIRTUAL_IO descriptorCalls{descriptorLength, descriptorSeek, descriptorRead, descriptorWrite,
                              descriptorTell};
SF_VIRTUAL_IO* fileCalls = &descriptorCalls;

std::string reasonOf(const WavOutput& wav, const char* library) {
  return wav.writeError != 0 ? std::strerror(wav.writeError) : library;
}
}  // namespace

void setWavFileCalls(SF_VIRTUAL_IO* calls) { fileCalls = calls ? calls : &descriptorCalls; }

bool openWavOutput(WavOutput& wav, const std::string& path, std::string& error) {
  wav.file = nullptr;
  wav.writeError = 0;
  return openOutputFile(wav.output, path, error);
}

bool beginWavOutput(WavOutput& wav, int32_t sampleRate, uint64_t totalFrames, std::string& error) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 2;
  info.format = (totalFrames <= wavFrameLimit ? SF_FORMAT_WAV : SF_FORMAT_RF64) | SF_FORMAT_PCM_16;
  wav.file = sf_open_virtual(fileCalls, SFM_WRITE, &info, &wav);
  if (!wav.file) {
    error = reasonOf(wav, sf_strerror(nullptr));
    discardOutputFile(wav.output);
    return false;
  }
  return true;
}

bool writeWavFrames(WavOutput& wav, const int16_t* samples, uint32_t frames, std::string& error) {
  if (sf_writef_short(wav.file, samples, frames) != static_cast<sf_count_t>(frames) || wav.writeError != 0) {
    error = reasonOf(wav, sf_strerror(wav.file));
    return false;
  }
  return true;
}

bool finishWavOutput(WavOutput& wav, std::string& error) {
  if (!wav.file) {
    error = "no sound was rendered";
    discardOutputFile(wav.output);
    return false;
  }
  const int closed = sf_close(wav.file);
  wav.file = nullptr;
  if (closed != 0 || wav.writeError != 0) {
    error = reasonOf(wav, sf_error_number(closed));
    discardOutputFile(wav.output);
    return false;
  }
  return true;
}

bool commitWavOutput(WavOutput& wav, std::string& error) { return commitOutputFile(wav.output, error); }

void abandonWavOutput(WavOutput& wav) {
  if (wav.file) sf_close(wav.file);
  wav.file = nullptr;
  discardOutputFile(wav.output);
}
