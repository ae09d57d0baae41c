#pragma once
// OSC in: a UDP port where the output's level can be set while the
// installation runs, and its heartbeat asked for:
//
//   /tessaro/volume f   the output's level in dB, -60 to 0 (i and d are taken too)
//   /tessaro/mute i     1 silences the output at once, 0 brings it back (T and F too)
//   /tessaro/status     answered with /tessaro/status (osc_output.h) to the sender
//
// Anything else, or a value out of range, is ignored, with one line at most
// once a minute. The messages are taken on a thread of its own, which only
// hands the values on: whatever arrives, the sound never waits for it.
#include <cstdint>

#include "osc/osc_output.h"

// "[HOST:]PORT": an IPv4 address (0.0.0.0: every interface; default
// 127.0.0.1, this machine only) and a UDP port from 1 to 65535.
bool parseListenAddress(const char* text, OscTarget& where);

// What a message changes; called on the listener's thread.
struct OscControls {
  void (*setVolumeDb)(double dB);
  void (*setMuted)(bool muted);
};

// Binds the port and starts taking messages; one line says where. False,
// after one line saying why, when the port cannot be had.
bool startOscInput(const OscTarget& where, const OscControls& controls);
// The port bound (useful when 0 was asked for); 0 when not listening.
uint16_t oscInputPort();
// Stops taking messages; nothing happens when nothing was started.
void stopOscInput();

// Test seam: the interval between two lines about ignored messages (ms);
// 0 restores a minute.
void setOscInputLineInterval(uint64_t ms);
