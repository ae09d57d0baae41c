// The offline renderer drives the installation's own code: the same request
// gives the same sound, and a block it renders is the block the live audio
// device receives from the same state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sound/audio_library.h"
#include "sound/audio_output.h"
#include "sound/synth_state.h"
#include "support/test_media.h"
#include "tools/render/render_core.h"
#include "tools/render/wav_output.h"
#include "vision/capture_offline.h"
#include "vision/capture_system.h"
#include "vision/frame_buffers.h"
#include "vision/frame_pipeline.h"
#include "vision/motion_state.h"

namespace {

bool collect(void* user, const int16_t* samples, uint32_t frames, std::string&) {
  auto* out = static_cast<std::vector<int16_t>*>(user);
  out->insert(out->end(), samples, samples + 2 * frames);
  return true;
}

bool refuse(void*, const int16_t*, uint32_t, std::string& error) {
  error = "disk full";
  return false;
}

std::vector<int16_t> renderDemo(double seconds, uint64_t seed, RenderResult& result) {
  std::vector<int16_t> samples;
  RenderRequest request{"demo", seconds, seed, false, collect, &samples};
  std::string error;
  EXPECT_TRUE(renderRecording(request, result, error)) << error;
  return samples;
}

TEST(Render, SameRequestSameSoundAndSeedChangesIt) {
  RenderResult first, second, reseeded;
  const std::vector<int16_t> a = renderDemo(8.0, 1234, first);
  const std::vector<int16_t> b = renderDemo(8.0, 1234, second);
  const std::vector<int16_t> c = renderDemo(8.0, 99, reseeded);
  ASSERT_EQ(a.size(), 2u * 8 * 44100);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);                              // the note cycle's random steps differ
  EXPECT_EQ(first.framesAnalysed, 8 * 30 - 2);  // frames up to 7.9 s
  EXPECT_GT(first.peakSample, 1000);
  EXPECT_EQ(first.timeline.points.size(), 80u);
  EXPECT_EQ(first.timeline.envelope.size(), 800u);
  EXPECT_GT(first.toneAudibleShare, 0.0);
  EXPECT_LE(first.toneAudibleShare, 1.0);
}

TEST(Render, ReportsSourceAndSinkFailures) {
  RenderResult result;
  std::string error;
  RenderRequest missing{"/nonexistent/recording.mp4", 1.0, 1, false, collect, nullptr};
  EXPECT_FALSE(renderRecording(missing, result, error));
  EXPECT_NE(error.find("cannot read video file '/nonexistent/recording.mp4'"), std::string::npos) << error;

  RenderRequest full{"demo", 1.0, 1, false, refuse, nullptr};
  EXPECT_FALSE(renderRecording(full, result, error));
  EXPECT_EQ(error, "disk full");
  // The library is left closed: a later render starts afresh.
  EXPECT_FALSE(BASS_Free());
}

TEST(WavOutput, AFailedOpeningGivesItsOwnReasonAndLeavesNothing) {
  const std::string folder = testing::TempDir() + "tessaro_wav_" + std::to_string(getpid());
  WavOutput wav{};
  std::string error;
  errno = ENOSPC;  // left over from something earlier
  EXPECT_FALSE(openWavOutput(wav, folder + "/missing/out.wav", 44100, error));
  EXPECT_EQ(error, std::strerror(ENOENT));

  // A rate libsndfile refuses before touching the file system: its own text.
  errno = ENOSPC;
  error.clear();
  EXPECT_FALSE(openWavOutput(wav, testing::TempDir() + "tessaro_wav_rate.wav", 0, error));
  EXPECT_NE(error, std::strerror(ENOSPC));
  EXPECT_FALSE(error.empty());
  const std::string partial = testing::TempDir() + "tessaro_wav_rate.wav.partial";
  EXPECT_NE(access(partial.c_str(), F_OK), 0) << "a partial file was left behind";
  std::remove(partial.c_str());
}

// Places a decoded picture only after refusing the first `placerRefusals`.
int placerCalls = 0;
int placerRefusals = 0;
bool refuseFirst(const AVFrame* picture, PictureDecoder& decoder, const LayoutTarget& target) {
  return ++placerCalls > placerRefusals && placeDecodedPicture(picture, decoder, target);
}

class UnplaceablePictures : public ::testing::Test {
 protected:
  void SetUp() override {
    placerCalls = placerRefusals = 0;
    setVideoPicturePlacer(refuseFirst);
  }
  void TearDown() override {
    setVideoPicturePlacer(nullptr);
    closeOfflineSource(source);
    std::remove(path.c_str());
  }
  const std::string path = testing::TempDir() + "tessaro_unplaceable_" + std::to_string(getpid()) + ".mkv";
  OfflineSource source{};
};

// Six pictures; refusing a thousand would end in a picture placed if the
// source kept looping through the file.
TEST_F(UnplaceablePictures, AFileWithoutOneGivesNoPicturesAfterAWholePass) {
  ASSERT_TRUE(writeGreyVideo(path, 160, 120, 10, {30, 70, 110, 150, 190, 230}));
  placerRefusals = 1000;
  RenderResult result;
  std::string error;
  std::vector<int16_t> samples;
  RenderRequest request{path, 1.0, 1, false, collect, &samples};
  EXPECT_FALSE(renderRecording(request, result, error));
  EXPECT_EQ(error, "'" + path + "' gives no pictures");
  EXPECT_GE(placerCalls, 6);   // each picture was tried
  EXPECT_LE(placerCalls, 12);  // within two passes

  // From the middle of the file: a few refused pictures across its end are
  // skipped, a whole file of them is not.
  std::string reason;
  ASSERT_TRUE(openOfflineSource(source, path.c_str(), reason)) << reason;
  FrameRecord frame{};
  double seconds = 0, before = 0;
  placerCalls = placerRefusals = 0;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(nextOfflineFrame(source, frame, before));
  placerCalls = 0;
  placerRefusals = 5;  // the last two and the first three
  ASSERT_TRUE(nextOfflineFrame(source, frame, seconds));
  EXPECT_EQ(placerCalls, 6);
  EXPECT_GT(seconds, before);
  placerCalls = 0;
  placerRefusals = 1000;
  EXPECT_FALSE(nextOfflineFrame(source, frame, seconds));
  EXPECT_GE(placerCalls, 6);
  EXPECT_LE(placerCalls, 12);
}

// Whole stereo frames from the start of a raw file, at most about six seconds.
std::vector<int16_t> readSamples(const std::string& path) {
  std::vector<int16_t> samples(2 * 256 * 1024);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(samples.data()), std::streamsize(samples.size() * 2));
  samples.resize(size_t(in.gcount()) / 4 * 2);
  return samples;
}

// Index of the first stereo frame that is not silent; the frame count when all are.
size_t firstSoundFrame(const std::vector<int16_t>& samples) {
  size_t frame = 0;
  while (2 * frame < samples.size() && samples[2 * frame] == 0 && samples[2 * frame + 1] == 0) ++frame;
  return frame;
}

// The first 4410 frames of sound that SDL's disk driver receives from the
// live set-up. The device may play silence before the stream starts; it is
// paced in real time, so that silence stays short.
std::vector<int16_t> liveFirstBlock() {
  const std::string path = testing::TempDir() + "tessaro_render_live_" + std::to_string(getpid()) + ".raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
  std::vector<int16_t> block;
  if (initAudio(nullptr) == 1) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const std::vector<int16_t> samples = readSamples(path);
      const size_t first = firstSoundFrame(samples);
      if (2 * first < samples.size() && samples.size() / 2 >= first + audioRequestFrames) break;
      if (std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    BASS_Free();
    const std::vector<int16_t> samples = readSamples(path);
    const size_t first = firstSoundFrame(samples);
    const size_t available = samples.size() / 2 > first ? samples.size() / 2 - first : 0;
    EXPECT_GE(available, size_t(audioRequestFrames)) << "frames of sound after " << first << " silent ones";
    const size_t taken = std::min<size_t>(available, audioRequestFrames);
    block.assign(samples.begin() + std::ptrdiff_t(2 * first),
                 samples.begin() + std::ptrdiff_t(2 * (first + taken)));
  } else {
    ADD_FAILURE() << "the disk audio device could not be opened";
  }
  unsetenv("SDL_AUDIODRIVER");
  unsetenv("SDL_DISKAUDIOFILE");
  std::remove(path.c_str());
  return block;
}

TEST(Render, FirstBlockEqualsWhatTheLiveDeviceReceives) {
  RenderResult result;
  const std::vector<int16_t> offline = renderDemo(0.1, 1234, result);
  ASSERT_EQ(result.framesAnalysed, 1);
  // The voices fade in from silence within a few frames; the live device may
  // play silence of its own first, so both are compared from their first sound.
  const size_t lead = firstSoundFrame(offline);
  ASSERT_LT(lead, audioRequestFrames / 10u);

  // The live path from the same start: the demo's first frame analysed, the
  // synthesis fresh with the same seed, then the real device set-up.
  OfflineSource source{};
  std::string reason;
  ASSERT_TRUE(openOfflineSource(source, "demo", reason)) << reason;
  ASSERT_TRUE(allocateFrameBuffers(source.width, source.height));
  resetMotionState();
  frameTiming = FrameTiming{};
  FrameRecord frame{};
  double seconds = 0;
  ASSERT_TRUE(nextOfflineFrame(source, frame, seconds));
  processFrame(&frame, 0.0f);
  closeOfflineSource(source);
  resetSynthState();
  seedNoteRandom(1234);

  const std::vector<int16_t> live = liveFirstBlock();
  ASSERT_EQ(offline.size(), live.size());
  const std::vector<int16_t> offlineSound(offline.begin() + std::ptrdiff_t(2 * lead), offline.end());
  const std::vector<int16_t> liveSound(live.begin(), live.end() - std::ptrdiff_t(2 * lead));
  EXPECT_EQ(offlineSound, liveSound);
  int peak = 0;
  for (int16_t v : live) peak = std::max(peak, std::abs(int{v}));
  EXPECT_GT(peak, 100);  // the first frame moves everywhere: the tone starts
}

}  // namespace
