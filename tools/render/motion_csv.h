#pragma once
// The motion log of a render (--csv): a header line, then one row per analysed
// frame with its time in milliseconds, every field of the motion record after
// it, and the note and strike values of the synthesis call that followed it.
// Floats are written with 9 significant digits and doubles with 17, so every
// value reads back to the same bits. Like the WAV, the file appears whole or
// not at all.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/render/output_file.h"
#include "tools/render/render_core.h"
#include "vision/motion_state.h"

struct MotionCsv {
  struct Frame {
    float frameMs;
    MotionValues motion;
  };
  OutputFile output;
  std::FILE* stream = nullptr;
  std::vector<Frame> waiting;  // analysed since the last synthesis call
  int writeError = 0;          // errno of the first failed write
};

extern const char motionCsvHeader[];

// Each false comes with a reason for "cannot write 'OUT.csv': REASON".
bool openMotionCsv(MotionCsv& csv, const std::string& path, std::string& error);
// What the render tells the log; its user is the MotionCsv.
extern const RenderTap motionCsvTap;
// Writes out what is buffered and closes the stream; the partial file stays
// until committed.
bool finishMotionCsv(MotionCsv& csv, std::string& error);
bool commitMotionCsv(MotionCsv& csv, std::string& error);
void abandonMotionCsv(MotionCsv& csv);
