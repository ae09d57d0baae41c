#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "camera/capture_v4l2.h"

const char* fieldProblem(uint32_t field) {
  switch (field) {
    case V4L2_FIELD_ALTERNATE: return "each field in a buffer of its own, half a picture high";
    case V4L2_FIELD_TOP:
    case V4L2_FIELD_BOTTOM: return "a single field, half a picture high";
    case V4L2_FIELD_SEQ_TB:
    case V4L2_FIELD_SEQ_BT: return "its two fields one after the other";
    default: return nullptr;
  }
}

int32_t roundedRate(const v4l2_fract& interval) {
  if (interval.numerator == 0 || interval.denominator == 0) return 0;
  return int32_t((uint64_t(interval.denominator) + interval.numerator / 2) / interval.numerator);
}

namespace {
// Whether the driver sends whole frames of the format (asked for
// progressive frames at a size it has); a driver that cannot say is believed.
const char* fieldProblemOf(int fd, uint32_t fourcc, uint32_t width, uint32_t height) {
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.pixelformat = fourcc;
  format.fmt.pix.width = width;
  format.fmt.pix.height = height;
  format.fmt.pix.field = V4L2_FIELD_NONE;
  if (deviceIoctl(fd, VIDIOC_TRY_FMT, &format) < 0) return nullptr;
  return fieldProblem(format.fmt.pix.field);
}

void addMode(std::vector<CaptureMode>& modes, uint32_t fourcc, uint32_t width, uint32_t height,
             int32_t rate) {
  if (width == 0 || height == 0 || width > 8192 || height > 8192) return;
  modes.push_back({int32_t(width), int32_t(height), rate, int32_t(fourcc)});
}

// The rates of one format and size, each a mode; a range gives its two ends.
void addRates(int fd, std::vector<CaptureMode>& modes, uint32_t fourcc, uint32_t width, uint32_t height) {
  v4l2_frmivalenum ival{};
  ival.pixel_format = fourcc;
  ival.width = width;
  ival.height = height;
  if (deviceIoctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) < 0) {
    addMode(modes, fourcc, width, height, 0);  // the driver does not say
    return;
  }
  if (ival.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
    const int32_t fastest = roundedRate(ival.stepwise.min);
    const int32_t slowest = roundedRate(ival.stepwise.max);
    addMode(modes, fourcc, width, height, fastest);
    if (slowest != fastest) addMode(modes, fourcc, width, height, slowest);
    return;
  }
  for (;;) {
    addMode(modes, fourcc, width, height, roundedRate(ival.discrete));
    ++ival.index;
    if (deviceIoctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) < 0 || ival.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
      break;
    }
  }
}

// A size range (STEPWISE or CONTINUOUS) gives 640 x 480, the size the
// analysis is made for, when the range holds it, then its two ends.
void addRange(int fd, std::vector<CaptureMode>& modes, uint32_t fourcc, const v4l2_frmsize_stepwise& range) {
  auto holds = [](uint32_t value, uint32_t low, uint32_t high, uint32_t step) {
    return value >= low && value <= high && (value - low) % std::max(step, 1u) == 0;
  };
  const bool standard = holds(640, range.min_width, range.max_width, range.step_width) &&
                        holds(480, range.min_height, range.max_height, range.step_height);
  if (standard) addRates(fd, modes, fourcc, 640, 480);
  if (!standard || range.min_width != 640 || range.min_height != 480) {
    addRates(fd, modes, fourcc, range.min_width, range.min_height);
  }
  if ((range.max_width != range.min_width || range.max_height != range.min_height) &&
      (!standard || range.max_width != 640 || range.max_height != 480)) {
    addRates(fd, modes, fourcc, range.max_width, range.max_height);
  }
}

// The modes of one format. Formats whose frames come as separate fields are
// left out, said in `skipped` when there is one.
void addSizes(int fd, std::vector<CaptureMode>& modes, uint32_t fourcc, const char* node,
              std::vector<CameraSkip>* skipped) {
  v4l2_frmsizeenum size{};
  size.pixel_format = fourcc;
  const bool listed = deviceIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0;
  uint32_t width = 640, height = 480;  // without a list: what the driver makes of these
  if (listed) {
    width = size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.width : size.stepwise.max_width;
    height = size.type == V4L2_FRMSIZE_TYPE_DISCRETE ? size.discrete.height : size.stepwise.max_height;
  }
  if (const char* problem = fieldProblemOf(fd, fourcc, width, height)) {
    if (skipped) {
      const std::string format = fourCodeName(int32_t(fourcc));
      skipped->push_back({node, "format " + format + " left out: the driver sends " + problem,
                          std::string(node) + ": " + format + " skipped: the driver sends " + problem});
    }
    return;
  }
  if (!listed) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.pixelformat = fourcc;
    format.fmt.pix.width = width;
    format.fmt.pix.height = height;
    if (deviceIoctl(fd, VIDIOC_TRY_FMT, &format) == 0 && format.fmt.pix.pixelformat == fourcc) {
      addRates(fd, modes, fourcc, format.fmt.pix.width, format.fmt.pix.height);
    }
    return;
  }
  if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
    addRange(fd, modes, fourcc, size.stepwise);
    return;
  }
  for (;;) {
    addRates(fd, modes, fourcc, size.discrete.width, size.discrete.height);
    ++size.index;
    if (deviceIoctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0 || size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
  }
}

// Every mode of the formats the layer can turn into luma: a mode it cannot
// deliver would leave the installation deaf.
void collectModes(int fd, std::vector<CaptureMode>& modes, const char* node,
                  std::vector<CameraSkip>* skipped) {
  v4l2_fmtdesc format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (format.index = 0; deviceIoctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
    if (isConvertibleFormat(format.pixelformat)) addSizes(fd, modes, format.pixelformat, node, skipped);
  }
}

std::string text(const uint8_t* field, size_t size) {
  const auto* chars = reinterpret_cast<const char*>(field);
  return std::string(chars, strnlen(chars, size));
}
}  // namespace

NodeKind askNode(int fd, CameraEntry& camera, int& error) {
  v4l2_capability caps{};
  if (deviceIoctl(fd, VIDIOC_QUERYCAP, &caps) < 0) {
    error = errno;
    return NodeKind::NotACamera;
  }
  // The node's own capabilities; the whole device's only on old drivers.
  const uint32_t nodeCaps = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
  camera.name = text(caps.card, sizeof caps.card);
  camera.driver = text(caps.driver, sizeof caps.driver);
  camera.busInfo = text(caps.bus_info, sizeof caps.bus_info);
  error = 0;
  if ((nodeCaps & V4L2_CAP_VIDEO_CAPTURE) && !(nodeCaps & V4L2_CAP_STREAMING)) return NodeKind::NoStreaming;
  if (nodeCaps & V4L2_CAP_VIDEO_CAPTURE)
    return (nodeCaps & V4L2_CAP_IO_MC) ? NodeKind::PipelineNode : NodeKind::Camera;
  return (nodeCaps & V4L2_CAP_VIDEO_CAPTURE_MPLANE) ? NodeKind::MultiPlanarOnly : NodeKind::NotACamera;
}

namespace {
void addSkip(std::vector<CameraSkip>& skipped, const std::string& path, const std::string& name,
             const std::string& why) {
  skipped.push_back({path, name + ": " + why, path + " (" + name + ") skipped: " + why});
}
}  // namespace

bool queryCaptureNode(const char* path, bool named, CameraEntry& camera, std::vector<CameraSkip>& skipped) {
  camera = {&v4l2Source, path, "", "", ""};
  const int fd = ops().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // A node that went away while the folder was read is no camera.
    if (named || (errno != ENOENT && errno != ENXIO && errno != ENODEV)) {
      const std::string why = std::strerror(errno);
      skipped.push_back({path, "cannot be opened: " + why, std::string("Cannot open ") + path + ": " + why});
    }
    return false;
  }
  int error = 0;
  NodeKind kind = askNode(fd, camera, error);
  if (kind == NodeKind::PipelineNode && named) kind = NodeKind::Camera;  // named: tried as a camera
  switch (kind) {
    case NodeKind::Camera: {
      std::vector<CaptureMode> modes;
      collectModes(fd, modes, path, &skipped);
      break;
    }
    case NodeKind::PipelineNode:
      addSkip(skipped, path, camera.name,
              std::string("it belongs to a media-controller pipeline (an image processor's camera) that must "
                          "be set up first (media-ctl); --camera ") +
                  path + " uses it anyway");
      break;
    case NodeKind::NoStreaming: addSkip(skipped, path, camera.name, "it offers no streaming I/O"); break;
    case NodeKind::MultiPlanarOnly:
      addSkip(skipped, path, camera.name, "it captures only through the multi-planar API");
      break;
    case NodeKind::NotACamera:
      // UVC metadata, output, radio... nodes: no cameras, unless named.
      if (!named) break;
      if (error) {
        const std::string why = std::string("not a V4L2 device (") + std::strerror(error) + ")";
        skipped.push_back({path, why, std::string(path) + " skipped: " + why});
      } else {
        addSkip(skipped, path, camera.name, "it captures no video (a metadata, output or radio node)");
      }
      break;
  }
  ops().close(fd);
  return kind == NodeKind::Camera;
}

int openCaptureNode(const char* path) { return ops().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC); }

void listV4l2Modes(int fd, std::vector<CaptureMode>& modes) { collectModes(fd, modes, nullptr, nullptr); }
