#pragma once
#include <atomic>

// A wake-up call from threads that must never wait to one thread that sleeps
// until it has something to do (an eventfd). Ringing it is an atomic exchange
// and at most one non-blocking write, safe from any thread at any time; the sleeper waits on it alone, or
// on its descriptor together with others.
class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // Any thread: wakes the sleeper, or its next wait if it is not sleeping.
  void notify();
  // The sleeper: waits until rung or `timeoutMs` passed (-1: no limit) and
  // takes the rings back; true when it was rung. Without an eventfd (the
  // process is out of descriptors) it waits a few milliseconds at most.
  bool wait(int timeoutMs);
  // Readable while rung; -1 without an eventfd.
  int descriptor() const { return descriptor_; }

 private:
  int descriptor_;
  // Rung and not yet taken back: a further ring needs no write, which keeps
  // the ringing threads at one atomic exchange while the sleeper is awake.
  std::atomic<bool> rung_{false};
};
