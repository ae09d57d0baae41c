#pragma once
#include <string>

// One file the renderer writes, whole or not at all: the content goes into a
// fresh partial file beside its target (`TARGET.XXXXXX.partial`) and is renamed
// over the target only when complete.
//
// A symbolic link is followed: its final target is written and the link stays.
// A path that exists but is not a regular file (a device, a FIFO, a directory)
// is refused, so nothing that is not a file of ours is ever replaced.
struct OutputFile {
  std::string path;         // as named on the command line
  std::string target;       // where the content ends up: the path with links followed
  std::string partialPath;  // empty once committed or discarded
  int descriptor = -1;      // open on the partial file until closed by its user or here
};

// Makes the partial file. False with `reason` (no path in it) when the path
// cannot be used: not a regular file, a missing folder, no permission.
bool openOutputFile(OutputFile& file, const std::string& path, std::string& reason);
// Where the path's content ends up, spelled one way whatever way the path is
// spelled: its links followed, its folder resolved, its name appended. For
// comparing outputs with each other and with the source before any is made;
// touches nothing.
std::string outputTarget(const std::string& path);
// Renames the complete partial file over the target.
bool commitOutputFile(OutputFile& file, std::string& reason);
// Removes the partial file, if any. Safe to call more than once.
void discardOutputFile(OutputFile& file);
// Closes the descriptor unless its user took it (set it to -1) already.
void closeOutputDescriptor(OutputFile& file);
