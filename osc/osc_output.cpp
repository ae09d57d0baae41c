#include "osc/osc_output.h"

#include <lo/lo.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"
#include "platform/wake_signal.h"
#include "sound/voice_tap.h"
#include "vision/motion_tap.h"

namespace {
// A name that could not be found is looked up again at most this often.
constexpr int64_t lookupRetryNs = 1000000000;
// At the end, how long a first lookup still under way may hold the last
// messages back: stopping takes well under a second whatever the network does.
constexpr auto lastLookupWait = std::chrono::milliseconds(250);

// One lookup of a receiver's name, on a thread of its own, so that nothing
// waits for a name server that does not answer: the sender takes the result
// when it next sends, and a stop leaves a lookup still under way behind.
struct NameLookup {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  int error = 0;  // getaddrinfo's; 0 when `address` holds the answer
  sockaddr_in address{};
};

// Where the messages go, and what has been said about it.
struct Receiver {
  OscTarget target;
  std::string where;                   // "HOST:PORT", for the lines
  std::shared_ptr<NameLookup> lookup;  // the attempt under way or just ended
  bool found = false;                  // `address` holds where the name led
  sockaddr_in address{};
  int64_t nextLookupNs = 0;         // after a failed lookup, the next one not before
  const char* notFound = nullptr;  // why the last lookup failed, until one succeeds
  bool failing = false;      // the last message was not sent; said once until one is
  int socket = -1;           // its own, so that one receiver's backlog is no other's
  uint8_t reachNow = 0;      // Reach, for the messages of this pass
  const char* reason = "";   // why it cannot be reached in this pass
};

struct OscOutput {
  bool open = false;
  std::vector<Receiver> receivers;
  std::thread sender;
  std::atomic<bool> stopping{false};
  uint64_t motionDroppedBefore = 0;
  uint64_t voicesDroppedBefore = 0;
  // Written by whoever sends, read by oscOutputCounts at any time.
  std::atomic<uint64_t> motionSent{0}, voicesSent{0}, motionDropped{0}, voicesDropped{0}, sendFailures{0};
  std::atomic<uint64_t> senderWakes{0};
};
OscOutput output;

// Rung by the taps for every copy and by a lookup when it ends. Never
// destroyed: a lookup left behind may still ring it while the program ends.
WakeSignal& senderWake() {
  static WakeSignal* const wake = new WakeSignal;
  return *wake;
}

// The name as liblo, as Debian builds it, would take it: IPv4, UDP.
int lookUp(const OscTarget& target, int flags, sockaddr_in& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = flags | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(target.host.c_str(), target.port.c_str(), &hints, &found);
  if (error == 0) std::memcpy(&address, found->ai_addr, sizeof address);
  if (found) freeaddrinfo(found);
  return error;
}

void startLookup(Receiver& receiver) {
  auto lookup = std::make_shared<NameLookup>();
  receiver.lookup = lookup;
  // An address in digits needs no name server: found at once.
  sockaddr_in address{};
  const int numeric = lookUp(receiver.target, AI_NUMERICHOST, address);
  if (numeric != EAI_NONAME) {
    lookup->error = numeric;
    lookup->address = address;
    lookup->done = true;
    return;
  }
  try {
    std::thread([lookup, target = receiver.target] {
      pthread_setname_np(pthread_self(), "tessaro-lookup");
      sockaddr_in found{};
      const int error = lookUp(target, 0, found);
      {
        const std::lock_guard guard(lookup->lock);
        lookup->error = error;
        lookup->address = found;
        lookup->done = true;
      }
      lookup->finished.notify_all();
      senderWake().notify();
    }).detach();
  } catch (const std::system_error&) {
    // No thread for it now: a failed lookup, tried again later.
    lookup->error = EAI_AGAIN;
    lookup->done = true;
  }
}

void noteSent(Receiver& receiver, bool sent, const char* reason) {
  if (!sent) {
    output.sendFailures.fetch_add(1, std::memory_order_relaxed);
    if (!receiver.failing) diagnostic("osc", "cannot send to %s: %s", receiver.where.c_str(), reason);
    receiver.failing = true;
  } else if (receiver.failing) {
    diagnostic("osc", "sending to %s again", receiver.where.c_str());
    receiver.failing = false;
  }
}

enum class Reach : uint8_t {
  ready,     // the address is known
  waiting,   // the first lookup is under way: the messages wait in the taps
  unreached  // the name was not found: the messages are not sent
};

// Whether messages can go to the receiver now, and if not, why. Takes a
// lookup's result, or starts the next attempt once a failed one is old
// enough: a name is looked up at most once per attempt, never per message.
Reach reach(Receiver& receiver, const char*& reason) {
  if (receiver.found) return Reach::ready;
  if (!receiver.lookup && monotonicNanoseconds() >= receiver.nextLookupNs) startLookup(receiver);
  reason = receiver.notFound ? receiver.notFound : "its name is still being looked up";
  if (const std::shared_ptr<NameLookup> lookup = receiver.lookup) {
    const std::lock_guard guard(lookup->lock);
    if (lookup->done && lookup->error == 0) {
      receiver.address = lookup->address;
      receiver.found = true;
      return Reach::ready;
    }
    if (lookup->done) {
      reason = receiver.notFound = gai_strerror(lookup->error);
      receiver.nextLookupNs = monotonicNanoseconds() + lookupRetryNs;
      receiver.lookup.reset();
    } else if (!receiver.notFound) {
      return Reach::waiting;
    }
  }
  return Reach::unreached;
}

// One datagram to one receiver, never waiting: true when it went out.
bool sendDatagram(Receiver& receiver, const char* datagram, size_t size) {
  const auto reach = static_cast<Reach>(receiver.reachNow);
  if (reach != Reach::ready) {
    noteSent(receiver, false, receiver.reason);
    return false;
  }
  if (size == 0) {
    noteSent(receiver, false, "the message could not be made");
    return false;
  }
  // A datagram the network cannot take now is not sent.
  const bool sent = sendto(receiver.socket, datagram, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&receiver.address),
                           sizeof receiver.address) == static_cast<ssize_t>(size);
  const int error = errno;
  noteSent(receiver, sent, std::strerror(error));
  return sent;
}

// One message to every receiver; true when at least one took it.
bool sendToAll(const char* path, const char* types, const double* values) {
  char datagram[256];
  const size_t size = serialiseOscMessage(path, types, values, datagram, sizeof datagram);
  bool any = false;
  for (Receiver& receiver : output.receivers) any = sendDatagram(receiver, datagram, size) || any;
  return any;
}

void sendMotion(const MotionSample& sample) {
  const MotionValues& m = sample.motion;
  const double values[] = {sample.frameMs, m.movingFraction, m.centroidX, m.centroidY, m.velocityX,
                           m.velocityY,    m.speed,          m.leftGain,  m.rightGain};
  if (sendToAll("/tessaro/motion", "fffffffff", values)) output.motionSent.fetch_add(1, std::memory_order_relaxed);
}

void sendVoices(const VoiceSample& v) {
  const double values[] = {double(v.note),     v.levelTarget,       double(v.strikeBand),
                           v.strikeLeftTarget, v.strikeRightTarget, v.panLeft,
                           v.panRight};
  if (sendToAll("/tessaro/voices", "ififfff", values)) output.voicesSent.fetch_add(1, std::memory_order_relaxed);
}

// The newest heartbeat, for the sender and for anyone who asks for it.
struct StatusSlot {
  std::mutex lock;
  OscStatus status{};
  bool posted = false;
};
StatusSlot& statusSlot() {
  static StatusSlot slot;
  return slot;
}
std::atomic<bool> statusPending{false};

// Sends what the taps hold to every receiver that can be reached, or counts
// it as not sent. While every receiver's first lookup is under way (and
// `holdWhileLooking`), it stays in the taps; one receiver still looked up
// holds nothing back from the others.
void sendPending(bool holdWhileLooking) {
  bool allWaiting = !output.receivers.empty();
  for (Receiver& receiver : output.receivers) {
    Reach now = reach(receiver, receiver.reason);
    if (now == Reach::waiting && !holdWhileLooking) now = Reach::unreached;
    receiver.reachNow = static_cast<uint8_t>(now);
    allWaiting = allWaiting && now == Reach::waiting;
  }
  if (!allWaiting) {
    for (Receiver& receiver : output.receivers) {
      if (receiver.reachNow == static_cast<uint8_t>(Reach::waiting)) {
        receiver.reachNow = static_cast<uint8_t>(Reach::unreached);
      }
    }
    MotionSample motion{};
    while (takeMotionSample(motion)) sendMotion(motion);
    VoiceSample voices{};
    while (takeVoiceSample(voices)) sendVoices(voices);
    OscStatus status{};
    if (statusPending.exchange(false, std::memory_order_acq_rel) && latestOscStatus(status)) {
      double values[oscStatusFields];
      oscStatusValues(status, values);
      sendToAll(oscStatusPath, oscStatusTypes, values);
    }
  }
  output.motionDropped.store(motionSamplesDropped() - output.motionDroppedBefore, std::memory_order_relaxed);
  output.voicesDropped.store(voiceSamplesDropped() - output.voicesDroppedBefore, std::memory_order_relaxed);
}

// The end: a first lookup still under way may hold the last messages a
// little; what still cannot go is counted as not sent.
void sendLastMessages() {
  const auto until = std::chrono::steady_clock::now() + lastLookupWait;
  for (Receiver& receiver : output.receivers) {
    if (!receiver.found && receiver.lookup && !receiver.failing) {
      std::unique_lock lock(receiver.lookup->lock);
      receiver.lookup->finished.wait_until(lock, until, [&] { return receiver.lookup->done; });
    }
  }
  sendPending(false);
}

void runSender() {
  pthread_setname_np(pthread_self(), "tessaro-osc");  // so it can be told apart in ps and traces
  while (!output.stopping.load(std::memory_order_acquire)) {
    sendPending(true);
    // Until a tap has a copy, a lookup ends or the stop comes: no polling.
    senderWake().wait(-1);
    output.senderWakes.fetch_add(1, std::memory_order_relaxed);
  }
  // What the taps still hold goes out from here too, so every datagram
  // leaves from this one thread.
  sendLastMessages();
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

bool startOscOutput(const std::vector<OscTarget>& targets, OscSending sending) {
  stopOscOutput();
  output.receivers.clear();
  for (const OscTarget& target : targets) {
    Receiver receiver;
    receiver.target = target;
    receiver.where = target.host + ":" + target.port;
    receiver.socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (receiver.socket < 0) {
      diagnostic("osc", "cannot send to %s: %s", receiver.where.c_str(), std::strerror(errno));
      for (Receiver& opened : output.receivers) close(opened.socket);
      output.receivers.clear();
      return false;
    }
    // As liblo's own sockets: a broadcast address may be the receiver.
    const int on = 1;
    setsockopt(receiver.socket, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    output.receivers.push_back(std::move(receiver));
  }
  if (output.receivers.empty()) return false;
  output.open = true;
  output.motionSent = output.voicesSent = output.motionDropped = output.voicesDropped = 0;
  output.sendFailures = output.senderWakes = 0;
  output.motionDroppedBefore = motionSamplesDropped();
  output.voicesDroppedBefore = voiceSamplesDropped();
  statusPending = false;
  for (Receiver& receiver : output.receivers) startLookup(receiver);
  // The sender thread sleeps until a tap rings; sent inline, nothing rings.
  WakeSignal* wake = sending == OscSending::OwnThread ? &senderWake() : nullptr;
  openMotionTap(wake);
  openVoiceTap(wake);
  for (const Receiver& receiver : output.receivers) {
    diagnostic("osc", "sending /tessaro/motion and /tessaro/voices to %s", receiver.where.c_str());
  }
  if (sending == OscSending::OwnThread) {
    output.stopping.store(false, std::memory_order_relaxed);
    senderWake().wait(0);  // what a lookup of an earlier output rang is no work for this one
    output.sender = std::thread(runSender);
  }
  return true;
}

bool startOscOutput(const OscTarget& target, OscSending sending) {
  return startOscOutput(std::vector<OscTarget>{target}, sending);
}

void sendPendingOscMessages() {
  if (output.open) sendPending(true);
}

void stopOscOutput() {
  if (!output.open) return;
  closeMotionTap();
  closeVoiceTap();
  if (output.sender.joinable()) {
    output.stopping.store(true, std::memory_order_release);
    senderWake().notify();
    output.sender.join();
  } else {
    sendLastMessages();
  }
  const uint64_t motionDropped = output.motionDropped.load(std::memory_order_relaxed);
  const uint64_t voicesDropped = output.voicesDropped.load(std::memory_order_relaxed);
  if (motionDropped + voicesDropped > 0) {
    diagnostic(
        "osc", "%llu /tessaro/motion and %llu /tessaro/voices messages were dropped: the sender fell behind",
        static_cast<unsigned long long>(motionDropped), static_cast<unsigned long long>(voicesDropped));
  }
  for (Receiver& receiver : output.receivers) close(receiver.socket);
  output.receivers.clear();  // a lookup still under way ends on its own
  output.open = false;
}

OscCounts oscOutputCounts() {
  return OscCounts{output.motionSent.load(std::memory_order_relaxed),
                   output.voicesSent.load(std::memory_order_relaxed),
                   output.motionDropped.load(std::memory_order_relaxed),
                   output.voicesDropped.load(std::memory_order_relaxed),
                   output.sendFailures.load(std::memory_order_relaxed),
                   output.senderWakes.load(std::memory_order_relaxed)};
}

size_t serialiseOscMessage(const char* path, const char* types, const double* values, char* datagram,
                           size_t capacity) {
  lo_message message = lo_message_new();
  if (!message) return 0;
  for (size_t i = 0; types[i]; ++i) {
    if (types[i] == 'i') {
      lo_message_add_int32(message, static_cast<int32_t>(values[i]));
    } else {
      lo_message_add_float(message, static_cast<float>(values[i]));
    }
  }
  size_t size = lo_message_length(message, path);
  const bool fits = size <= capacity && lo_message_serialise(message, path, datagram, &size) != nullptr;
  lo_message_free(message);
  return fits ? size : 0;
}

void oscStatusValues(const OscStatus& status, double values[oscStatusFields]) {
  values[0] = status.uptimeSeconds;
  values[1] = status.cameraState;
  values[2] = status.framesPerSecond;
  values[3] = status.soundState;
  values[4] = status.dropped;
  values[5] = status.underruns;
}

void postOscStatus(const OscStatus& status) {
  {
    StatusSlot& slot = statusSlot();
    const std::lock_guard guard(slot.lock);
    slot.status = status;
    slot.posted = true;
  }
  if (!output.open) return;
  statusPending.store(true, std::memory_order_release);
  senderWake().notify();
}

bool latestOscStatus(OscStatus& status) {
  StatusSlot& slot = statusSlot();
  const std::lock_guard guard(slot.lock);
  status = slot.status;
  return slot.posted;
}
