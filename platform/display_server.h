#pragma once
// What the window needs from the X server beyond SDL.
struct SDL_Window;

// The server paints exposed parts of the window black before the program
// repaints them, so nothing of what covered it shows even for a moment.
void giveBlackBackground(SDL_Window* window);
