// A video file as a camera: decoded with FFmpeg, looped, paced in real time.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "camera/capture_system.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"

namespace {
PicturePlacer picturePlacer = placeDecodedPicture;
PacketReader packetReader = av_read_frame;

// Read errors in a row after which a file counts as unreadable from there on.
constexpr int maxReadErrors = 8;
// How far past a failed read the next read looks for pictures again.
constexpr double readErrorSkipSeconds = 1.0;
// How much shorter than its header says a file must end to count as cut
// short: a container's length may round or count a longer sound track.
constexpr double cutShortSeconds = 1.0;

std::string ffmpegError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

double streamRate(const AVFormatContext* format, int index) {
  AVStream* stream = format->streams[index];
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 25.0;  // containers without a rate: a common default
  return av_q2d(rate);
}

// Opens the file and its first video stream's decoder; on failure everything
// is closed again and `reason` says why.
bool openStream(const char* path, AVFormatContext*& format, int& index, AVCodecContext*& context,
                std::string& reason) {
  format = nullptr;
  context = nullptr;
  quietFfmpegLog();
  // Always a file: without the protocol's name FFmpeg would take "visit-10:15.mp4"
  // for a URL of the protocol "visit-10", and a file named "pipe:0" for standard input.
  const std::string url = std::string("file:") + path;
  int result = avformat_open_input(&format, url.c_str(), nullptr, nullptr);
  if (result < 0) {
    reason = ffmpegError(result);
    return false;
  }
  result = avformat_find_stream_info(format, nullptr);
  if (result < 0) {
    reason = ffmpegError(result);
    avformat_close_input(&format);
    return false;
  }
  const AVCodec* codec = nullptr;
  index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (index < 0 || !codec) {
    reason = index == AVERROR_DECODER_NOT_FOUND ? "no decoder for its video" : "no video stream";
    avformat_close_input(&format);
    return false;
  }
  const AVCodecParameters* parameters = format->streams[index]->codecpar;
  if (parameters->width <= 0 || parameters->height <= 0 || parameters->width > 8192 ||
      parameters->height > 8192) {
    reason = "unusable picture size";
    avformat_close_input(&format);
    return false;
  }
  context = avcodec_alloc_context3(codec);
  if (!context || avcodec_parameters_to_context(context, parameters) < 0) {
    reason = "out of memory";
    avcodec_free_context(&context);
    avformat_close_input(&format);
    return false;
  }
  context->thread_count = 1;
  result = avcodec_open2(context, codec, nullptr);
  if (result < 0) {
    reason = ffmpegError(result);
    avcodec_free_context(&context);
    avformat_close_input(&format);
    return false;
  }
  return true;
}

double secondsPerTick(const FileStream& file) {
  return av_q2d(file.format->streams[file.streamIndex]->time_base);
}

// A time stamp of the video stream in seconds from the file's start.
double streamSeconds(const FileStream& file, int64_t pts) {
  const AVStream* stream = file.format->streams[file.streamIndex];
  const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  return double(pts - start) * av_q2d(stream->time_base);
}

// Where the file was last read.
double readPosition(const FileStream& file) {
  return file.lastPacketPts == AV_NOPTS_VALUE ? 0.0 : streamSeconds(file, file.lastPacketPts);
}

// A file whose pictures end well before the length its header gives (cut
// short while copied or downloaded) is said once, when it first ends. A
// length the demuxer only guessed from the bit rate proves nothing.
void noteCutShort(FileStream& file) {
  const AVFormatContext* format = file.format;
  if (file.cutShort || format->duration <= 0 || format->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
    return;
  }
  const double header = double(format->duration) / AV_TIME_BASE;
  const double frame = 1.0 / file.framesPerSecond;
  const double end = readPosition(file) + frame;
  if (header - end <= std::max(cutShortSeconds, 2.0 * frame)) return;
  diagnostic("camera", "Video file ends at %.1f s, before the %.1f s its header gives: it is cut short.", end,
             header);
  file.cutShort = true;
}

// A read that failed in the middle of the file: the reads after it start a
// little further on. False, with a line, once the file cannot be read on.
bool skipPastReadError(CaptureRun& run, int error, int& errorsInARow, double& failedAt, int& firstError) {
  FileStream& file = run.file;
  if (errorsInARow++ == 0) {
    failedAt = readPosition(file);
    firstError = error;
  }
  if (errorsInARow >= maxReadErrors) {
    diagnostic("camera", "Video file cannot be read past %.1f s (%s): capture ended.", failedAt,
               ffmpegError(firstError).c_str());
    file.unreadable = true;
    return false;
  }
  const AVStream* stream = file.format->streams[file.streamIndex];
  const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  const double target = failedAt + readErrorSkipSeconds * errorsInARow;
  const auto ticks = int64_t(target / av_q2d(stream->time_base)) + start;
  if (av_seek_frame(file.format, file.streamIndex, ticks, 0) < 0) {
    // No index to seek by: on by bytes, as far as a second of the file's bit rate.
    const int64_t step = std::max<int64_t>(file.format->bit_rate / 8, 65536);
    av_seek_frame(file.format, -1, avio_tell(file.format->pb) + step, AVSEEK_FLAG_BYTE);
  }
  avcodec_flush_buffers(run.decoder.context);
  return true;
}
}  // namespace

// Decodes the next picture into the decoder's frame, rewinding at the end of
// the file. False when the file yields no picture at all, or cannot be read
// on (said in one line).
bool nextPicture(CaptureRun& run) {
  FileStream& file = run.file;
  AVCodecContext* context = run.decoder.context;
  bool rewound = false;
  int errorsInARow = 0, firstError = 0;
  double failedAt = 0.0;
  for (;;) {
    const int received = avcodec_receive_frame(context, run.decoder.frame);
    if (received == 0) return true;
    if (received == AVERROR_EOF) {
      if (rewound) return false;  // a whole pass without a picture
      noteCutShort(file);
      avcodec_flush_buffers(context);
      if (av_seek_frame(file.format, file.streamIndex, 0, AVSEEK_FLAG_BACKWARD) < 0) {
        av_seek_frame(file.format, -1, 0, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_BYTE);
      }
      rewound = true;
      ++file.rewinds;
      continue;
    }
    if (received != AVERROR(EAGAIN)) return false;
    const int read = packetReader(file.format, run.decoder.packet);
    if (read == AVERROR_EOF) {
      avcodec_send_packet(context, nullptr);  // drain what is left, then EOF
      continue;
    }
    if (read < 0) {
      if (!skipPastReadError(run, read, errorsInARow, failedAt, firstError)) return false;
      continue;
    }
    if (errorsInARow > 0) {  // reading goes on: one line for the part that was lost
      const int64_t pts = run.decoder.packet->pts;
      diagnostic("camera", "Video file read error at %.1f s (%s): playing on from %.1f s.", failedAt,
                 ffmpegError(firstError).c_str(),
                 pts == AV_NOPTS_VALUE ? failedAt : streamSeconds(file, pts));
      errorsInARow = 0;
    }
    if (run.decoder.packet->stream_index == file.streamIndex) {
      if (run.decoder.packet->pts != AV_NOPTS_VALUE) file.lastPacketPts = run.decoder.packet->pts;
      avcodec_send_packet(context, run.decoder.packet);  // a damaged packet is skipped
    }
    av_packet_unref(run.decoder.packet);
  }
}

void setVideoPacketReader(PacketReader reader) { packetReader = reader ? reader : av_read_frame; }

double stampPicture(PictureClock& clock, const AVFrame* picture, double secondsPerTick, uint32_t rewinds) {
  const double byIndex = double(clock.pictures) / clock.framesPerSecond;
  const int64_t pts = picture->best_effort_timestamp;
  const bool startedOver = clock.pictures > 0 && rewinds != clock.passes;
  clock.passes = rewinds;
  double seconds = byIndex;
  if (pts != AV_NOPTS_VALUE) {
    if (clock.pictures == 0) clock.firstPts = pts;
    const double inFile = double(pts - clock.firstPts) * secondsPerTick;
    // The seam is where the file ended, whatever its time stamps do: there
    // the next pass carries on one frame after where the last one ended.
    if (startedOver) clock.loopOffset = clock.lastSeconds + 1.0 / clock.framesPerSecond - inFile;
    seconds = inFile + clock.loopOffset;
    if (clock.pictures > 0 && seconds < clock.lastSeconds) seconds = clock.lastSeconds;
  }
  ++clock.pictures;
  clock.lastSeconds = seconds;
  return seconds;
}

bool probeVideoFile(const char* path, CaptureMode& mode, std::string& reason) {
  // FFmpeg would wait in open() for ever on a FIFO and read a device without
  // end: only regular files are video files.
  struct stat status {};
  if (stat(path, &status) == 0 && !S_ISREG(status.st_mode)) {
    reason = "not a regular file";
    return false;
  }
  AVFormatContext* format = nullptr;
  AVCodecContext* context = nullptr;
  int index = -1;
  if (!openStream(path, format, index, context, reason)) return false;
  const AVCodecParameters* parameters = format->streams[index]->codecpar;
  mode = {parameters->width, parameters->height, int32_t(std::lround(streamRate(format, index))),
          int32_t(parameters->codec_id)};
  if (mode.framesPerSecond < 1) mode.framesPerSecond = 1;
  avcodec_free_context(&context);
  avformat_close_input(&format);
  return true;
}

bool openVideoFile(const char* path, CaptureRun& run) {
  std::string reason;
  AVFormatContext* format = nullptr;
  AVCodecContext* context = nullptr;
  int index = -1;
  if (!openStream(path, format, index, context, reason)) {
    diagnostic("camera", "Cannot play video file %s: %s", path, reason.c_str());
    return false;
  }
  const double rate = streamRate(format, index);
  // Pictures without a time stamp, and a loop's seam, follow the mode's rate.
  const double modeRate = std::max(1.0, double(std::lround(rate)));
  run.file = FileStream{format, index, rate, 0, PictureClock{0, 0, 0.0, 0.0, modeRate, 0}, AV_NOPTS_VALUE, false,
                        false};
  run.decoder.context = context;
  run.decoder.frame = av_frame_alloc();
  run.decoder.packet = av_packet_alloc();
  if (!run.decoder.frame || !run.decoder.packet) {
    closeVideoFile(run);
    return false;
  }
  return true;
}

void closeVideoFile(CaptureRun& run) {
  closePictureDecoder(run.decoder);
  avformat_close_input(&run.file.format);
  run.file = {};
}

bool placeVideoPicture(CaptureRun& run) {
  const bool placed = picturePlacer(run.decoder.frame, run.decoder, run.target);
  av_frame_unref(run.decoder.frame);
  return placed;
}

void setVideoPicturePlacer(PicturePlacer placer) { picturePlacer = placer ? placer : placeDecodedPicture; }

namespace {
// A picture decoded ahead, with its time.
struct HeldPicture {
  AVFrame* frame;
  double seconds;
};

// Decodes the next picture into `held`, stamped. False when there is none.
bool decodeNext(CaptureRun& run, HeldPicture& held) {
  if (!nextPicture(run)) return false;
  held.seconds = stampPicture(run.file.clock, run.decoder.frame, secondsPerTick(run.file), run.file.rewinds);
  av_frame_unref(held.frame);
  av_frame_move_ref(held.frame, run.decoder.frame);
  return true;
}

// Dropping late pictures never goes on for longer than this without one
// delivered: a decoder slower than the file still shows something.
constexpr int64_t longestDropNanoseconds = 250000000;
}  // namespace

// Pictures are due at their time stamps from the first one on, as the
// renderer places them. Only the newest due picture is delivered: one that
// is due when the next already is, is dropped rather than sent in a burst
// (a burst gives the analysis a whole picture's motion in a moment).
void runVideoFileCapture(CaptureRun& run) {
  HeldPicture current{av_frame_alloc(), 0.0}, next{av_frame_alloc(), 0.0};
  // Once the file started over twice without a placed picture, every picture
  // was tried: none of them will ever be heard.
  uint32_t rewindsAtPlaced = run.file.rewinds;
  bool more = current.frame && next.frame && decodeNext(run, current);
  const int64_t start = monotonicNanoseconds() - int64_t(current.seconds * 1e9);
  int64_t lastDelivered = monotonicNanoseconds();
  auto dueAt = [&](const HeldPicture& picture) { return start + int64_t(picture.seconds * 1e9); };
  bool stopped = false;
  while (more && !stopped) {
    more = decodeNext(run, next);
    const int64_t now = monotonicNanoseconds();
    if (more && dueAt(next) <= now && now - lastDelivered < longestDropNanoseconds) {
      std::swap(current, next);  // the later picture is due already: this one is late
      stopped = waitForStop(run, 0);
      continue;
    }
    stopped = waitForStopUntil(run, dueAt(current));
    if (stopped) break;
    av_frame_unref(run.decoder.frame);
    av_frame_move_ref(run.decoder.frame, current.frame);
    if (placeVideoPicture(run)) {
      rewindsAtPlaced = run.file.rewinds;
      deliverFrame(run);
      lastDelivered = monotonicNanoseconds();
    }
    if (run.file.rewinds - rewindsAtPlaced >= 2) more = false;
    std::swap(current, next);
  }
  if (!stopped && !run.file.unreadable) diagnostic("camera", "Video file gives no pictures: capture ended.");
  av_frame_free(&current.frame);
  av_frame_free(&next.frame);
}

namespace {
std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Any other value of TESSARO_CAMERA is the path of a video file.
bool fileChosenBy(const char* choice) { return choice != nullptr; }

std::vector<CameraEntry> fileList(const char* choice, std::vector<CameraSkip>& skipped) {
  CaptureMode mode{};
  std::string reason;
  if (!probeVideoFile(choice, mode, reason)) {
    skipped.push_back({choice, "cannot be used as a video file: " + reason,
                       std::string("Cannot use video file ") + choice + " as a camera: " + reason});
    return {};
  }
  return {{&videoFileSource, choice, "Video file " + baseName(choice), "FFmpeg", ""}};
}

bool fileConnect(CaptureSystem& system, const CameraEntry& camera) {
  CaptureMode mode{};
  std::string reason;
  if (!probeVideoFile(camera.path.c_str(), mode, reason)) return false;
  system.modes.push_back(mode);
  return true;
}

void fileDisconnect(CaptureSystem&) {}

// A file's format code is FFmpeg's codec id.
std::string codecName(int32_t formatCode) { return avcodec_get_name(AVCodecID(formatCode)); }

bool fileStart(CaptureSystem&, const CameraEntry& camera, CaptureRun& run) {
  noteNoControls(run);
  return openVideoFile(camera.path.c_str(), run);
}

void fileStop(CaptureSystem&, CaptureRun& run) { closeVideoFile(run); }

bool fileOpenOffline(OfflineCamera& camera, const char* name, CaptureMode& mode, double& durationSeconds,
                     std::string& reason) {
  if (!probeVideoFile(name, mode, reason)) return false;
  if (!openVideoFile(name, camera.run)) {
    reason = "cannot be decoded";
    return false;
  }
  const int64_t duration = camera.run.file.format->duration;
  durationSeconds = duration > 0 ? double(duration) / AV_TIME_BASE : 0.0;
  return true;
}

bool fileNextOffline(OfflineCamera& camera, double& seconds) {
  // A picture that cannot be placed is skipped, as the live camera drops it;
  // once the file started over twice without one, every picture was tried.
  const uint32_t rewinds = camera.run.file.rewinds;
  for (;;) {
    if (!nextPicture(camera.run) || camera.run.file.rewinds - rewinds >= 2) return false;
    FileStream& file = camera.run.file;
    seconds = stampPicture(file.clock, camera.run.decoder.frame, secondsPerTick(file), file.rewinds);
    // The first picture after the end of a file cut short is where its pass ended.
    if (file.cutShort && camera.passEndSeconds == 0.0) camera.passEndSeconds = seconds;
    if (placeVideoPicture(camera.run)) return true;
  }
}

void fileCloseOffline(OfflineCamera& camera) { closeVideoFile(camera.run); }
}  // namespace

const CameraSource videoFileSource = {fileChosenBy,    fileList,        fileConnect,         fileDisconnect,
                                      codecName,       fileStart,       runVideoFileCapture, fileStop,
                                      fileOpenOffline, fileNextOffline, fileCloseOffline};
