#pragma once
// What the window needs from the X server beyond SDL: a black background, and
// an ending of its own when the server goes away.
struct SDL_Window;

// The server paints exposed parts of the window black before the program
// repaints them, so nothing of what covered it shows even for a moment.
void giveBlackBackground(SDL_Window* window);

// When the connection to the X server is lost, Xlib cannot go on and its
// handler must not return. What runs then: the program flow's steps that need
// no display (it must not touch the window or OpenGL); afterwards the process
// ends with status 1, after one line on standard error. nullptr: none.
using DisplayLostEnding = void (*)();
void setDisplayLostEnding(DisplayLostEnding ending);
// Installs the handler; after the first connection is open (Xlib is loaded).
void watchForLostDisplay();
