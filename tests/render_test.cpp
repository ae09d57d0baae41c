// The offline renderer drives the installation's own code: the same request
// gives the same sound, and a block it renders is the block the live audio
// device receives from the same state.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_library.h"
#include "camera/capture_offline.h"
#include "camera/capture_system.h"
#include "sound/audio_output.h"
#include "sound/synth_state.h"
#include "support/test_media.h"
#include "tools/render/motion_csv.h"
#include "tools/render/render_core.h"
#include "tools/render/wav_output.h"
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

// Half the gain on the rendered sound: a sample that was 2n without it is n
// with it; one that was odd lay between two halves and rounds to either.
// A fade-in starts from silence and leaves everything after it as it was.
TEST(Render, TheLoudnessOptionsShapeTheRenderedSamples) {
  // The level outlives a render: later tests in this process start at 0 dB with no fade.
  struct LevelReset {
    ~LevelReset() {
      setOutputVolumeDb(0.0);
      setOutputFadeIn(0.0);
    }
  } reset;
  RenderResult result;
  const std::vector<int16_t> plain = renderDemo(6.0, 1234, result);
  std::vector<int16_t> halved, faded;
  RenderRequest request{"demo", 6.0, 1234, false, collect, &halved};
  request.volumeDb = -20.0 * std::log10(2.0);
  std::string error;
  ASSERT_TRUE(renderRecording(request, result, error)) << error;
  request = RenderRequest{"demo", 6.0, 1234, false, collect, &faded};
  request.fadeInSeconds = 2.0;
  ASSERT_TRUE(renderRecording(request, result, error)) << error;
  ASSERT_EQ(halved.size(), plain.size());
  ASSERT_EQ(faded.size(), plain.size());
  size_t sounding = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    const int32_t w = plain[i], v = halved[i];
    if (w == 32767 || w == -32768) continue;
    sounding += w != 0;
    if (w % 2 == 0) ASSERT_EQ(2 * v, w) << i;
    else ASSERT_TRUE(2 * v == w - 1 || 2 * v == w + 1) << i << ": " << w << " became " << v;
  }
  EXPECT_GT(sounding, plain.size() / 2);
  EXPECT_EQ(faded[0], 0);
  EXPECT_EQ(faded[1], 0);
  EXPECT_TRUE(std::equal(faded.begin() + 2 * 2 * 44100, faded.end(), plain.begin() + 2 * 2 * 44100));
  EXPECT_FALSE(std::equal(faded.begin() + 2 * 22050, faded.begin() + 2 * 2 * 44100, plain.begin() + 2 * 22050));
}

// The moving-fraction lane's top holds 98 % of the points, in steps of 1, 2
// and 5: one start frame of all moving does not flatten a room's few percent.
TEST(Timeline, MovingFractionLaneScalesToTheRecording) {
  const struct {
    std::vector<float> fractions;
    double top;
  } cases[] = {{{}, 1.0},
               {{0.0f, 0.0f}, 0.01},
               {{0.03f, 0.01f, 0.07f, 0.02f}, 0.1},
               {{0.05f, 0.05f, 0.05f}, 0.05},
               {{0.8f, 0.9f}, 1.0}};
  for (const auto& c : cases) {
    Timeline timeline{};
    for (const float f : c.fractions) timeline.points.push_back(TimelinePoint{0.0, f, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(movingFractionScale(timeline), c.top) << c.fractions.size();
  }
  // A minute of a room moving 3 % after a start that moved all of it.
  Timeline minute{};
  minute.points.assign(600, TimelinePoint{0.0, 0.03f, 0, 0, 0, 0, 0, 0});
  minute.points[0].movingFraction = 1.0f;
  minute.points[1].movingFraction = 0.6f;
  EXPECT_EQ(movingFractionScale(minute), 0.05);
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

// Names in `folder` that begin with `prefix`: what an output left behind.
std::vector<std::string> filesBeginning(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

TEST(WavOutput, AFailedOpeningGivesItsOwnReasonAndLeavesNothing) {
  const std::string folder = testing::TempDir() + "tessaro_wav_" + std::to_string(getpid());
  WavOutput wav{};
  std::string error;
  errno = ENOSPC;  // left over from something earlier
  EXPECT_FALSE(openWavOutput(wav, folder + "/missing/out.wav", error));
  EXPECT_EQ(error, std::strerror(ENOENT));

  // A rate libsndfile refuses before writing anything: its own text.
  const std::string name = "tessaro_wav_rate_" + std::to_string(getpid()) + ".wav";
  ASSERT_TRUE(openWavOutput(wav, testing::TempDir() + name, error)) << error;
  errno = ENOSPC;
  error.clear();
  EXPECT_FALSE(beginWavOutput(wav, 0, 44100, error));
  EXPECT_NE(error, std::strerror(ENOSPC));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(filesBeginning(testing::TempDir(), name), std::vector<std::string>{})
      << "a partial file was left";
}

// A file that keeps only its first bytes and its length, as libsndfile sees
// it: lets a header be read after gigabytes were written.
struct LengthOnlyFile {
  std::vector<unsigned char> head = std::vector<unsigned char>(4096);
  sf_count_t length = 0, position = 0;
} lengthOnly;
sf_count_t lengthOnlySize(void*) { return lengthOnly.length; }
sf_count_t lengthOnlySeek(sf_count_t offset, int whence, void*) {
  lengthOnly.position = (whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? lengthOnly.position
                                              : lengthOnly.length) +
                        offset;
  return lengthOnly.position;
}
sf_count_t lengthOnlyRead(void*, sf_count_t, void*) { return 0; }
sf_count_t lengthOnlyWrite(const void* data, sf_count_t count, void*) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (sf_count_t i = 0; i < count && lengthOnly.position + i < sf_count_t(lengthOnly.head.size()); ++i) {
    lengthOnly.head[size_t(lengthOnly.position + i)] = bytes[i];
  }
  lengthOnly.position += count;
  lengthOnly.length = std::max(lengthOnly.length, lengthOnly.position);
  return count;
}
sf_count_t lengthOnlyTell(void*) { return lengthOnly.position; }
SF_VIRTUAL_IO lengthOnlyCalls{lengthOnlySize, lengthOnlySeek, lengthOnlyRead, lengthOnlyWrite,
                              lengthOnlyTell};

uint32_t u32At(const std::vector<unsigned char>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint64_t u64At(const std::vector<unsigned char>& b, size_t at) {
  return uint64_t(u32At(b, at)) | uint64_t(u32At(b, at + 4)) << 32;
}

// A WAV header holds the data's length in 32 bits: a longer sound is RF64,
// whose ds64 chunk holds it in 64, and any sound that fits stays a plain WAV.
TEST(WavOutput, SoundLongerThanAWavHeaderHoldsIsWrittenAsRf64) {
  const std::string path = testing::TempDir() + "tessaro_rf64_" + std::to_string(getpid()) + ".wav";
  const std::vector<int16_t> block(2 * 262144);  // 1 MiB of silence
  for (const uint64_t frames : {uint64_t{44100}, wavFrameLimit, wavFrameLimit + 1}) {
    SCOPED_TRACE(frames);
    lengthOnly = LengthOnlyFile{};
    setWavFileCalls(&lengthOnlyCalls);
    WavOutput wav{};
    std::string error;
    ASSERT_TRUE(openWavOutput(wav, path, error)) << error;
    ASSERT_TRUE(beginWavOutput(wav, 44100, frames, error)) << error;
    for (uint64_t done = 0; done < frames;) {
      const auto n = static_cast<uint32_t>(std::min<uint64_t>(block.size() / 2, frames - done));
      ASSERT_TRUE(writeWavFrames(wav, block.data(), n, error)) << error;
      done += n;
    }
    ASSERT_TRUE(finishWavOutput(wav, error)) << error;
    abandonWavOutput(wav);
    setWavFileCalls(nullptr);

    const std::vector<unsigned char>& h = lengthOnly.head;
    const std::string kind(h.begin(), h.begin() + 4);
    const uint64_t dataBytes = 4 * frames;
    ASSERT_EQ(kind, frames <= wavFrameLimit ? "RIFF" : "RF64");
    if (kind == "RIFF") {
      EXPECT_EQ(u32At(h, 4), uint64_t(lengthOnly.length) - 8);
      EXPECT_EQ(u32At(h, 40), dataBytes);  // the data chunk of the 44-byte header
      EXPECT_EQ(uint64_t(lengthOnly.length), 44 + dataBytes);
    } else {
      EXPECT_EQ(std::string(h.begin() + 12, h.begin() + 16), "ds64");
      EXPECT_EQ(u64At(h, 20), uint64_t(lengthOnly.length) - 8);  // the whole file
      EXPECT_EQ(u64At(h, 28), dataBytes);                        // its data
      EXPECT_EQ(u64At(h, 36), frames);                           // its frames
    }
  }
  EXPECT_EQ(filesBeginning(testing::TempDir(), "tessaro_rf64_" + std::to_string(getpid())),
            std::vector<std::string>{});
}

// The motion log, read back, holds the bits of the analysis run directly on
// the same frames at the same times; each row's voice values are those of the
// synthesis call after it, whose loudness target follows the moving fraction
// of the last frame before that call.
TEST(MotionCsv, RowsReadBackToTheBitsOfTheAnalysisRunDirectly) {
  const std::string base = testing::TempDir() + "tessaro_csv_" + std::to_string(getpid());
  const std::string clip = base + ".mkv", csvPath = base + ".csv";
  // A white block crossing a black picture, losslessly encoded.
  ASSERT_TRUE(
      makeLosslessClip(clip,
                       "-f lavfi -i color=c=black:s=160x120:r=15 -f lavfi -i color=c=white:s=40x60:r=15 "
                       "-filter_complex \"[0][1]overlay=x='mod(t*90,160)':y=20\"",
                       2.0))
      << "could not make the test clip with the ffmpeg command";

  struct Direct {
    double seconds;
    float frameMs;
    MotionValues motion;
  };
  std::vector<Direct> direct;
  OfflineSource source{};
  std::string reason;
  ASSERT_TRUE(openOfflineSource(source, clip.c_str(), reason)) << reason;
  ASSERT_TRUE(allocateFrameBuffers(source.width, source.height));
  resetMotionState();
  frameTiming = FrameTiming{};
  FrameRecord frame{};
  double seconds = 0.0;
  // The source loops: one pass of the 2 s clip is 30 frames.
  while (direct.size() < 30 && nextOfflineFrame(source, frame, seconds)) {
    processFrame(&frame, static_cast<float>(seconds * 1000.0));
    direct.push_back({seconds, frameTiming.frameTime, copyMotionState()});
  }
  closeOfflineSource(source);
  ASSERT_GE(direct.size(), 25u);

  MotionCsv csv;
  std::string error;
  ASSERT_TRUE(openMotionCsv(csv, csvPath, error)) << error;
  RenderRequest request{clip, 0.0, 1, false, nullptr, nullptr};
  request.tap = &motionCsvTap;
  request.tapUser = &csv;
  RenderResult result;
  ASSERT_TRUE(renderRecording(request, result, error)) << error;
  ASSERT_TRUE(finishMotionCsv(csv, error)) << error;
  ASSERT_TRUE(commitMotionCsv(csv, error)) << error;

  std::ifstream in(csvPath);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, motionCsvHeader);
  std::vector<std::vector<std::string>> rows;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
    ASSERT_EQ(fields.size(), 18u) << line;
    rows.push_back(fields);
  }
  std::remove(csvPath.c_str());
  std::remove(clip.c_str());
  ASSERT_EQ(rows.size(), size_t(result.framesAnalysed));
  ASSERT_LE(rows.size(), direct.size());

  const auto bits = [](float v) { return std::bit_cast<uint32_t>(v); };
  const auto readFloat = [](const std::string& text) { return std::strtof(text.c_str(), nullptr); };
  int moving = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    const std::vector<std::string>& r = rows[i];
    const MotionValues& m = direct[i].motion;
    const float expected[11] = {direct[i].frameMs, m.movingFraction, m.centroidX,    m.centroidY,
                                m.velocityX,       m.velocityY,      m.speed,        m.leftGain,
                                m.rightGain,       m.lastCentroidX,  m.lastCentroidY};
    for (size_t c = 0; c < 11; ++c) EXPECT_EQ(bits(readFloat(r[c])), bits(expected[c])) << "column " << c;
    moving += m.movingFraction > 0.0f;
    // The synthesis call after frame i is that of the first 100 ms request that
    // starts at or after its time.
    const auto requestStart = [](uint64_t k) { return static_cast<double>(k * 4410) / 44100.0; };
    uint64_t k = 0;
    while (requestStart(k) < direct[i].seconds) ++k;
    const double call = requestStart(k);
    size_t last = i;
    while (last + 1 < rows.size() && direct[last + 1].seconds <= call) ++last;
    const float fraction = direct[last].motion.movingFraction;
    const double target = fraction > 0.001 ? 0.55 * std::pow(double{fraction}, 0.125) : 0.0;
    EXPECT_EQ(std::strtod(r[12].c_str(), nullptr), target);
  }
  EXPECT_GT(moving, 10);
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
