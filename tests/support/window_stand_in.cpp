// Until the program's window code is in this tree: the window record and
// the buffer swap the display code presents through.
#include "app/window.h"

#include <SDL2/SDL.h>

AppWindow appWindow = {};
uint8_t KeyState[256] = {};

void swapAppBuffers() { SDL_GL_SwapWindow(appWindow.window); }
