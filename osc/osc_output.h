#pragma once
// The motion and the voices as OSC messages to a listener, over UDP:
//
//   /tessaro/motion  f f f f f f f f f  for every analysed frame: its time (ms),
//                    moving fraction, centroid x, centroid y, velocity x,
//                    velocity y, speed, left gain, right gain
//   /tessaro/voices  i f i f f f f      for every synthesis call: the note the
//                    tone plays (0 to 3), the tone's loudness target, the strike
//                    band (0 to 3), the strike voice's left and right loudness
//                    targets, its pan as left and right weights
//   /tessaro/status  i i f i i i        the installation's heartbeat, once a second
//                    (see OscStatus)
//
// The camera and audio threads only copy their values into the motion and
// voice taps; the sending happens elsewhere: on a thread of its own in the
// installation, so that a listener that is gone or slow costs them nothing,
// or in the caller's own steps in the offline renderer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "HOST:PORT": a host name or IPv4 address, and a UDP port.
struct OscTarget {
  std::string host;
  std::string port;
};
// False when the text is not HOST:PORT with a port from 1 to 65535.
bool parseOscTarget(const char* text, OscTarget& target);

enum class OscSending : uint8_t {
  OwnThread,  // a thread of its own sleeps until a tap has a copy, and sends it
  Inline,     // the caller empties the taps with sendPendingOscMessages
};

// Opens the taps and starts sending to every receiver; says where with one
// line each. Each receiver gets every message through a socket of its own,
// never waiting for it, so a slow or absent one costs the others nothing.
// False (with a line saying why, nothing started) when no socket can be had. A host name is
// looked up on a thread of its own: until it is found the messages wait in
// the taps; a name that cannot be found is said once, its messages are not
// sent, and it is looked up again at most once a second ("sending to ...
// again" once it is found). Nothing ever waits for the network: a datagram
// it cannot take at once is not sent.
bool startOscOutput(const std::vector<OscTarget>& targets, OscSending sending);
bool startOscOutput(const OscTarget& target, OscSending sending);
// Sends every message waiting in the taps, motion before voices. For the
// Inline way only: with OwnThread the sender thread is the taps' one reader.
void sendPendingOscMessages();
// Closes the taps, sends what is left and stops; says how many messages were
// dropped, if any were. A first lookup still under way holds the last
// messages back for a quarter of a second at most; then they count as not
// sent.
// Nothing happens when nothing was started.
void stopOscOutput();

struct OscCounts {
  uint64_t motionSent;
  uint64_t voicesSent;
  uint64_t motionDropped;  // while this output was open
  uint64_t voicesDropped;
  uint64_t sendFailures;   // messages not sent: the name not found, the network refused
  uint64_t senderWakes;    // how often the sender thread woke up
};
// What the output has done since it was started.
OscCounts oscOutputCounts();

// The heartbeat: how the installation is doing, once a second.
struct OscStatus {
  int32_t uptimeSeconds;
  int32_t cameraState;     // 0 no camera, 1 delivering, 2 unplugged, 3 no frames, 4 ended
  float framesPerSecond;   // over the last second
  int32_t soundState;      // 0 no output, 1 playing, 2 output lost, 3 stuck
  int32_t dropped;         // messages the sender dropped (fell behind)
  int32_t underruns;       // gaps in the sound so far
};
constexpr const char* oscStatusPath = "/tessaro/status";
constexpr const char* oscStatusTypes = "iifiii";
constexpr size_t oscStatusFields = 6;
void oscStatusValues(const OscStatus& status, double values[oscStatusFields]);

// Keeps the newest heartbeat, and while the output is open, hands it to the
// sender for every receiver. Any thread; never waits for the network.
void postOscStatus(const OscStatus& status);
// The newest heartbeat; false when none was posted yet.
bool latestOscStatus(OscStatus& status);

// One OSC message (floats and 32-bit integers as `types` says, 'f' or 'i')
// into `datagram`; its size, or 0 when it does not fit.
size_t serialiseOscMessage(const char* path, const char* types, const double* values, char* datagram,
                           size_t capacity);
