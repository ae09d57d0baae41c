#pragma once
// The one message-box helper of the program: caption, text, OK only.
// Blocks until the user dismisses the box. Where no box can be shown (no
// display), the caption and text go to standard error and it returns at once,
// so an unattended start never hangs.

struct SDL_Window;
// The window a box belongs to; nullptr for none.
using BoxOwner = SDL_Window;

void showMessageBox(BoxOwner* owner, const char* caption, const char* text);

// Test seam: while set, boxes go to the hook instead of the screen.
using MessageBoxHook = void (*)(BoxOwner* owner, const char* caption, const char* text);
void setMessageBoxHook(MessageBoxHook hook);
