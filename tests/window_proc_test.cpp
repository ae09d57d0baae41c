#include "platform/window.h"
#include "app/message_loop.h"
#include "platform/window_proc.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

namespace {
SDL_Event keyEvent(Uint32 type, SDL_Keycode key, Uint16 mod = KMOD_NONE) {
  SDL_Event event{};
  event.type = type;
  event.key.state = type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
  event.key.keysym.sym = key;
  event.key.keysym.mod = mod;
  return event;
}

SDL_Event windowEvent(Uint8 which) {
  SDL_Event event{};
  event.type = SDL_WINDOWEVENT;
  event.window.event = which;
  return event;
}

void dispatchEvent(const SDL_Event& event) { dispatchAppMessage(messageFromEvent(event)); }

// The event queue without a window: SDL's events subsystem alone.
class MessageQueueTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_EVENTS), 0) << SDL_GetError();
    AppMessage drained;
    while (peekAppMessage(drained)) {
    }
    std::memset(KeyState, 0, sizeof KeyState);
    appWindow.windowActive = true;
  }
  void TearDown() override {
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
    AppMessage drained;
    while (peekAppMessage(drained)) {
    }
    appWindow.windowActive = true;
    std::memset(KeyState, 0, sizeof KeyState);
    SDL_QuitSubSystem(SDL_INIT_EVENTS);
  }
  static void push(SDL_Event event) { ASSERT_EQ(SDL_PushEvent(&event), 1) << SDL_GetError(); }
  static void pushClose() {
    SDL_Event close{};
    close.type = SDL_QUIT;
    push(close);
  }
};
}  // namespace

TEST(VirtualKeys, CodesAreThoseOfWindows) {
  const std::pair<SDL_Keycode, int> named[] = {
      {SDLK_ESCAPE, 27}, {SDLK_RETURN, 13},  {SDLK_KP_ENTER, 13}, {SDLK_SPACE, 32}, {SDLK_BACKSPACE, 8},
      {SDLK_TAB, 9},     {SDLK_LSHIFT, 16},  {SDLK_RSHIFT, 16},   {SDLK_LCTRL, 17}, {SDLK_RALT, 18},
      {SDLK_PAGEUP, 33}, {SDLK_HOME, 36},    {SDLK_LEFT, 37},     {SDLK_UP, 38},    {SDLK_RIGHT, 39},
      {SDLK_DOWN, 40},   {SDLK_DELETE, 46},  {SDLK_KP_0, 96},     {SDLK_KP_9, 105}, {SDLK_MINUS, 189},
      {SDLK_UNKNOWN, 0}, {SDLK_AUDIOPLAY, 0}};
  for (const auto& [key, code] : named) EXPECT_EQ(virtualKeyCode(key), code) << SDL_GetKeyName(key);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(virtualKeyCode(SDLK_0 + i), 48 + i);
  for (int i = 0; i < 26; ++i) EXPECT_EQ(virtualKeyCode(SDLK_a + i), 65 + i);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(virtualKeyCode(SDLK_F1 + i), 112 + i);
}

TEST_F(MessageQueueTest, KeyPressAndReleaseSetAndClearTheEntry) {
  const AppMessage down = messageFromEvent(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE));
  EXPECT_EQ(down.message, WM_KEYDOWN);
  EXPECT_EQ(down.wParam, 27u);
  dispatchAppMessage(down);
  EXPECT_EQ(KeyState[27], 1);
  dispatchEvent(keyEvent(SDL_KEYDOWN, SDLK_q));
  EXPECT_EQ(KeyState['Q'], 1);

  const AppMessage up = messageFromEvent(keyEvent(SDL_KEYUP, SDLK_ESCAPE));
  EXPECT_EQ(up.message, WM_KEYUP);
  EXPECT_EQ(up.wParam, 27u);
  dispatchAppMessage(up);
  EXPECT_EQ(KeyState[27], 0);
  EXPECT_EQ(KeyState['Q'], 1);
}

TEST_F(MessageQueueTest, KeysWithAltHeldAreSystemKeysAndNotRecorded) {
  for (Uint16 alt : {KMOD_LALT, KMOD_RALT}) {
    const AppMessage down = messageFromEvent(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE, alt));
    EXPECT_EQ(down.message, WM_SYSKEYDOWN);
    EXPECT_EQ(down.wParam, 27u);
    dispatchAppMessage(down);
    EXPECT_EQ(KeyState[27], 0);
    dispatchEvent(keyEvent(SDL_KEYDOWN, SDLK_F4, alt));
    EXPECT_EQ(KeyState[115], 0);
    EXPECT_EQ(messageFromEvent(keyEvent(SDL_KEYUP, SDLK_F4, alt)).message, WM_SYSKEYUP);
  }
  // Other modifiers leave a key an ordinary one.
  dispatchEvent(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE, KMOD_LSHIFT | KMOD_LCTRL));
  EXPECT_EQ(KeyState[27], 1);
}

TEST_F(MessageQueueTest, KeysWithoutCodeAndOtherEventsTouchNothing) {
  const AppMessage unknown = messageFromEvent(keyEvent(SDL_KEYDOWN, SDLK_AUDIOPLAY));
  EXPECT_EQ(unknown.message, WM_NULL);
  SDL_Event motion{};
  motion.type = SDL_MOUSEMOTION;
  const AppMessage other = messageFromEvent(motion);
  EXPECT_EQ(other.message, WM_NULL);
  EXPECT_EQ(other.wParam, 0u);
  dispatchAppMessage(unknown);
  dispatchAppMessage(other);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(KeyState[i], 0) << i;
  EXPECT_TRUE(appWindow.windowActive);
  AppMessage none;
  EXPECT_FALSE(peekAppMessage(none));
}

TEST_F(MessageQueueTest, OnlyMinimisingMakesTheWindowInactive) {
  const AppMessage minimised = messageFromEvent(windowEvent(SDL_WINDOWEVENT_MINIMIZED));
  EXPECT_EQ(minimised.message, WM_ACTIVATE);
  dispatchAppMessage(minimised);
  EXPECT_FALSE(appWindow.windowActive);
  dispatchEvent(windowEvent(SDL_WINDOWEVENT_FOCUS_GAINED));
  EXPECT_FALSE(appWindow.windowActive);
  dispatchEvent(windowEvent(SDL_WINDOWEVENT_RESTORED));
  EXPECT_TRUE(appWindow.windowActive);
  dispatchEvent(windowEvent(SDL_WINDOWEVENT_FOCUS_LOST));
  EXPECT_TRUE(appWindow.windowActive);
  // The activation message's low word (active or not) is not looked at.
  windowProc(WM_ACTIVATE, WA_INACTIVE, 0);
  EXPECT_TRUE(appWindow.windowActive);
  windowProc(WM_ACTIVATE, minimisedFlag | WA_ACTIVE, 0);
  EXPECT_FALSE(appWindow.windowActive);
  // Resizing changes nothing.
  EXPECT_EQ(messageFromEvent(windowEvent(SDL_WINDOWEVENT_SIZE_CHANGED)).message, WM_SIZE);
}

TEST_F(MessageQueueTest, CloseRequestPostsQuitWithCodeZeroAfterPendingMessages) {
  push(windowEvent(SDL_WINDOWEVENT_CLOSE));
  push(keyEvent(SDL_KEYDOWN, SDLK_a));
  AppMessage message{};
  ASSERT_TRUE(peekAppMessage(message));
  EXPECT_EQ(message.message, WM_CLOSE);
  dispatchAppMessage(message);
  ASSERT_TRUE(peekAppMessage(message));
  EXPECT_EQ(message.message, WM_KEYDOWN);  // the quit waits for the queue
  ASSERT_TRUE(peekAppMessage(message));
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 0u);
  EXPECT_FALSE(peekAppMessage(message));  // taken once
  // SDL's own quit request (last window closed, SIGINT, SIGTERM) is a close.
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  EXPECT_EQ(messageFromEvent(quit).message, WM_CLOSE);
}

// Each loop test ends its queue with a close request, so a loop that misses
// the expected exit ends on the quit message instead of running on.
TEST_F(MessageQueueTest, LoopEndsOnEscapePressedAndReleasedBetweenPolls) {
  push(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE));
  push(keyEvent(SDL_KEYUP, SDLK_ESCAPE));
  pushClose();
  AppMessage message{};
  runMessageLoop(message);
  EXPECT_EQ(message.message, WM_KEYDOWN);
  EXPECT_EQ(message.wParam, 27u);
}

TEST_F(MessageQueueTest, LoopEndsOnEscapeHeldWhenTheQueueIsEmpty) {
  KeyState[VK_ESCAPE] = 1;
  AppMessage message{WM_KEYUP, 65};
  runMessageLoop(message);  // nothing queued: the idle check ends it
  EXPECT_EQ(message.message, WM_KEYUP);
  EXPECT_EQ(message.wParam, 65u);
}

TEST_F(MessageQueueTest, LoopEndsWithQuitCodeZeroOnClose) {
  push(keyEvent(SDL_KEYDOWN, SDLK_a));
  push(keyEvent(SDL_KEYUP, SDLK_a));
  push(windowEvent(SDL_WINDOWEVENT_CLOSE));
  AppMessage message{};
  runMessageLoop(message);
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 0u);
  EXPECT_EQ(KeyState['A'], 0);
}

TEST_F(MessageQueueTest, LoopIgnoresEscapeWhileMinimised) {
  appWindow.windowActive = false;
  push(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE));
  push(keyEvent(SDL_KEYUP, SDLK_ESCAPE));
  pushClose();
  AppMessage message{};
  runMessageLoop(message);
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 0u);
}

TEST_F(MessageQueueTest, LoopEndsOnceRestoredWithEscapeStillDown) {
  appWindow.windowActive = false;
  push(keyEvent(SDL_KEYDOWN, SDLK_ESCAPE));
  push(windowEvent(SDL_WINDOWEVENT_RESTORED));
  pushClose();
  AppMessage message{};
  runMessageLoop(message);
  EXPECT_EQ(message.message, WM_ACTIVATE);
  EXPECT_TRUE(appWindow.windowActive);
}

// An ending that came while a box waited (a signal) arrives as a close
// message once the queue holds nothing else, then the quit.
TEST_F(MessageQueueTest, RequestedCloseComesAsACloseOnceTheQueueIsEmpty) {
  push(keyEvent(SDL_KEYDOWN, SDLK_a));
  requestAppClose();
  EXPECT_TRUE(appCloseRequested());
  AppMessage message;
  ASSERT_TRUE(peekAppMessage(message));
  EXPECT_EQ(message.message, WM_KEYDOWN);
  ASSERT_TRUE(peekAppMessage(message));
  EXPECT_EQ(message.message, WM_CLOSE);
  EXPECT_FALSE(appCloseRequested());
  dispatchAppMessage(message);
  ASSERT_TRUE(peekAppMessage(message));
  EXPECT_EQ(message.message, WM_QUIT);
  EXPECT_EQ(message.wParam, 0u);
  EXPECT_FALSE(peekAppMessage(message));
}
