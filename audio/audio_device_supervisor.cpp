#include "audio/audio_device_supervisor.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "audio/audio_library.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"

namespace {
struct DeviceSupervisor {
  std::thread thread;
  std::mutex lock;
  std::condition_variable wake;
  bool stop;
  uint32_t rate;
  // Gaps in the sound already said, since when they are counted, and when
  // the last line about them was (0: none yet).
  uint64_t underrunsSaid;
  uint64_t underrunsSinceMs;
  uint64_t underrunLineMs;
};
DeviceSupervisor supervisor;

// What a watchdog may know of the output without taking the library's lock,
// which a stuck callback holds.
enum class OutputState : uint8_t { None, Playing, Waiting };
std::atomic<OutputState> outputState{OutputState::None};
std::atomic<uint64_t> outputLosses{0};

constexpr auto healthCheckInterval = std::chrono::milliseconds(250);
constexpr auto reopenInterval = std::chrono::milliseconds(1000);
// A device that has asked for nothing this long is as good as gone.
constexpr uint32_t silentDeviceMs = 3000;
// Gaps in the sound are said at most this often.
constexpr uint64_t underrunLineIntervalMs = 60000;

// One line for the gaps since the last one, unless that was under a minute ago.
void reportUnderruns() {
  const uint64_t count = audioDeviceUnderruns();
  const uint64_t now = monotonicMilliseconds();
  if (count == supervisor.underrunsSaid) return;
  if (supervisor.underrunLineMs != 0 && now - supervisor.underrunLineMs < underrunLineIntervalMs) return;
  const uint64_t gaps = count - supervisor.underrunsSaid;
  diagnostic(
      "audio",
      "the sound had %llu gap%s in the last %llu s: its callback came too late (the machine was busy, or "
      "the audio thread may not run at a high priority)",
      static_cast<unsigned long long>(gaps), gaps == 1 ? "" : "s",
      static_cast<unsigned long long>((now - supervisor.underrunsSinceMs + 500) / 1000));
  supervisor.underrunsSaid = count;
  supervisor.underrunsSinceMs = now;
  supervisor.underrunLineMs = now;
}

// One look at the device; returns whether it is (still) lost.
bool superviseOnce(bool lost, bool& reportedStuck) {
  if (!lost) {
    const uint32_t device = currentOutputDevice();
    const AudioDeviceHealth health = audioDeviceHealth(device, silentDeviceMs);
    if (health == AudioDeviceHealth::Stuck) {
      // Closing would wait for the callback for ever; a watchdog must act.
      if (!reportedStuck)
        diagnostic("audio", "the sound callback has not returned for %u s", silentDeviceMs / 1000);
      reportedStuck = true;
      return false;
    }
    reportedStuck = false;
    reportUnderruns();
    if (health == AudioDeviceHealth::Playing) return false;
    diagnostic("audio", "the output device went away; trying to open it again every second");
    outputState = OutputState::Waiting;
    outputLosses.fetch_add(1, std::memory_order_relaxed);
    setCurrentOutputDevice(0);
    closeAudioDevice(device, AudioDriver::Keep);
    return true;
  }
  AudioDeviceFailure failure = AudioDeviceFailure::None;
  std::string reason;
  const uint32_t device = openAudioDevice(outputDeviceRequest(supervisor.rate), failure, reason);
  if (device == 0) return true;
  setCurrentOutputDevice(device);
  startAudioDevice(device);
  outputState = OutputState::Playing;
  diagnostic("audio", "the output device is back; playing again");
  return false;
}

void superviseDevice() {
  bool lost = false;
  bool reportedStuck = false;
  std::unique_lock guard(supervisor.lock);
  for (;;) {
    const auto pause = lost ? reopenInterval : healthCheckInterval;
    if (supervisor.wake.wait_for(guard, pause, [] { return supervisor.stop; })) return;
    guard.unlock();
    lost = superviseOnce(lost, reportedStuck);
    guard.lock();
  }
}

void deviceCallback(void*, int16_t* samples, uint32_t frames) { renderAudioOutput(samples, frames); }
}  // namespace

AudioDeviceRequest outputDeviceRequest(uint32_t rate) {
  return {rate, audioDevicePeriodFrames, deviceCallback, nullptr};
}

void startDeviceSupervisor(uint32_t rate) {
  outputState = OutputState::Playing;
  supervisor.stop = false;
  supervisor.rate = rate;
  supervisor.underrunsSaid = audioDeviceUnderruns();
  supervisor.underrunsSinceMs = monotonicMilliseconds();
  supervisor.underrunLineMs = 0;
  supervisor.thread = std::thread(superviseDevice);
}

void stopDeviceSupervisor() {
  if (supervisor.thread.joinable()) {
    {
      std::lock_guard guard(supervisor.lock);
      supervisor.stop = true;
    }
    supervisor.wake.notify_all();
    supervisor.thread.join();
  }
  outputState = OutputState::None;
}

bool audioOutputAlive(uint32_t quietMs) {
  return outputState.load() != OutputState::Playing || msSinceAudioCallback() < quietMs;
}

AudioOutputStatus audioOutputStatus(uint32_t quietMs) {
  switch (outputState.load()) {
    case OutputState::None: return AudioOutputStatus::None;
    case OutputState::Waiting: return AudioOutputStatus::Lost;
    case OutputState::Playing: break;
  }
  return msSinceAudioCallback() < quietMs ? AudioOutputStatus::Playing : AudioOutputStatus::Stuck;
}

uint64_t audioOutputLosses() { return outputLosses.load(std::memory_order_relaxed); }
