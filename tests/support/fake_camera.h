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
//     Type or memory it does not have: EINVAL. While streaming, or from
//     another descriptor than the queue's owner: EBUSY. Buffers still mapped
//     are orphaned, as since Linux 5.0 (vb2_core_reqbufs: "memory in use,
//     orphaning buffers"; V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS): the mapping
//     keeps its memory, the queue forgets it.
//   - QUERYBUF and QBUF of an index out of range, QBUF of a buffer already
//     queued or done: EINVAL. QBUF, DQBUF, STREAMON and STREAMOFF from a
//     descriptor that does not own the queue: EBUSY.
//   - mmap() needs MAP_SHARED, PROT_READ, an offset QUERYBUF gave and at most
//     that buffer's length, else EINVAL.
//   - STREAMON without buffers: EINVAL; when streaming already: nothing.
//     Buffers are filled only once the driver's number of them has been
//     queued (a driver that needs several in hand before its DMA starts).
//     The driver's own start may fail (FakeDriver::startErrors: uvcvideo
//     passes on what usb_set_interface() and usb_submit_urb() answer, EIO,
//     EPIPE, ETIMEDOUT, ENOSPC when the bus has no bandwidth left, ENOMEM):
//     STREAMON gives that error, the queue does not stream and the buffers
//     stay queued (vb2_start_streaming).
//   - STREAMOFF hands every buffer, queued or done, back to the application
//     (unfilled), clears a queue error and a stalled transfer; when stopped
//     already: nothing.
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
// Failures while streaming
//   - fakeQueueError(): the driver calls vb2_queue_error(). The error sticks
//     until STREAMOFF: DQBUF and QBUF give EIO (done buffers or not), poll()
//     POLLERR.
//   - fakeTransferError(): a USB transfer failed (uvc_video_complete() with a
//     non-zero status): the driver cancels its queue, every buffer it held
//     comes back done, flagged V4L2_BUF_FLAG_ERROR, and no buffer completes
//     after that, without an error or a hang-up, until STREAMOFF and
//     STREAMON start the transfer again.
// Unplugging, in the order the USB video class driver goes through it
//   1. fakeUnplug(): the URBs end with -ESHUTDOWN (uvc_queue_cancel() with
//      disconnect set): every buffer the driver held comes back done, flagged
//      V4L2_BUF_FLAG_ERROR, and a buffer queued after that comes back so at
//      once; other calls still work.
//   2. then the node is unregistered (its file removed): the fake does it at
//      the next QBUF, which gives ENODEV (uvc_queue.c: "The next QBUF call
//      will fail with -ENODEV"), or at fakeUnregister(). Every ioctl and
//      mmap() gives ENODEV, poll() POLLERR|POLLHUP and POLLPRI; munmap() and
//      close() still work.
//   fakeReplug() brings a node back as a new device (same name and bus);
//   descriptors of the old one stay dead.
// Controls, as the USB video class driver answers them (uvc_ctrl.c,
// uvc_v4l2.c; it keeps its own controls rather than the v4l2-ctrls core's)
//   - QUERY_EXT_CTRL with V4L2_CTRL_FLAG_NEXT_CTRL gives the control after
//     the id, in id order, then EINVAL; an exact id it does not have: EINVAL.
//     A control whose automatic (its master) is not at its manual value is
//     flagged V4L2_CTRL_FLAG_INACTIVE; one without SET_CUR READ_ONLY.
//   - QUERYMENU of an index outside the menu's range, or of an entry the
//     camera leaves out (UVC's menu mask: auto_exposure of most webcams has
//     only 1 "Manual Mode" and 3 "Aperture Priority Mode"): EINVAL.
//   - G_EXT_CTRLS and S_EXT_CTRLS check every control first
//     (uvc_ctrl_check_access): an unknown id gives EINVAL, a read-only one
//     (S) EACCES, and a control whose automatic is on EACCES unless the same
//     call sets that automatic to manual (uvc_ctrl_is_accessible); error_idx
//     is then the count (S), as the API says of a failed validation.
//   - then each value, in order (uvc_ctrl_set): an integer is rounded to its
//     step from the minimum and clamped to its range, not refused; a boolean
//     is clamped to 0..1; a menu value outside the range gives ERANGE, one
//     the camera leaves out EINVAL, and nothing of the call is set. The
//     values the driver made are written back into the caller's array.
//   - fakeSetControl() is the camera's automatic moving a value by itself;
//     fakeReplug() brings a camera whose controls are at their defaults.
// Media-controller pipelines
//   - a capture node whose FakeNode::mediaController is set says
//     V4L2_CAP_IO_MC in device_caps; its pipeline is never configured, so
//     STREAMON gives EPIPE (the links' formats do not match).
// Watching the caller
//   - calls refused because the caller broke a rule of the API (stream state,
//     indexes, buffer types, a busy queue, a bad mmap) are kept:
//     fakeMisuse(). End-of-list EINVALs, EAGAIN and unplug errors are not.
//   - a blocking DQBUF still waiting after a second is a hang in the making:
//     the watchdog fails the queue to free it; fakeWatchdogFired() tells.
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
  uint32_t answerFourcc = 0;           // ...and this pixel format, whatever is asked
  v4l2_fract answerInterval{0, 0};     // S_PARM answers this interval
  uint32_t minimumBuffers = 1;         // REQBUFS grants at least this many
  uint32_t queuedToStart = 1;          // buffers queued before the first one fills
  std::vector<int> startErrors = {};   // the next STREAMONs fail with these, in turn
  std::vector<int> formatErrors = {};  // the next S_FMTs fail with these (a camera still booting)
};

// A control as the driver describes it; the values are its current ones.
struct FakeControl {
  uint32_t id;
  std::string name;  // as the driver names it: "Exposure Time, Absolute"
  uint32_t type;     // V4L2_CTRL_TYPE_INTEGER, _BOOLEAN or _MENU
  int32_t minimum, maximum, step, defaultValue;
  std::vector<std::string> menu = {};  // by index from 0; an empty name: an entry left out
  uint32_t master = 0;                 // the automatic that makes it inactive
  int32_t masterManual = 0;            // the automatic's value in which it is active
  bool readOnly = false;
};

struct FakeNode {
  std::string file;  // "video0"
  std::string card;
  FakeNodeKind kind = FakeNodeKind::Capture;
  std::vector<FakeFormat> formats;
  FakeDriver driver;
  std::string busInfo = "";      // empty: "usb-fake-" and the card, a UVC camera's nodes sharing it
  bool mediaController = false;  // a node of a media-controller pipeline (V4L2_CAP_IO_MC)
  std::vector<FakeControl> controls = {};  // in id order; each starts at its default
};

// A webcam's controls as uvcvideo gives them (names from the kernel's
// control names; exposure in the class's 100 us units; auto_exposure offers
// only Manual Mode and Aperture Priority Mode).
std::vector<FakeControl> webcamControls();

// Puts the fake behind the layer with these nodes; uninstall restores the
// system calls and removes the folder.
void installFakeCamera(const std::vector<FakeNode>& nodes);
void uninstallFakeCamera();

// The next `ioctls` ioctls and `polls` polls fail with EINTR first.
void setFakeInterruptions(int ioctls, int polls);

// The streaming device fills its oldest queued buffer with `bytes`
// (bytesused is `bytesUsed`, or bytes.size() when 0) and marks it done.
// False when no buffer is queued or capture has not started.
bool fakeProduceFrame(const std::vector<uint8_t>& bytes, uint32_t flags = 0, uint32_t bytesUsed = 0);
// Several frames done at once, as while the application was busy elsewhere.
bool fakeProduceFrames(const std::vector<std::vector<uint8_t>>& frames, uint32_t flags = 0,
                       uint32_t bytesUsed = 0);

// Failures of the streaming device behind `file` (see above).
void fakeQueueError(const std::string& file = "video0");
void fakeTransferError(const std::string& file = "video0");

// The unplug sequence of the device behind `file` (see above).
void fakeUnplug(const std::string& file = "video0");
void fakeUnregister(const std::string& file = "video0");
// A new device behind `file`, configured as at installation, or as `as`
// (whose file name is ignored). The node file is made anew (inotify sees it).
void fakeReplug(const std::string& file = "video0");
void fakeReplug(const std::string& file, const FakeNode& as);

// The current value of a control of the device behind `file`; the
// camera's automatic moving it.
int32_t fakeControlValue(uint32_t id, const std::string& file = "video0");
void fakeSetControl(uint32_t id, int32_t value, const std::string& file = "video0");
// Control calls (QUERY_EXT_CTRL, QUERYMENU, G/S_EXT_CTRLS) made so far.
int fakeControlCalls();

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
int fakeStreamStarts();  // STREAMONs that started a stream
int fakeOpenDescriptors();
int fakeBlockingDequeues();
// Calls refused for breaking a rule of the API, one line each.
std::string fakeMisuse();
bool fakeWatchdogFired();
