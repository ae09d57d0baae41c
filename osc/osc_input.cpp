#include "osc/osc_input.h"

#include <arpa/inet.h>
#include <lo/lo.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "audio/audio_library.h"
#include "platform/diagnostics.h"
#include "platform/monotonic_time.h"
#include "platform/wake_signal.h"

namespace {
constexpr uint64_t ignoredLineIntervalMs = 60000;

struct OscInput {
  bool open = false;
  int socket = -1;
  uint16_t port = 0;
  OscControls controls{};
  std::thread listener;
  std::atomic<bool> stopping{false};
  WakeSignal* wake = nullptr;
  // Lines about ignored messages: the last one's time (0: none yet), and
  // how many were ignored since without a line.
  std::atomic<uint64_t> lineIntervalMs{ignoredLineIntervalMs};
  uint64_t lastLineMs = 0;
  uint64_t unsaid = 0;
};
OscInput input;

std::string sender(const sockaddr_in& from) {
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &from.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(from.sin_port));
}

void ignore(const std::string& what, const sockaddr_in& from, const char* why) {
  const uint64_t now = monotonicMilliseconds();
  if (input.lastLineMs != 0 && now - input.lastLineMs < input.lineIntervalMs) {
    ++input.unsaid;
    return;
  }
  std::string more;
  if (input.unsaid > 0) more = " (and " + std::to_string(input.unsaid) + " more since the last line)";
  diagnostic("osc", "ignored %s from %s: %s%s", what.c_str(), sender(from).c_str(), why, more.c_str());
  input.lastLineMs = now;
  input.unsaid = 0;
}

// The one argument as a number, when it is one of the types taken.
bool numberArgument(lo_message message, const char* types, double& value) {
  if (std::strlen(types) != 1) return false;
  const void* argument = lo_message_get_argv(message)[0];
  switch (types[0]) {
    case LO_FLOAT: {
      float f;
      std::memcpy(&f, argument, sizeof f);
      value = f;
      return true;
    }
    case LO_DOUBLE: std::memcpy(&value, argument, sizeof value); return true;
    case LO_INT32: {
      int32_t i;
      std::memcpy(&i, argument, sizeof i);
      value = i;
      return true;
    }
    case LO_TRUE: value = 1; return true;
    case LO_FALSE: value = 0; return true;
    default: return false;
  }
}

void answerStatus(const sockaddr_in& from) {
  OscStatus status{};
  if (!latestOscStatus(status)) return;  // nothing to tell yet
  double values[oscStatusFields];
  oscStatusValues(status, values);
  char datagram[128];
  const size_t size = serialiseOscMessage(oscStatusPath, oscStatusTypes, values, datagram, sizeof datagram);
  // From the port asked, to the port that asked; never waits.
  if (size > 0) {
    sendto(input.socket, datagram, size, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&from),
           sizeof from);
  }
}

void take(char* data, size_t size, const sockaddr_in& from) {
  int result = 0;
  lo_message message = lo_message_deserialise(data, size, &result);
  if (!message) {
    ignore("a datagram", from, size >= 8 && std::memcmp(data, "#bundle", 8) == 0 ? "OSC bundles are not taken"
                                                                                 : "not an OSC message");
    return;
  }
  const char* path = lo_get_path(data, static_cast<ssize_t>(size));
  const char* types = lo_message_get_types(message);
  const std::string what = std::string(path ? path : "?") + " " + (types ? types : "");
  double value = 0;
  if (!path || !types) {
    ignore("a datagram", from, "not an OSC message");
  } else if (std::strcmp(path, "/tessaro/volume") == 0) {
    if (!numberArgument(message, types, value) || types[0] == LO_TRUE || types[0] == LO_FALSE) {
      ignore(what, from, "takes one number, the level in dB");
    } else if (!(value >= outputVolumeFloorDb && value <= 0.0)) {
      ignore(what, from, "the level must be from -60 to 0 dB");
    } else if (input.controls.setVolumeDb) {
      input.controls.setVolumeDb(value);
    }
  } else if (std::strcmp(path, "/tessaro/mute") == 0) {
    if (!numberArgument(message, types, value) || (value != 0 && value != 1)) {
      ignore(what, from, "takes 1 (silent) or 0 (sounding)");
    } else if (input.controls.setMuted) {
      input.controls.setMuted(value == 1);
    }
  } else if (std::strcmp(path, "/tessaro/status") == 0) {
    answerStatus(from);
  } else {
    ignore(what, from, "not a message the installation takes");
  }
  lo_message_free(message);
}

void takeMessages() {
  pthread_setname_np(pthread_self(), "tessaro-osc-in");
  pollfd waits[2] = {{input.socket, POLLIN, 0}, {input.wake->descriptor(), POLLIN, 0}};
  while (!input.stopping.load(std::memory_order_acquire)) {
    if (poll(waits, waits[1].fd >= 0 ? 2 : 1, waits[1].fd >= 0 ? -1 : 50) < 0 && errno != EINTR) break;
    for (;;) {
      char datagram[4096];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t got = recvfrom(input.socket, datagram, sizeof datagram, MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &length);
      if (got < 0) break;
      take(datagram, static_cast<size_t>(got), from);
    }
  }
}

bool isPort(const std::string& text, bool zeroAllowed) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long port = std::strtol(text.c_str(), nullptr, 10);
  return port <= 65535 && (port >= 1 || zeroAllowed);
}
}  // namespace

bool parseListenAddress(const char* text, OscTarget& where) {
  const std::string whole = text ? text : "";
  const size_t colon = whole.rfind(':');
  const std::string host = colon == std::string::npos ? "127.0.0.1" : whole.substr(0, colon);
  const std::string port = colon == std::string::npos ? whole : whole.substr(colon + 1);
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) != 1 || !isPort(port, false)) return false;
  where = OscTarget{host, port};
  return true;
}

bool startOscInput(const OscTarget& where, const OscControls& controls) {
  stopOscInput();
  const std::string place = where.host + ":" + where.port;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::strtol(where.port.c_str(), nullptr, 10)));
  if (inet_pton(AF_INET, where.host.c_str(), &address.sin_addr) != 1 || !isPort(where.port, true)) {
    diagnostic("osc", "cannot listen on %s: not an IPv4 address and port", place.c_str());
    return false;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    diagnostic("osc", "cannot listen on %s: %s", place.c_str(), std::strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  input.socket = fd;
  input.port = ntohs(address.sin_port);
  input.controls = controls;
  input.lastLineMs = 0;
  input.unsaid = 0;
  input.stopping = false;
  input.wake = new WakeSignal;
  input.listener = std::thread(takeMessages);
  input.open = true;
  diagnostic("osc", "listening on %s:%u for /tessaro/volume, /tessaro/mute and /tessaro/status",
             where.host.c_str(), static_cast<unsigned>(input.port));
  return true;
}

uint16_t oscInputPort() { return input.open ? input.port : 0; }

void stopOscInput() {
  if (!input.open) return;
  input.stopping.store(true, std::memory_order_release);
  input.wake->notify();
  input.listener.join();
  delete input.wake;
  input.wake = nullptr;
  close(input.socket);
  input.socket = -1;
  input.port = 0;
  input.open = false;
}

void setOscInputLineInterval(uint64_t ms) { input.lineIntervalMs = ms ? ms : ignoredLineIntervalMs; }
