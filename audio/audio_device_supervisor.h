#pragma once
// The audio library's watch over its output device: when the device goes away
// (a sound server restarted, a USB interface unplugged) it says so, and opens
// the default output again about once a second until it plays. The streams,
// effects and synthesis state stay as they are meanwhile: no procedure is
// called while no device plays. Only audio_library.cpp starts and stops it.
#include <cstdint>

#include "platform/audio_device.h"

// How the library's output device is opened, first and again: 16-bit stereo
// at `rate`, rendered by renderAudioOutput.
AudioDeviceRequest outputDeviceRequest(uint32_t rate);

// Starts watching the device the library has just opened and started.
void startDeviceSupervisor(uint32_t rate);
// Returns once the supervisor has ended; it may have closed the device or
// opened another, so the device is read only afterwards.
void stopDeviceSupervisor();

// The library's side, under its lock: the device it plays through (0: none).
uint32_t currentOutputDevice();
void setCurrentOutputDevice(uint32_t device);
