#pragma once
// A frame callback for tests: keeps a copy of every delivered frame and
// notices callbacks that overlap or arrive after the capture was stopped.
#include <cstdint>
#include <vector>

#include "vision/frame_pipeline.h"

int32_t logFrame(uint32_t tag, const FrameRecord* frame, uint32_t user);

void resetFrameLog();
// Waits until at least `count` frames arrived; false after `timeoutMs`.
bool waitForFrames(int count, int timeoutMs);
int loggedFrames();
std::vector<uint8_t> loggedFrame(int index);
uint32_t lastTag();
uint32_t lastUser();
// From now on every callback counts as late.
void markCaptureStopped();
int lateFrames();
int overlappingFrames();
