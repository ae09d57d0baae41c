#include "support/frame_log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
std::mutex lock;
std::condition_variable arrived;
std::vector<std::vector<uint8_t>> frames;
uint32_t tagSeen = 0, userSeen = 0;
std::atomic<int> inside{0};
std::atomic<bool> stopped{false};
std::atomic<int> late{0};
std::atomic<int> overlaps{0};
}  // namespace

int32_t logFrame(uint32_t tag, const FrameRecord* frame, uint32_t user) {
  if (inside.fetch_add(1) != 0) ++overlaps;
  if (stopped.load()) ++late;
  // Linger a little so that an overlapping second call would be seen.
  std::this_thread::sleep_for(std::chrono::microseconds(200));
  {
    std::lock_guard guard(lock);
    frames.emplace_back(frame->pixels, frame->pixels + frame->byteCount);
    tagSeen = tag;
    userSeen = user;
  }
  inside.fetch_sub(1);
  arrived.notify_all();
  return 1;
}

void resetFrameLog() {
  std::lock_guard guard(lock);
  frames.clear();
  tagSeen = userSeen = 0;
  stopped = false;
  late = 0;
  overlaps = 0;
}

bool waitForFrames(int count, int timeoutMs) {
  std::unique_lock guard(lock);
  return arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                          [&] { return int(frames.size()) >= count; });
}

int loggedFrames() {
  std::lock_guard guard(lock);
  return int(frames.size());
}

std::vector<uint8_t> loggedFrame(int index) {
  std::lock_guard guard(lock);
  return frames.at(size_t(index));
}

uint32_t lastTag() {
  std::lock_guard guard(lock);
  return tagSeen;
}

uint32_t lastUser() {
  std::lock_guard guard(lock);
  return userSeen;
}

void markCaptureStopped() { stopped = true; }
int lateFrames() { return late.load(); }
int overlappingFrames() { return overlaps.load(); }
