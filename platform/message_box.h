#pragma once
// The one message-box helper of the program: caption, text, OK only. It is
// the one place that decides how a box is shown.
//
// Blocks until the user dismisses the box, or until the run is asked to end
// while it waits (SIGINT, SIGTERM, a close request of the program's window):
// then the box goes, the call returns as if OK had been pressed, and the
// message loop ends the run. Once an ending is pending, or where no box can
// be shown (no display), the caption and text go to standard error and the
// call returns at once, so an unattended start never hangs.

struct SDL_Window;
// The window a box belongs to; nullptr for none. A box is shown by a process
// of its own, which cannot name the window: every box is shown without one.
using BoxOwner = SDL_Window;

void showMessageBox(BoxOwner* owner, const char* caption, const char* text);

// A box is shown by this same program started again with private arguments.
// Every program that shows boxes calls this first thing in main(): it returns
// -1 for an ordinary start, else the box process's exit status once its box
// was answered (0) or could not be shown (1).
int runMessageBoxProcess(int argc, char** argv);

// With nobody to press a button (a gallery machine started at boot): a box's
// caption and text go to the log as one line ("box: Info: ...") and the call
// returns at once, as after OK.
void setUnattendedBoxes(bool unattended);

// Test seam: while set, boxes go to the hook instead of the screen.
using MessageBoxHook = void (*)(BoxOwner* owner, const char* caption, const char* text);
void setMessageBoxHook(MessageBoxHook hook);
