// The queue between the real-time threads and the OSC sender: full, it keeps
// the newest entries and counts the ones it lost; shared between a producer
// that never waits and a reader, it hands over whole entries in order.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/drop_oldest_ring.h"

namespace {
// Every field derives from one number, so a torn copy shows.
struct Entry {
  uint64_t number;
  uint64_t twice;
  float asFloat;
  int32_t negated;
};
Entry entryFor(uint64_t n) { return Entry{n, 2 * n, static_cast<float>(n), -static_cast<int32_t>(n)}; }
bool whole(const Entry& e) {
  return e.twice == 2 * e.number && e.asFloat == static_cast<float>(e.number) &&
         e.negated == -static_cast<int32_t>(e.number);
}
}  // namespace

TEST(DropOldestRing, KeepsTheNewestInOrderAndCountsTheOnesItDropped) {
  struct Case {
    uint64_t pushed;
    uint64_t firstKept;
  };
  // Capacity 8: up to 8 entries are all kept; beyond, the newest 8.
  for (const Case c : {Case{0, 0}, Case{3, 0}, Case{8, 0}, Case{9, 1}, Case{20, 12}, Case{1000, 992}}) {
    DropOldestRing<Entry, 8> ring;
    for (uint64_t n = 0; n < c.pushed; ++n) ring.push(entryFor(n));
    std::vector<uint64_t> taken;
    for (Entry e{}; ring.pop(e);) {
      EXPECT_TRUE(whole(e));
      taken.push_back(e.number);
    }
    std::vector<uint64_t> expected;
    for (uint64_t n = c.firstKept; n < c.pushed; ++n) expected.push_back(n);
    EXPECT_EQ(taken, expected) << c.pushed << " pushed";
    EXPECT_EQ(ring.dropped(), c.firstKept) << c.pushed << " pushed";
  }

  // Taking as it goes loses nothing; what is left over is forgotten uncounted.
  DropOldestRing<Entry, 8> ring;
  Entry e{};
  for (uint64_t n = 0; n < 100; ++n) {
    ring.push(entryFor(n));
    ASSERT_TRUE(ring.pop(e));
    EXPECT_EQ(e.number, n);
  }
  ring.push(entryFor(100));
  ring.discardAll();
  EXPECT_FALSE(ring.pop(e));
  EXPECT_EQ(ring.dropped(), 0u);
}

// The producer pushes as fast as it can, far faster than the reader empties
// the ring at times, so it laps the reader mid-copy as well.
TEST(DropOldestRingConcurrency, TheReaderGetsWholeEntriesInOrderAndAccountsForEveryOne) {
  constexpr uint64_t total = 200000;
  DropOldestRing<Entry, 16> ring;
  std::atomic<bool> finished{false};
  std::thread producer([&] {
    for (uint64_t n = 0; n < total; ++n) ring.push(entryFor(n));
    finished.store(true, std::memory_order_release);
  });
  uint64_t taken = 0, torn = 0, outOfOrder = 0;
  int64_t last = -1;
  auto take = [&] {
    for (Entry e{}; ring.pop(e);) {
      ++taken;
      if (!whole(e)) ++torn;
      if (static_cast<int64_t>(e.number) <= last) ++outOfOrder;
      last = static_cast<int64_t>(e.number);
    }
  };
  while (!finished.load(std::memory_order_acquire)) {
    take();
    std::this_thread::yield();
  }
  producer.join();
  take();
  EXPECT_EQ(torn, 0u);
  EXPECT_EQ(outOfOrder, 0u);
  EXPECT_EQ(last, static_cast<int64_t>(total - 1)) << "the newest entry is always kept";
  EXPECT_EQ(taken + ring.dropped(), total);
  EXPECT_GT(taken, 0u);
}
