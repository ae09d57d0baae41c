#include "tools/render/motion_csv.h"

#include <cerrno>
#include <cstring>

#include "sound/synth_state.h"

const char motionCsvHeader[] =
    "frame_ms,moving_fraction,centroid_x,centroid_y,velocity_x,velocity_y,speed,left_gain,right_gain,"
    "last_centroid_x,last_centroid_y,note,level_target,strike_band,strike_left_target,strike_right_target,"
    "pan_left,pan_right";

namespace {
MotionCsv& logOf(void* user) { return *static_cast<MotionCsv*>(user); }

bool keepError(MotionCsv& csv, std::string& error) {
  if (csv.writeError == 0) csv.writeError = errno != 0 ? errno : EIO;
  error = std::strerror(csv.writeError);
  return false;
}

bool frameAnalysed(void* user, float frameMs, const MotionValues& motion, std::string&) {
  logOf(user).waiting.push_back({frameMs, motion});
  return true;
}

bool synthesisCalled(void* user, const SynthTargets& targets, const SynthState& state, std::string& error) {
  MotionCsv& csv = logOf(user);
  for (const MotionCsv::Frame& f : csv.waiting) {
    const MotionValues& m = f.motion;
    errno = 0;
    const int written = std::fprintf(
        csv.stream,
        "%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%d,%.17g,%d,%.9g,%.9g,%.9g,%.17g\n",
        double{f.frameMs}, double{m.movingFraction}, double{m.centroidX}, double{m.centroidY},
        double{m.velocityX}, double{m.velocityY}, double{m.speed}, double{m.leftGain}, double{m.rightGain},
        double{m.lastCentroidX}, double{m.lastCentroidY}, currentNote(state), targets.levelTarget,
        targets.strikeBand, double{targets.strikeLeftTarget}, double{targets.strikeRightTarget},
        double{targets.panLeft}, targets.panRight);
    if (written < 0) return keepError(csv, error);
  }
  csv.waiting.clear();
  return true;
}
}  // namespace

const RenderTap motionCsvTap{frameAnalysed, synthesisCalled};

bool openMotionCsv(MotionCsv& csv, const std::string& path, std::string& error) {
  csv.stream = nullptr;
  csv.waiting.clear();
  csv.writeError = 0;
  if (!openOutputFile(csv.output, path, error)) return false;
  csv.stream = fdopen(csv.output.descriptor, "w");
  if (!csv.stream) {
    error = std::strerror(errno);
    discardOutputFile(csv.output);
    return false;
  }
  csv.output.descriptor = -1;  // the stream closes it
  errno = 0;
  if (std::fprintf(csv.stream, "%s\n", motionCsvHeader) < 0) {
    keepError(csv, error);
    abandonMotionCsv(csv);
    return false;
  }
  return true;
}

bool finishMotionCsv(MotionCsv& csv, std::string& error) {
  errno = 0;
  bool written = std::fflush(csv.stream) == 0 && !std::ferror(csv.stream);
  if (!written) keepError(csv, error);
  if (std::fclose(csv.stream) != 0 && written) written = keepError(csv, error);
  csv.stream = nullptr;
  if (!written) discardOutputFile(csv.output);
  return written;
}

bool commitMotionCsv(MotionCsv& csv, std::string& error) { return commitOutputFile(csv.output, error); }

void abandonMotionCsv(MotionCsv& csv) {
  if (csv.stream) std::fclose(csv.stream);
  csv.stream = nullptr;
  discardOutputFile(csv.output);
}
