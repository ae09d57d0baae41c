#pragma once
// An in-process V4L2 capture device behind the camera layer's device table,
// as strict as the kernel's V4L2 user-space API and its videobuf2 buffer
// queue (the kernel documentation's pages on VIDIOC_QUERYCAP, ENUM_FMT,
// ENUM_FRAMESIZES, ENUM_FRAMEINTERVALS, G/S/TRY_FMT, G/S_PARM, REQBUFS,
// QUERYBUF, QBUF/DQBUF, STREAMON/STREAMOFF, mmap() and poll()). Nodes are
// files in a temporary folder; every open descriptor is an eventfd that
// wakes poll(), and a device's buffers live in a memfd.
//
// What it models, and what each case answers:
//
// Opening
//   - a node whose file is not there (never was, or removed by an unplug):
//     ENOENT. Every descriptor keeps its own O_NONBLOCK; any number may be
//     open on one device, which shares its format and buffer queue.
// Capabilities and enumeration
//   - QUERYCAP gives the device's capabilities and the node's own
//     (device_caps): a capture node, a UVC metadata node (META_CAPTURE
//     only), or a node that captures only through the multi-planar API
//     (VIDEO_CAPTURE_MPLANE; of that API only ENUM_FMT is modelled, every
//     other call of either buffer type gives EINVAL).
//   - ENUM_FMT of a buffer type the node does not have: EINVAL; past the last
//     index, or ENUM_FRAMESIZES/ENUM_FRAMEINTERVALS of a format or size the
//     node does not have: EINVAL (the end of a list). Sizes and intervals
//     are DISCRETE lists, or STEPWISE (step 16 / 1 s) or CONTINUOUS ranges.
// Negotiation: the driver adjusts, it does not refuse
//   - S_FMT and TRY_FMT answer the format asked, or the node's first one when
//     it has no such format; the nearest size the format has; bytesperline
//     rounded up to the driver's line alignment (0 for compressed formats).
//     A driver may answer another size or pixel format whatever is asked.
//   - a format whose fields travel in separate buffers answers
//     V4L2_FIELD_ALTERNATE with the height of one field, half the frame's;
//     its buffers come TOP, BOTTOM, TOP...
//   - S_FMT while the queue has buffers: EBUSY; a buffer type other than
//     VIDEO_CAPTURE: EINVAL.
//   - S_PARM answers the nearest interval the format and size have, or the
//     driver's own.
// Buffers (videobuf2, MMAP only)
//   - REQBUFS grants at least the driver's minimum, at most 32; count 0 frees.
//     Type or memory it does not have: EINVAL. While streaming, while a
//     buffer is still mapped (no V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS), or
//     from another descriptor than the queue's owner: EBUSY.
//   - QUERYBUF and QBUF of an index out of range, QBUF of a buffer already
//     queued or done: EINVAL. QBUF, DQBUF, STREAMON and STREAMOFF from a
//     descriptor that does not own the queue: EBUSY.
//   - mmap() needs MAP_SHARED, PROT_READ, an offset QUERYBUF gave and at most
//     that buffer's length, else EINVAL.
//   - STREAMON without buffers: EINVAL; when streaming already: nothing.
//     Buffers are filled only once the driver's number of them has been
//     queued (a driver that needs several in hand before its DMA starts).
//   - STREAMOFF hands every buffer, queued or done, back to the application
//     (unfilled) and clears a queue error; when stopped already: nothing.
//   - DQBUF before STREAMON or after STREAMOFF: EINVAL. With nothing done, a
//     non-blocking descriptor gets EAGAIN; a blocking one waits until a
//     buffer is done (or the stream stops: EINVAL, or the queue fails: EIO).
//   - a done buffer carries bytesused, flags (V4L2_BUF_FLAG_ERROR: damaged in
//     transfer, whatever part arrived kept), field, sequence and a monotonic
//     timestamp.
//   - poll(): POLLIN (POLLRDNORM when asked for) when a buffer is done;
//     POLLERR when not streaming, after a queue error, or when the driver
//     holds no buffer at all, none queued and none done (the poll() page's
//     "STREAMON called but no QBUF yet"; current videobuf2 says so only until
//     the first QBUF, older versions whenever nothing was queued: the fake
//     takes the stricter rule). POLLPRI only when asked for, as the kernel
//     masks what poll() reports with the events asked plus POLLERR|POLLHUP.
// Unplugging, in the order USB drivers go through it
//   1. fakeUnplug(): the queue fails. DQBUF (also one already blocked),
//      QBUF and STREAMON give EIO; poll() POLLERR; other calls still work.
//   2. right after the first DQBUF that failed so, or at fakeUnregister():
//      the device is unregistered and its node file removed. Every ioctl and
//      mmap() gives ENODEV, poll() POLLERR|POLLHUP and POLLPRI; munmap() and
//      close() still work.
//   fakeReplug() brings a node back as a new device (same name and bus);
//   descriptors of the old one stay dead.
// Watching the caller
//   - calls refused because the caller broke a rule of the API (stream state,
//     indexes, buffer types, a busy queue, a bad mmap) are kept:
//     fakeMisuse(). End-of-list EINVALs, EAGAIN and unplug errors are not.
//   - a blocking DQBUF still waiting after a second is a hang in the making:
//     the watchdog unplugs the device to free it; fakeWatchdogFired() tells.
#include <linux/videodev2.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class FakeRange : uint8_t { Discrete, Stepwise, Continuous };

struct FakeFormat {
  uint32_t fourcc;
  FakeRange sizeRange;  // Discrete: the list; otherwise {min, max}
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  FakeRange rateRange;  // Discrete: the list; otherwise {min, max} intervals
  std::vector<v4l2_fract> intervals;
  bool alternateFields = false;  // fields in separate half-height buffers
};

enum class FakeNodeKind : uint8_t { Capture, Metadata, MultiPlanar };

// How the driver answers negotiation; zeros keep the plain answers.
struct FakeDriver {
  uint32_t lineAlignment = 1;  // bytesperline rounded up to a multiple of this
  uint32_t answerWidth = 0;    // S_FMT/TRY_FMT answer this size...
  uint32_t answerHeight = 0;
  uint32_t answerFourcc = 0;        // ...and this pixel format, whatever is asked
  v4l2_fract answerInterval{0, 0};  // S_PARM answers this interval
  uint32_t minimumBuffers = 1;      // REQBUFS grants at least this many
  uint32_t queuedToStart = 1;       // buffers queued before the first one fills
};

struct FakeNode {
  std::string file;  // "video0"
  std::string card;
  FakeNodeKind kind = FakeNodeKind::Capture;
  std::vector<FakeFormat> formats;
  FakeDriver driver;
  std::string busInfo = "";  // empty: "usb-fake-" and the card, a UVC camera's nodes sharing it
};

// Puts the fake behind the layer with these nodes; uninstall restores the
// system calls and removes the folder.
void installFakeCamera(const std::vector<FakeNode>& nodes);
void uninstallFakeCamera();

// The next `ioctls` ioctls and `polls` polls fail with EINTR first.
void setFakeInterruptions(int ioctls, int polls);
// The next `count` dequeues (every one when negative) of a streaming queue
// fail with `error`, leaving done buffers where they are (EIO: "temporary
// problems like signal loss", as the DQBUF page allows).
void setFakeDequeueFailures(int count, int error);

// The streaming device fills its oldest queued buffer with `bytes`
// (bytesused is `bytesUsed`, or bytes.size() when 0) and marks it done.
// False when no buffer is queued or capture has not started.
bool fakeProduceFrame(const std::vector<uint8_t>& bytes, uint32_t flags = 0, uint32_t bytesUsed = 0);
// Several frames done at once, as while the application was busy elsewhere.
bool fakeProduceFrames(const std::vector<std::vector<uint8_t>>& frames, uint32_t flags = 0,
                       uint32_t bytesUsed = 0);

// The unplug sequence of the device behind `file` (see above).
void fakeUnplug(const std::string& file = "video0");
void fakeUnregister(const std::string& file = "video0");
// A new device behind `file`, configured as at installation, or as `as`
// (whose file name is ignored). The node file is made anew (inotify sees it).
void fakeReplug(const std::string& file = "video0");
void fakeReplug(const std::string& file, const FakeNode& as);

// The format last set on any device.
v4l2_pix_format fakeCurrentFormat();
// The frame interval last set on any device.
v4l2_fract fakeCurrentInterval();
// Of the device whose queue has buffers: buffers allocated, and those in the
// driver's incoming queue.
int fakeBufferCount();
int fakeQueuedBuffers();
int fakeMappedBuffers();
int fakePollCalls();
int fakeOpenDescriptors();
int fakeBlockingDequeues();
// Calls refused for breaking a rule of the API, one line each.
std::string fakeMisuse();
bool fakeWatchdogFired();
