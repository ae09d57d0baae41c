#pragma once
// A bounded single-producer single-consumer queue whose producer never waits:
// when the consumer falls behind, new entries are written over the oldest
// ones, and the consumer, finding them gone, skips ahead and counts them.
//
// The producer owns the write index and never reads or moves the consumer's;
// that is what lets it drop the oldest without a lock. Each slot is a small
// seqlock instead: the producer marks the slot odd while it writes, then even
// with the number of the entry it holds. The consumer copies an entry out and
// keeps it only if the slot held that entry's number before and after the
// copy; otherwise the producer has lapped it, and the entry counts as dropped.
// The payload travels as relaxed-order atomic words, so a copy that races an
// overwrite is noticed rather than undefined. Neither side allocates, locks
// or makes a system call; on x86-64 every access is a plain move.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

template <class T, size_t Capacity>
class DropOldestRing {
  static_assert(std::is_trivially_copyable_v<T>, "entries are copied as bytes");
  static_assert(Capacity >= 2 && (Capacity & (Capacity - 1)) == 0, "the capacity is a power of two");
  static constexpr size_t words = (sizeof(T) + 7) / 8;

 public:
  // Producer side. Never waits; overwrites the oldest entry when full.
  void push(const T& value) {
    const uint64_t index = written_.load(std::memory_order_relaxed);
    Slot& slot = slots_[index & (Capacity - 1)];
    uint64_t payload[words] = {};
    std::memcpy(payload, &value, sizeof(T));
    slot.sequence.store(2 * index + 1, std::memory_order_relaxed);
    // Release on each word: a consumer that sees any of them sees the odd mark too.
    for (size_t w = 0; w < words; ++w) slot.payload[w].store(payload[w], std::memory_order_release);
    slot.sequence.store(2 * index + 2, std::memory_order_release);
    written_.store(index + 1, std::memory_order_release);
  }

  // Consumer side: the oldest entry still held, in the order pushed; false
  // when there is none.
  bool pop(T& value) {
    for (;;) {
      const uint64_t written = written_.load(std::memory_order_acquire);
      if (read_ == written) return false;
      if (written - read_ > Capacity) {
        dropped_ += written - Capacity - read_;
        read_ = written - Capacity;
      }
      const Slot& slot = slots_[read_ & (Capacity - 1)];
      const uint64_t expected = 2 * read_ + 2;
      const uint64_t before = slot.sequence.load(std::memory_order_acquire);
      uint64_t payload[words];
      for (size_t w = 0; w < words; ++w) payload[w] = slot.payload[w].load(std::memory_order_acquire);
      const uint64_t after = slot.sequence.load(std::memory_order_relaxed);
      if (before == expected && after == expected) {
        std::memcpy(&value, payload, sizeof(T));
        ++read_;
        return true;
      }
      // Written over during the copy: that entry is gone.
      ++dropped_;
      ++read_;
    }
  }

  // Consumer side: forgets every entry held now (not counted as dropped).
  void discardAll() { read_ = written_.load(std::memory_order_acquire); }

  // Consumer side: entries the producer wrote over before they were taken.
  uint64_t dropped() const { return dropped_; }

  static constexpr size_t capacity() { return Capacity; }

 private:
  struct Slot {
    std::atomic<uint64_t> sequence{0};
    std::atomic<uint64_t> payload[words]{};
  };
  Slot slots_[Capacity];
  alignas(64) std::atomic<uint64_t> written_{0};  // producer's
  alignas(64) uint64_t read_ = 0;                 // consumer's
  uint64_t dropped_ = 0;                          // consumer's
};
