#pragma once
// An in-process V4L2 device behind the camera layer's device table: nodes in
// a temporary folder, an eventfd as the pollable descriptor and a memfd for
// the frame buffers. One node streams at a time.
#include <linux/videodev2.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct FakeFormat {
  uint32_t fourcc;
  bool stepwiseSizes;  // sizes: {min, max}
  std::vector<std::pair<uint32_t, uint32_t>> sizes;
  bool stepwiseRates;  // intervals: {min, max}
  std::vector<v4l2_fract> intervals;
};

struct FakeNode {
  std::string file;  // "video0"
  std::string card;
  bool metadataOnly;  // a UVC metadata node
  std::vector<FakeFormat> formats;
};

enum class FakeUnplug { PollError, DequeueError };

// Puts the fake behind the layer with these nodes; uninstall restores the
// system calls and removes the folder.
void installFakeCamera(const std::vector<FakeNode>& nodes);
void uninstallFakeCamera();

// Bytes of padding after every row of a raw format.
void setFakeRowPadding(uint32_t bytes);
// The next `count` ioctls and polls fail with EINTR first.
void setFakeInterruptions(int ioctls, int polls);

// The next `count` dequeues (every one when negative) fail with `error`,
// leaving ready buffers where they are.
void setFakeDequeueFailures(int count, int error);

// Takes the oldest queued buffer, fills it with `bytes` (bytesused is
// `bytesUsed`, or bytes.size() when 0) and makes it ready; `signal` wakes the
// poll. False when no buffer is queued.
bool fakeProduceFrame(const std::vector<uint8_t>& bytes, uint32_t flags = 0, uint32_t bytesUsed = 0,
                      bool signal = true);
void fakeSignal();
void fakeUnplug(FakeUnplug how);

// The format the layer set: bytesperline and sizes.
v4l2_pix_format fakeCurrentFormat();
int fakeQueuedBuffers();
int fakePollCalls();
int fakeOpenDescriptors();
