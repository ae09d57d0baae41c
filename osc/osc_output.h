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
  OwnThread,  // a thread of its own empties the taps every few milliseconds
  Inline,     // the caller empties them with sendPendingOscMessages
};

// Opens the taps and starts sending; says where with one line. False (with a
// line saying why, nothing started) when the target cannot be used.
bool startOscOutput(const OscTarget& target, OscSending sending);
// Sends every message waiting in the taps, motion before voices. For the
// Inline way only: with OwnThread the sender thread is the taps' one reader.
void sendPendingOscMessages();
// Closes the taps, sends what is left and stops; says how many messages were
// dropped, if any were. Nothing happens when nothing was started.
void stopOscOutput();

struct OscCounts {
  uint64_t motionSent;
  uint64_t voicesSent;
  uint64_t motionDropped;  // while this output was open
  uint64_t voicesDropped;
  uint64_t sendFailures;
};
// What the output has done since it was started.
OscCounts oscOutputCounts();
