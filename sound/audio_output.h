#pragma once
// The sound path's set-up: tables, library check, output device, the
// synthesis stream with its two reverbs, and playback. Runs once on the main
// thread during start-up; shutdown is a single BASS_Free.

#include <cstdint>
#include <span>

#include "platform/message_box.h"

// The output stream and its two reverbs, in the order they were set on it
// (0 where a step failed); kept in audio_output.cpp.
uint32_t audioStreamHandle();
std::span<const uint32_t, 2> reverbFxHandles();
// Back to no stream, no reverbs and no owner window, as at start-up.
void clearAudioOutput();

// 1 on success; 0 when the library is not version 2.0 or the device cannot be
// initialised (a box says which). Later failures leave the installation
// silent or dry, return 1 and print one line each to standard error.
int32_t initAudio(BoxOwner* ownerWindow);

// Steps after the device is open: the synthesis stream, its two reverbs with
// the installation's settings, and playback. Also drives the offline renderer,
// so a recording is heard exactly as the room would hear it.
void startSynthesisStream();

// Shows "<text> (bass error code: N)" under the caption "bass error".
void showAudioError(const char* text);
