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
//
// The camera and audio threads only copy their values into the motion and
// voice taps; the sending happens elsewhere: on a thread of its own in the
// installation, so that a listener that is gone or slow costs them nothing,
// or in the caller's own steps in the offline renderer.
#include <cstdint>
#include <string>

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

// Opens the taps and starts sending; says where with one line. False (with a
// line saying why, nothing started) when no socket can be had. A host name is
// looked up on a thread of its own: until it is found the messages wait in
// the taps; a name that cannot be found is said once, its messages are not
// sent, and it is looked up again at most once a second ("sending to ...
// again" once it is found). Nothing ever waits for the network: a datagram
// it cannot take at once is not sent.
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
