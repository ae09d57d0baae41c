#include "platform/ending_signals.h"

#include <csignal>

namespace {
volatile std::sig_atomic_t firstSignal = 0;

void onEndingSignal(int signal) {
  if (firstSignal == 0) firstSignal = signal;
}
}  // namespace

void catchEndingSignals(std::initializer_list<int> signals) {
  struct sigaction action {};
  action.sa_handler = onEndingSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : signals) sigaddset(&action.sa_mask, signal);  // one handler at a time
  for (const int signal : signals) {
    struct sigaction before {};
    sigaction(signal, nullptr, &before);
    if (signal == SIGHUP && before.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
}

int endingSignal() { return firstSignal; }
