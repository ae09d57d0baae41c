#pragma once
// A tap for outside listeners: while it is open, the thread that makes the
// values leaves a copy of each in a bounded queue, which one reader on another
// thread empties. The producer only copies and rings the reader's wake signal
// (one non-blocking write): it never waits or allocates for it, and when the
// reader falls behind the oldest copies are dropped and counted
// (DropOldestRing). Closed, it costs the producer one load.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/drop_oldest_ring.h"
#include "platform/wake_signal.h"

template <class Sample, size_t Capacity>
class SampleTap {
 public:
  // Producer side: make() is called, and its sample queued, only while open.
  template <class Make>
  void offer(Make make) {
    if (!open_.load(std::memory_order_acquire)) return;
    ring_.push(make());
    if (WakeSignal* wake = wake_.load(std::memory_order_relaxed)) wake->notify();
  }

  // The reader's side; one reader at a time. Opening forgets what an earlier
  // opening left behind. `wake`, if given, is rung after every copy; it must
  // outlive every producer that may still be offering.
  void open(WakeSignal* wake = nullptr) {
    ring_.discardAll();
    wake_.store(wake, std::memory_order_relaxed);
    open_.store(true, std::memory_order_release);
  }
  void close() { open_.store(false, std::memory_order_release); }
  // The oldest copy not yet taken; false when there is none.
  bool take(Sample& sample) { return ring_.pop(sample); }
  // Copies dropped since the tap was made because the reader fell behind.
  uint64_t dropped() const { return ring_.dropped(); }

 private:
  DropOldestRing<Sample, Capacity> ring_;
  std::atomic<WakeSignal*> wake_{nullptr};
  std::atomic<bool> open_{false};
};
