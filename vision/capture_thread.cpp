#include <poll.h>

#include <cerrno>

#include "vision/capture_system.h"

bool waitForStop(const CaptureRun& run, int timeoutMs) {
  // The stop eventfd is ours, never a camera's: plain poll, not the device table.
  pollfd stop{run.stopFd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&stop, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  return ready != 0;  // stopped, or the wait itself broke: end either way
}

void deliverFrame(CaptureRun& run) {
  const FrameRecord frame{run.target.bytes, run.layoutBytes};
  run.callback(run.tag, &frame, run.user);
}
