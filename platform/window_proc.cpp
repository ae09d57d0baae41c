#include "platform/window_proc.h"

#include "platform/ending_signals.h"
#include "platform/window.h"

#include <SDL.h>

namespace {
bool quitPosted = false;
int32_t quitCode = 0;
bool closeRequested = false;
int endingSignalTaken = 0;  // the ending signal already made a close message

uint8_t virtualKeyOfNamedKey(SDL_Keycode key) {
  switch (key) {
    case SDLK_BACKSPACE: return 8;
    case SDLK_TAB: return 9;
    case SDLK_CLEAR: return 12;
    case SDLK_RETURN:
    case SDLK_KP_ENTER: return 13;
    case SDLK_LSHIFT:
    case SDLK_RSHIFT: return 16;
    case SDLK_LCTRL:
    case SDLK_RCTRL: return 17;
    case SDLK_LALT:
    case SDLK_RALT: return 18;
    case SDLK_PAUSE: return 19;
    case SDLK_CAPSLOCK: return 20;
    case SDLK_ESCAPE: return 27;
    case SDLK_SPACE: return 32;
    case SDLK_PAGEUP: return 33;
    case SDLK_PAGEDOWN: return 34;
    case SDLK_END: return 35;
    case SDLK_HOME: return 36;
    case SDLK_LEFT: return 37;
    case SDLK_UP: return 38;
    case SDLK_RIGHT: return 39;
    case SDLK_DOWN: return 40;
    case SDLK_PRINTSCREEN: return 44;
    case SDLK_INSERT: return 45;
    case SDLK_DELETE: return 46;
    case SDLK_LGUI: return 91;
    case SDLK_RGUI: return 92;
    case SDLK_APPLICATION: return 93;
    case SDLK_KP_MULTIPLY: return 106;
    case SDLK_KP_PLUS: return 107;
    case SDLK_KP_MINUS: return 109;
    case SDLK_KP_PERIOD: return 110;
    case SDLK_KP_DIVIDE: return 111;
    case SDLK_NUMLOCKCLEAR: return 144;
    case SDLK_SCROLLLOCK: return 145;
    case SDLK_SEMICOLON: return 186;
    case SDLK_EQUALS: return 187;
    case SDLK_COMMA: return 188;
    case SDLK_MINUS: return 189;
    case SDLK_PERIOD: return 190;
    case SDLK_SLASH: return 191;
    case SDLK_BACKQUOTE: return 192;
    case SDLK_LEFTBRACKET: return 219;
    case SDLK_BACKSLASH: return 220;
    case SDLK_RIGHTBRACKET: return 221;
    case SDLK_QUOTE: return 222;
    default: return 0;
  }
}
}  // namespace

uint8_t virtualKeyCode(int32_t key) {
  if (key >= SDLK_0 && key <= SDLK_9) return static_cast<uint8_t>('0' + (key - SDLK_0));
  if (key >= SDLK_a && key <= SDLK_z) return static_cast<uint8_t>('A' + (key - SDLK_a));
  if (key >= SDLK_F1 && key <= SDLK_F12) return static_cast<uint8_t>(112 + (key - SDLK_F1));
  if (key >= SDLK_F13 && key <= SDLK_F24) return static_cast<uint8_t>(124 + (key - SDLK_F13));
  if (key >= SDLK_KP_1 && key <= SDLK_KP_9) return static_cast<uint8_t>(97 + (key - SDLK_KP_1));
  if (key == SDLK_KP_0) return 96;
  return virtualKeyOfNamedKey(key);
}

AppMessage messageFromEvent(const SDL_Event& event) {
  switch (event.type) {
    case SDL_QUIT:
      // Also what SDL makes of SIGINT and SIGTERM where nothing caught them before.
      return {WM_CLOSE, 0};
    case SDL_WINDOWEVENT:
      switch (event.window.event) {
        case SDL_WINDOWEVENT_CLOSE: return {WM_CLOSE, 0};
        case SDL_WINDOWEVENT_MINIMIZED: return {WM_ACTIVATE, minimisedFlag | WA_INACTIVE};
        case SDL_WINDOWEVENT_RESTORED: return {WM_ACTIVATE, WA_ACTIVE};
        case SDL_WINDOWEVENT_SIZE_CHANGED: return {WM_SIZE, 0};
        case SDL_WINDOWEVENT_EXPOSED: return {WM_PAINT, 0};
        default: return {WM_NULL, 0};
      }
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
      const uint8_t code = virtualKeyCode(event.key.keysym.sym);
      if (code == 0) return {WM_NULL, 0};
      const bool down = event.type == SDL_KEYDOWN;
      if (event.key.keysym.mod & KMOD_ALT) return {down ? WM_SYSKEYDOWN : WM_SYSKEYUP, code};
      return {down ? WM_KEYDOWN : WM_KEYUP, code};
    }
    default: return {WM_NULL, 0};
  }
}

void postQuitMessage(int32_t exitCode) {
  quitPosted = true;
  quitCode = exitCode;
}

void requestAppClose() { closeRequested = true; }
// An ending signal asks for the close once, as the window's close box would.
bool appCloseRequested() { return closeRequested || endingSignal() != endingSignalTaken; }

bool peekAppMessage(AppMessage& message) {
  SDL_Event event;
  if (SDL_PollEvent(&event)) {
    message = messageFromEvent(event);
    return true;
  }
  if (appCloseRequested()) {
    closeRequested = false;
    endingSignalTaken = endingSignal();
    message = {WM_CLOSE, 0};
    return true;
  }
  if (quitPosted) {
    quitPosted = false;
    message = {WM_QUIT, static_cast<uint64_t>(static_cast<uint32_t>(quitCode))};
    return true;
  }
  return false;
}

bool waitAppMessage(AppMessage& message, uint32_t timeoutMs) {
  if (peekAppMessage(message)) return true;
  SDL_Event event;
  if (!SDL_WaitEventTimeout(&event, static_cast<int>(timeoutMs))) return false;
  message = messageFromEvent(event);
  return true;
}

void dispatchAppMessage(const AppMessage& message) { windowProc(message.message, message.wParam, 0); }

int64_t windowProc(uint32_t message, uint64_t wParam, int64_t /*lParam*/) {
  switch (message) {
    case WM_ACTIVATE:
      // Only minimising makes the window inactive; losing focus does not.
      appWindow.windowActive = ((wParam >> 16) & 0xFFFF) == 0;
      return 0;
    case WM_CLOSE:
      // The window stays until shutdown; the loop ends on the quit message.
      postQuitMessage(0);
      return 0;
    case WM_KEYDOWN: KeyState[wParam & 0xFF] = 1; return 0;
    case WM_KEYUP: KeyState[wParam & 0xFF] = 0; return 0;
    case WM_PAINT:
      // Whatever covered the window (a box, another window, a minimise) left
      // its picture behind: black again.
      presentBlack();
      return 0;
    case WM_SIZE:
    case WM_CREATE: return 0;
    default:
      // SDL has already done whatever a default procedure would.
      return 0;
  }
}
