#pragma once
// Stereo reverb: a network that stays the same from one pass to the next, so
// a held note comes out at a steady level and at its own pitch.
//
// A steady sine through a fixed network comes out as a steady sine, scaled by
// the network's response at that frequency. Two things keep that response
// from picking out single notes:
//
// - Enough modes per hertz. Each mode of a 3 s tail is 2.2 / 3 s = 0.7 Hz
//   wide, and a network has as many modes per hertz as it holds seconds of
//   delay; with 4.1 s per channel the modes overlap three times over, so no
//   frequency finds a lone mode to ring on. The response then varies from one
//   frequency to the next like noise: its power is exponentially distributed
//   about the mean, which still puts one frequency in 150 more than 7 dB above
//   it.
// - An early part with a flat response. The diffused input itself (all-pass
//   filters: the same level at every frequency) is part of the wet sound; a
//   steady response that is a fixed component plus the tail's noise-like one
//   strays far above the mean less often (with early part and tail equal in
//   power, one frequency in 500 above 7 dB).
//
// Below a crossover at 2 kHz the diffused input feeds the low network: eight
// lanes of 0.38 to 0.68 s, mixed by an 8-point Hadamard matrix after every
// pass, each lane losing what its length takes of the reverb time, and read by
// taps along the lanes so that the tail starts at once rather than after the
// shortest lane; three all-passes before it spread each tap's echo out, losing
// the reverb time's decay over their own delays so that the tail still decays
// exactly. Above the crossover a small network of four short lanes decays in
// reverb time x ratio; the high band's early part makes up the power its
// shorter tail lacks, so held notes above and below the crossover come out at
// the same average level for any ratio.
//
// The low band's lengths and the input diffusers follow the reverb time (the
// longest at 3 s, down to a tenth of that): every time then has the same
// passes per decay, the same modes per mode width and the same early part in
// proportion, and the wet sound's power, early part and tail alike, is in
// proportion to the time, as in a room.
//
// Each channel has its own copy of the networks, of the same lengths, and no
// tail crosses between them. With the dry sound present, a steady tone's level
// in each channel depends on how its wet part adds to its dry part, which
// varies from one frequency to the next; only when both channels have the same
// response does a panned tone keep the side it is panned to at every
// frequency, and a tail crossing over would add to the other side in or out of
// phase just as unpredictably. The high band alone passes through an all-pass
// of a different length per channel, so that the two channels' high
// frequencies differ while both keep the same level.
//
// Two reverbs in series would multiply their responses, lifting the same
// frequencies twice: every instance on a stream is a variant of its own
// (lengths and signs differ), chosen by its place in the chain.
//
// Works at any rate the audio layer accepts: lengths and filters are set in
// seconds and hertz. Interleaved stereo float frames, processed in place, in
// float without contraction: the output depends on the input alone and is the
// same on every build. Values that fall below -200 dB are set to zero where
// they enter recursive state, so tails never reach denormal numbers and die to
// exact silence.

#include <cstddef>
#include <cstdint>

#include "platform/test_seams.h"

constexpr uint32_t reverbMinRate = 8000;
constexpr uint32_t reverbMaxRate = 192000;
constexpr int32_t reverbDiffuserCount = 6;
constexpr int32_t reverbMaxLanes = 8;
constexpr int32_t reverbMaxTaps = 32;
// Frames a network runs at a time: no lane or tap is shorter.
constexpr int32_t reverbNetworkBlock = 64;

// The effect's parameter record, four 32-bit floats in this order.
struct ReverbParameters {
  float inputGain;      // dB, -96 to 0; scales the input (dry and wet)
  float reverbMix;      // dB, -96 to 0; 0 is all wet
  float reverbTime;     // ms, 0.001 to 3000; low-frequency decay by 60 dB
  float highFreqRatio;  // 0.001 to 0.999; high-frequency decay time / reverbTime
};

constexpr ReverbParameters defaultReverbParameters = {0.0f, 0.0f, 1000.0f, 0.001f};

// Dry and wet gains of the constant-power crossfade for a mix in dB.
struct ReverbMixFactors {
  double dry;
  double wet;
};

// A chain of lattice all-passes over a stream of floats (a stereo stream's
// interleaved frames: a delay of m frames is 2m floats). Where the delays
// lose the reverb's decay over their length (`decays` below one), the chain's
// response is that of the lossless chain times the reverb's decay envelope.
struct ReverbAllpasses {
  int32_t count;
  float gain;
  int32_t lengths[reverbDiffuserCount];  // floats
  int32_t capacities[reverbDiffuserCount];
  int32_t positions[reverbDiffuserCount];
  float decays[reverbDiffuserCount];
  float* buffers[reverbDiffuserCount];
};

// Lanes of stereo frames (left, right interleaved), each a ring buffer with a
// copy of its first reverbNetworkBlock + 1 frames after its end, so that any
// run of a block's frames reads without wrapping. Every pass a lane's oldest
// frames are read, scaled by the lane's decay, given the input (in one lane:
// the mixing spreads it to all) and mixed with the other lanes' (Hadamard).
struct ReverbNetwork {
  int32_t laneCount;
  int32_t tapsPerLane;
  int32_t lengths[reverbMaxLanes];     // frames
  int32_t capacities[reverbMaxLanes];  // the longest a lane may be, in frames
  int32_t positions[reverbMaxLanes];   // where the oldest frame is read and the new one written
  float* lanes[reverbMaxLanes];
  float laneGains[reverbMaxLanes];  // decay over the lane, with the mixing's normalisation
  float injectGain;
  float endGains[reverbMaxLanes];    // output from the decayed oldest frames, when no taps
  int32_t tapDelays[reverbMaxTaps];  // frames behind the newest; tap t reads lane t / tapsPerLane
  double tapWeights[reverbMaxTaps];  // thinner where taps lie closer together
  float tapGains[reverbMaxTaps];     // sign x weight x decay over the delay x the network's output gain
};

struct ReverbState {
  ReverbState() = default;
  ReverbState(const ReverbState&) = delete;
  ReverbState& operator=(const ReverbState&) = delete;
  ~ReverbState();

  ReverbParameters parameters{};
  uint32_t sampleRate = 0;
  uint32_t variant = 0;
  float inputScale = 0.0f;
  float dryScale = 0.0f;
  float wetScale = 0.0f;
  float earlyLow = 0.0f;               // the early part's gain below the crossover
  float earlyHigh = 0.0f;              // and above it
  ReverbAllpasses diffusers{};         // the input, both channels
  ReverbAllpasses lowDiffusers{};      // the low band before its network, decaying
  ReverbAllpasses decorrelators[2]{};  // the high band, one channel each
  // The crossover: two all-pass branches whose half sum is a 7th-order
  // Butterworth low-pass and whose half difference is the matching high-pass
  // (powers summing to one). Both branches for both channels run side by side
  // as one vector (branch 0 left, right, branch 1 left, right) through two
  // sections: y = b0 x + s1, then s1 = k1 x + s2 - a1 s1 and s2 = k2 x - a2 s1
  // (transposed direct form with y substituted, k1 = b1 - a1 b0 and
  // k2 = b2 - a2 b0), with coefficients per vector element.
  float crossover[2][5][4] = {};       // section, {b0, k1, k2, a1, a2}, element
  float crossoverState[2][2][4] = {};  // section, {s1, s2}, element
  ReverbNetwork low{};
  ReverbNetwork high{};
  double lowScale = 0.0;    // the scaled lengths over their longest
  bool highSounds = false;  // the high band's network has anything to give
  float* memory = nullptr;  // everything above that has a pointer into it
  std::size_t memoryFloats = 0;
};

// True when every field lies in its range (NaN never does).
bool reverbParametersValid(const ReverbParameters& parameters);
ReverbMixFactors reverbMixFactors(double mixDb);

// Empties the reverb and sets the default parameters, for sampleRate frames
// per second (clamped to reverbMinRate..reverbMaxRate), as variant number
// `variant` (the instance's place in a chain: 0 for the first). Takes about
// 4 s of stereo frames of memory at the rate (1.4 MB at 44 100 Hz), kept from
// an earlier call where it suffices. False, with the reverb passing sound
// through unchanged, when the memory cannot be had.
bool initReverb(ReverbState& reverb, uint32_t sampleRate, uint32_t variant = 0);
// Gives its memory back; the reverb passes sound through until initialised.
void releaseReverb(ReverbState& reverb);
// Refuses (returns false, changes nothing) a record out of range; otherwise
// takes it and recomputes the gains, keeping the tail that is playing, unless
// the reverb time changes: the lengths that follow it are laid anew, empty.
bool setReverbParameters(ReverbState& reverb, const ReverbParameters& parameters);
// Processes frameCount interleaved stereo frames in place.
void processReverb(ReverbState& reverb, float* samples, uint32_t frameCount);

// Test seam: where reverbs take their memory; nullptr restores malloc.
void setReverbAllocator(BufferAllocator allocator);
