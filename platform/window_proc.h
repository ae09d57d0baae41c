#pragma once
#include <cstdint>

union SDL_Event;

// The window's messages under their Windows codes: each SDL event taken from
// the queue becomes one of these and goes through windowProc's table.
constexpr uint32_t WM_NULL = 0;
constexpr uint32_t WM_CREATE = 1;
constexpr uint32_t WM_SIZE = 5;
constexpr uint32_t WM_ACTIVATE = 6;
constexpr uint32_t WM_PAINT = 15;
constexpr uint32_t WM_CLOSE = 16;
constexpr uint32_t WM_QUIT = 18;
constexpr uint32_t WM_KEYDOWN = 256;
constexpr uint32_t WM_KEYUP = 257;
constexpr uint32_t WM_SYSKEYDOWN = 260;
constexpr uint32_t WM_SYSKEYUP = 261;

// WM_ACTIVATE's wParam: low word active state, high word non-zero while minimised.
constexpr uint64_t WA_INACTIVE = 0;
constexpr uint64_t WA_ACTIVE = 1;
constexpr uint64_t minimisedFlag = uint64_t{1} << 16;

constexpr uint8_t VK_ESCAPE = 27;

// The program flow's message record, reused by every poll of the queue.
struct AppMessage {
  uint32_t message;
  uint64_t wParam;  // virtual-key code, activation state or quit code; else 0
};

// Windows virtual-key code of an SDL key (SDL_Keycode); 0 for keys without one.
uint8_t virtualKeyCode(int32_t key);
// The message an SDL event stands for. Keys pressed while Alt is held are
// system keys, as on Windows.
AppMessage messageFromEvent(const SDL_Event& event);

// Takes the next message off the queue, removing it; false when it is empty.
// A posted quit comes once the queue holds nothing else.
bool peekAppMessage(AppMessage& message);
// The same, but while the queue is empty it waits up to `timeoutMs` for the
// next message rather than returning at once.
bool waitAppMessage(AppMessage& message, uint32_t timeoutMs);
// Runs windowProc for the message.
void dispatchAppMessage(const AppMessage& message);
int64_t windowProc(uint32_t message, uint64_t wParam, int64_t lParam);
void postQuitMessage(int32_t exitCode);

// An ending asked for where no message could carry it (a signal while a box
// waited, or an ending signal at any time): the queue then yields a close
// message, as if the window had been closed, once it holds nothing else.
void requestAppClose();
bool appCloseRequested();
