#include "osc/osc_output.h"

#include <lo/lo.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"
#include "platform/diagnostics.h"
#include "sound/voice_tap.h"
#include "vision/motion_tap.h"

namespace {
// How often the sender thread empties the taps: a few milliseconds of
// latency, against a camera frame every 33 ms and a synthesis call every 100.
constexpr uint32_t senderPauseMs = 5;

struct OscOutput {
  lo_address address = nullptr;
  std::string where;  // "HOST:PORT", for the lines
  std::thread sender;
  std::atomic<bool> stopping{false};
  bool failing = false;  // the last send failed; said once until one succeeds
  uint64_t motionDroppedBefore = 0;
  uint64_t voicesDroppedBefore = 0;
  // Written by whoever sends, read by oscOutputCounts at any time.
  std::atomic<uint64_t> motionSent{0}, voicesSent{0}, motionDropped{0}, voicesDropped{0}, sendFailures{0};
};
OscOutput output;

void noteSent(bool sent) {
  if (!sent) {
    output.sendFailures.fetch_add(1, std::memory_order_relaxed);
    if (!output.failing) {
      const char* reason = lo_address_errstr(output.address);
      diagnostic("osc", "cannot send to %s: %s", output.where.c_str(), reason ? reason : "unknown error");
    }
    output.failing = true;
  } else if (output.failing) {
    diagnostic("osc", "sending to %s again", output.where.c_str());
    output.failing = false;
  }
}

// One message of the given path from floats and 32-bit integers as the
// type tags say ('f' or 'i'); true when it went out.
bool sendMessage(const char* path, const char* types, const double* values) {
  lo_message message = lo_message_new();
  if (!message) return false;
  for (size_t i = 0; types[i]; ++i) {
    if (types[i] == 'i') {
      lo_message_add_int32(message, static_cast<int32_t>(values[i]));
    } else {
      lo_message_add_float(message, static_cast<float>(values[i]));
    }
  }
  const bool sent = lo_send_message(output.address, path, message) >= 0;
  lo_message_free(message);
  return sent;
}

void sendMotion(const MotionSample& sample) {
  const MotionValues& m = sample.motion;
  const double values[] = {sample.frameMs, m.movingFraction, m.centroidX, m.centroidY, m.velocityX,
                           m.velocityY,    m.speed,          m.leftGain,  m.rightGain};
  const bool sent = sendMessage("/tessaro/motion", "fffffffff", values);
  if (sent) output.motionSent.fetch_add(1, std::memory_order_relaxed);
  noteSent(sent);
}

void sendVoices(const VoiceSample& v) {
  const double values[] = {double(v.note),     v.levelTarget,       double(v.strikeBand),
                           v.strikeLeftTarget, v.strikeRightTarget, v.panLeft,
                           v.panRight};
  const bool sent = sendMessage("/tessaro/voices", "ififfff", values);
  if (sent) output.voicesSent.fetch_add(1, std::memory_order_relaxed);
  noteSent(sent);
}

void runSender() {
  pthread_setname_np(pthread_self(), "tessaro-osc");  // so it can be told apart in ps and traces
  while (!output.stopping.load(std::memory_order_acquire)) {
    sendPendingOscMessages();
    sleepMs(senderPauseMs);
  }
  // What the taps still hold goes out from here too, so every datagram
  // leaves from this one thread.
  sendPendingOscMessages();
}

bool isPort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const long port = std::strtol(text.c_str(), nullptr, 10);
  return port >= 1 && port <= 65535;
}
}  // namespace

bool parseOscTarget(const char* text, OscTarget& target) {
  const std::string whole = text ? text : "";
  const size_t colon = whole.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = whole.substr(0, colon);
  const std::string port = whole.substr(colon + 1);
  // liblo as Debian builds it speaks IPv4 only: a host is a name or an IPv4 address.
  if (host.empty() || host.find_first_of(":[]") != std::string::npos || !isPort(port)) return false;
  target = OscTarget{host, port};
  return true;
}

bool startOscOutput(const OscTarget& target, OscSending sending) {
  stopOscOutput();
  output.where = target.host + ":" + target.port;
  output.address = lo_address_new(target.host.c_str(), target.port.c_str());
  if (!output.address) {
    diagnostic("osc", "cannot send to %s: no memory for the address", output.where.c_str());
    return false;
  }
  output.failing = false;
  output.motionSent = output.voicesSent = output.motionDropped = output.voicesDropped = 0;
  output.sendFailures = 0;
  output.motionDroppedBefore = motionSamplesDropped();
  output.voicesDroppedBefore = voiceSamplesDropped();
  openMotionTap();
  openVoiceTap();
  diagnostic("osc", "sending /tessaro/motion and /tessaro/voices to %s", output.where.c_str());
  if (sending == OscSending::OwnThread) {
    output.stopping.store(false, std::memory_order_relaxed);
    output.sender = std::thread(runSender);
  }
  return true;
}

void sendPendingOscMessages() {
  if (!output.address) return;
  MotionSample motion{};
  while (takeMotionSample(motion)) sendMotion(motion);
  VoiceSample voices{};
  while (takeVoiceSample(voices)) sendVoices(voices);
  output.motionDropped.store(motionSamplesDropped() - output.motionDroppedBefore, std::memory_order_relaxed);
  output.voicesDropped.store(voiceSamplesDropped() - output.voicesDroppedBefore, std::memory_order_relaxed);
}

void stopOscOutput() {
  if (!output.address) return;
  closeMotionTap();
  closeVoiceTap();
  if (output.sender.joinable()) {
    output.stopping.store(true, std::memory_order_release);
    output.sender.join();
  } else {
    sendPendingOscMessages();
  }
  const uint64_t motionDropped = output.motionDropped.load(std::memory_order_relaxed);
  const uint64_t voicesDropped = output.voicesDropped.load(std::memory_order_relaxed);
  if (motionDropped + voicesDropped > 0) {
    diagnostic(
        "osc", "%llu /tessaro/motion and %llu /tessaro/voices messages were dropped: the sender fell behind",
        static_cast<unsigned long long>(motionDropped), static_cast<unsigned long long>(voicesDropped));
  }
  lo_address_free(output.address);
  output.address = nullptr;
}

OscCounts oscOutputCounts() {
  return OscCounts{output.motionSent.load(std::memory_order_relaxed),
                   output.voicesSent.load(std::memory_order_relaxed),
                   output.motionDropped.load(std::memory_order_relaxed),
                   output.voicesDropped.load(std::memory_order_relaxed),
                   output.sendFailures.load(std::memory_order_relaxed)};
}
