#include <poll.h>
#include <time.h>

#include <cerrno>

#include "camera/capture_system.h"
#include "platform/monotonic_time.h"

namespace {
// Polls the stop eventfd (ours, never a camera's: plain poll, not the device
// table) for at most `timeout` (null: forever).
bool pollStop(const CaptureRun& run, const timespec* timeout) {
  pollfd stop{run.stopFd, POLLIN, 0};
  int ready;
  do {
    ready = ::ppoll(&stop, 1, timeout, nullptr);
  } while (ready < 0 && errno == EINTR);
  return ready != 0;  // stopped, or the wait itself broke: end either way
}
}  // namespace

namespace {
void noteSignUntil(CaptureRun& run, int64_t now, int64_t quietUntil) {
  run.signNanoseconds.store(now);
  run.stallAfterNanoseconds.store(quietUntil + int64_t(captureStallMs) * 1000000);
}
}  // namespace

void noteSign(CaptureRun& run) {
  const int64_t now = monotonicNanoseconds();
  noteSignUntil(run, now, now);
}

void noteWaitUntil(CaptureRun& run, int64_t dueNanoseconds) {
  noteSignUntil(run, monotonicNanoseconds(), dueNanoseconds);
}

void setCapturePhase(CaptureRun& run, CapturePhase phase) {
  noteSign(run);
  // A camera that is there again has its own time to deliver.
  if (run.phase.exchange(phase) == CapturePhase::WaitingForCamera)
    run.frameNanoseconds.store(run.signNanoseconds);
}

bool waitForStop(CaptureRun& run, int timeoutMs) {
  if (timeoutMs < 0) return pollStop(run, nullptr);
  return waitForStopUntil(run, monotonicNanoseconds() + int64_t(timeoutMs) * 1000000);
}

bool waitForStopUntil(CaptureRun& run, int64_t dueNanoseconds) {
  const int64_t now = monotonicNanoseconds();
  const int64_t wait = dueNanoseconds > now ? dueNanoseconds - now : 0;
  noteSignUntil(run, now, now + wait);
  const timespec timeout{time_t(wait / 1000000000), long(wait % 1000000000)};
  const bool stopped = pollStop(run, &timeout);
  noteSign(run);
  return stopped;
}

void deliverFrame(CaptureRun& run) {
  const FrameRecord frame{run.target.bytes, run.layoutBytes};
  run.callback(run.tag, &frame, run.user);
  run.framesDelivered.fetch_add(1);
  noteSign(run);
  run.frameNanoseconds.store(run.signNanoseconds.load());
}
