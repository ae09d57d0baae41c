#pragma once
// A tap for outside listeners: while it is open, the thread that makes the
// values leaves a copy of each in a bounded queue, which one reader on another
// thread empties. The producer only copies: it never waits, allocates or makes
// a system call for it, and when the reader falls behind the oldest copies are
// dropped and counted (DropOldestRing). Closed, it costs the producer one
// relaxed load.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/drop_oldest_ring.h"

template <class Sample, size_t Capacity>
class SampleTap {
 public:
  // Producer side: make() is called, and its sample queued, only while open.
  template <class Make>
  void offer(Make make) {
    if (!open_.load(std::memory_order_relaxed)) return;
    ring_.push(make());
  }

  // The reader's side; one reader at a time. Opening forgets what an earlier
  // opening left behind.
  void open() {
    ring_.discardAll();
    open_.store(true, std::memory_order_release);
  }
  void close() { open_.store(false, std::memory_order_release); }
  // The oldest copy not yet taken; false when there is none.
  bool take(Sample& sample) { return ring_.pop(sample); }
  // Copies dropped since the tap was made because the reader fell behind.
  uint64_t dropped() const { return ring_.dropped(); }

 private:
  DropOldestRing<Sample, Capacity> ring_;
  std::atomic<bool> open_{false};
};
