#include "platform/wake_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace {
// How long a wait lasts at most without an eventfd: the sleeper then looks
// for work this often instead.
constexpr int fallbackWaitMs = 5;
}  // namespace

WakeSignal::WakeSignal() : descriptor_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeSignal::~WakeSignal() {
  if (descriptor_ >= 0) close(descriptor_);
}

void WakeSignal::notify() {
  if (descriptor_ < 0 || rung_.exchange(true)) return;
  const uint64_t one = 1;
  // Fails only when the count would overflow, when it is rung already.
  [[maybe_unused]] const ssize_t written = write(descriptor_, &one, sizeof one);
}

bool WakeSignal::wait(int timeoutMs) {
  if (descriptor_ < 0) {
    const int ms = timeoutMs < 0 ? fallbackWaitMs : std::min(timeoutMs, fallbackWaitMs);
    poll(nullptr, 0, ms);
    return false;
  }
  pollfd ready{descriptor_, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) <= 0) return false;
  uint64_t rings = 0;
  const bool rung = read(descriptor_, &rings, sizeof rings) == static_cast<ssize_t>(sizeof rings);
  // Before the sleeper looks for its work: a ring from here on writes again.
  rung_.store(false);
  return rung;
}
