// A video file as a camera: decoded with FFmpeg, looped, paced in real time.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <sys/stat.h>
#include <time.h>

#include <cmath>
#include <cstdio>

#include "platform/diagnostics.h"
#include "vision/capture_system.h"

namespace {
PicturePlacer picturePlacer = placeDecodedPicture;

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
  int result = avformat_open_input(&format, path, nullptr, nullptr);
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

double secondsNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

}  // namespace

// Decodes the next picture into the decoder's frame, rewinding at the end of
// the file. False when the file yields no picture at all.
bool nextPicture(CaptureRun& run) {
  FileStream& file = run.file;
  AVCodecContext* context = run.decoder.context;
  bool rewound = false;
  for (;;) {
    const int received = avcodec_receive_frame(context, run.decoder.frame);
    if (received == 0) return true;
    if (received == AVERROR_EOF) {
      if (rewound) return false;  // a whole pass without a picture
      avcodec_flush_buffers(context);
      if (av_seek_frame(file.format, file.streamIndex, 0, AVSEEK_FLAG_BACKWARD) < 0) {
        av_seek_frame(file.format, -1, 0, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_BYTE);
      }
      rewound = true;
      ++file.rewinds;
      continue;
    }
    if (received != AVERROR(EAGAIN)) return false;
    const int read = av_read_frame(file.format, run.decoder.packet);
    if (read < 0) {
      avcodec_send_packet(context, nullptr);  // drain what is left, then EOF
      continue;
    }
    if (run.decoder.packet->stream_index == file.streamIndex) {
      avcodec_send_packet(context, run.decoder.packet);  // a damaged packet is skipped
    }
    av_packet_unref(run.decoder.packet);
  }
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
  run.file = FileStream{format, index, streamRate(format, index), 0};
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

void runVideoFileCapture(CaptureRun& run) {
  const double interval = 1.0 / run.file.framesPerSecond;
  double due = secondsNow();
  // Once the file started over twice without a placed picture, every picture
  // was tried: none of them will ever be heard.
  uint32_t rewindsAtPlaced = run.file.rewinds;
  for (;;) {
    if (!nextPicture(run) || run.file.rewinds - rewindsAtPlaced >= 2) {
      diagnostic("camera", "Video file gives no pictures: capture ended.");
      return;
    }
    const double wait = due - secondsNow();
    if (wait > 0 && waitForStop(run, int(std::ceil(wait * 1000.0)))) return;
    if (wait <= 0 && waitForStop(run, 0)) return;
    if (placeVideoPicture(run)) {
      rewindsAtPlaced = run.file.rewinds;
      deliverFrame(run);
    }
    due += interval;
    // After a long stall, start the pace anew rather than rush to catch up.
    if (secondsNow() - due > 2 * interval) due = secondsNow();
  }
}

namespace {
std::string baseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Any other value of TESSARO_CAMERA is the path of a video file.
bool fileChosenBy(const char* choice) { return choice != nullptr; }

std::vector<CameraEntry> fileList(const char* choice) {
  CaptureMode mode{};
  std::string reason;
  if (!probeVideoFile(choice, mode, reason)) {
    diagnostic("camera", "Cannot use video file %s as a camera: %s", choice, reason.c_str());
    return {};
  }
  return {{&videoFileSource, choice, "Video file " + baseName(choice)}};
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
  return openVideoFile(camera.path.c_str(), run);
}

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

// The picture's own time; pictures without a time stamp follow the rate.
double pictureSeconds(OfflineCamera& camera) {
  const double byIndex = double(camera.frameIndex) / camera.framesPerSecond;
  const AVFrame* picture = camera.run.decoder.frame;
  const int64_t pts = picture->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) return byIndex;
  if (camera.frameIndex == 0) camera.firstPts = pts;
  const AVRational base = camera.run.file.format->streams[camera.run.file.streamIndex]->time_base;
  double seconds = double(pts - camera.firstPts) * av_q2d(base) + camera.loopOffset;
  if (camera.frameIndex > 0 && seconds <= camera.lastSeconds) {
    // The file started over: carry on one frame after where it ended.
    camera.loopOffset =
        camera.lastSeconds + 1.0 / camera.framesPerSecond - double(pts - camera.firstPts) * av_q2d(base);
    seconds = camera.lastSeconds + 1.0 / camera.framesPerSecond;
  }
  return seconds;
}

bool fileNextOffline(OfflineCamera& camera, double& seconds) {
  // A picture that cannot be placed is skipped, as the live camera drops it;
  // once the file started over twice without one, every picture was tried.
  const uint32_t rewinds = camera.run.file.rewinds;
  for (;;) {
    if (!nextPicture(camera.run) || camera.run.file.rewinds - rewinds >= 2) return false;
    seconds = pictureSeconds(camera);
    if (placeVideoPicture(camera.run)) return true;
  }
}

void fileCloseOffline(OfflineCamera& camera) { closeVideoFile(camera.run); }
}  // namespace

const CameraSource videoFileSource = {fileChosenBy,    fileList,        fileConnect,         fileDisconnect,
                                      codecName,       fileStart,       runVideoFileCapture, closeVideoFile,
                                      fileOpenOffline, fileNextOffline, fileCloseOffline};
