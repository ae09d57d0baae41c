#include "platform/message_box.h"

#include <SDL.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/diagnostics.h"
#include "platform/window_proc.h"

extern char** environ;

// SDL's box blocks its caller until a button is pressed, and nothing from
// outside can end that wait: a program waiting in it ignores SIGTERM, Ctrl+C
// and its window's close box. So the box is shown by a process of its own,
// this program started again, and the program waits for that process, for
// SIGINT and SIGTERM, and for its window's close request at once. On an
// ending it kills the box's process group and goes on as if OK had been
// pressed; the message loop then ends the run.

namespace {
MessageBoxHook messageBoxHook = nullptr;
bool unattendedBoxes = false;

constexpr char boxProcessFlag[] = "--tessaro-message-box";
constexpr char selfPath[] = "/proc/self/exe";
constexpr int pollMs = 50;  // how soon a close request is seen while a box waits

bool displayAvailable() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 && *x11) || (wayland && *wayland);
}

void printInstead(const char* caption, const char* text) {
  std::fprintf(stderr, "%s %s\n", caption, text);
  std::fflush(stderr);
}

// --- the waiting program ---------------------------------------------------

int signalPipe[2] = {-1, -1};

void onEndingSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
  errno = saved;
}

// SIGINT and SIGTERM wake the wait instead of ending the program or being
// queued as SDL's quit; whatever handled them before does again afterwards.
class EndingSignals {
 public:
  EndingSignals() {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInterrupt);
    sigaction(SIGTERM, &action, &previousTerminate);
    caught = true;
  }
  ~EndingSignals() { release(); }
  int descriptor() const { return caught ? signalPipe[0] : -1; }
  // Whether one came since the last look.
  bool arrived() {
    bool any = false;
    char byte = 0;
    while (caught && read(signalPipe[0], &byte, 1) == 1) any = true;
    return any;
  }
  // Hands the signals back; true when one came that no look saw.
  bool release() {
    if (!caught) return false;
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
    const bool late = arrived();
    close(signalPipe[0]);
    close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
    caught = false;
    return late;
  }

 private:
  struct sigaction previousInterrupt {};
  struct sigaction previousTerminate {};
  bool caught = false;
};

// A close request of the program's window, left in the queue for the loop.
bool closeRequestQueued() {
  if (SDL_WasInit(SDL_INIT_VIDEO) == 0) return false;
  SDL_PumpEvents();
  if (SDL_HasEvent(SDL_QUIT)) return true;
  SDL_Event events[32];
  const int count = SDL_PeepEvents(events, 32, SDL_PEEKEVENT, SDL_WINDOWEVENT, SDL_WINDOWEVENT);
  for (int i = 0; i < count; ++i) {
    if (events[i].window.event == SDL_WINDOWEVENT_CLOSE) return true;
  }
  return false;
}

enum class BoxOutcome { answered, notShown, noProcess };

// Waits for the box's process. On an ending the box is taken down, counts as
// answered, and the message loop is asked to end the run.
BoxOutcome showInOwnProcess(const char* caption, const char* text) {
  const std::string parent = std::to_string(getpid());
  char* arguments[] = {const_cast<char*>(selfPath),       const_cast<char*>(boxProcessFlag),
                       const_cast<char*>(caption),        const_cast<char*>(text),
                       const_cast<char*>(parent.c_str()), nullptr};
  // Its own process group, so that the box SDL shows from a child of its own
  // goes with it; default signal handling, whatever this process has.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  EndingSignals signals;
  pid_t box = -1;
  const int spawned = posix_spawn(&box, selfPath, nullptr, &attributes, arguments, environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) return BoxOutcome::noProcess;

  BoxOutcome outcome = BoxOutcome::answered;
  for (;;) {
    int status = 0;
    if (signals.arrived() || appCloseRequested() || closeRequestQueued()) {
      kill(-box, SIGKILL);
      while (waitpid(box, &status, 0) < 0 && errno == EINTR) {
      }
      requestAppClose();
      break;
    }
    const pid_t done = waitpid(box, &status, WNOHANG);
    if (done == box || (done < 0 && errno != EINTR)) {
      if (done != box || !WIFEXITED(status) || WEXITSTATUS(status) != 0) outcome = BoxOutcome::notShown;
      break;
    }
    pollfd wake{signals.descriptor(), POLLIN, 0};
    poll(&wake, 1, pollMs);
  }
  // A signal in the last moment of the wait still ends the run.
  if (signals.release()) requestAppClose();
  return outcome;
}

// --- the box's own process -------------------------------------------------

// The box SDL shows runs in a child of this process; ending the whole process
// group takes it along.
void endBoxGroup(int) { kill(0, SIGKILL); }
}  // namespace

int runMessageBoxProcess(int argc, char** argv) {
  if (argc != 5 || std::strcmp(argv[1], boxProcessFlag) != 0) return -1;
  struct sigaction action {};
  action.sa_handler = endBoxGroup;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  // The box goes when the program that asked for it goes, however it ends.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (std::to_string(getppid()) != argv[4]) return 1;
  return SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, argv[2], argv[3], nullptr) == 0 ? 0 : 1;
}

void setMessageBoxHook(MessageBoxHook hook) { messageBoxHook = hook; }

void setUnattendedBoxes(bool unattended) { unattendedBoxes = unattended; }

void showMessageBox(BoxOwner* owner, const char* caption, const char* text) {
  if (messageBoxHook) {
    messageBoxHook(owner, caption, text);
    return;
  }
  if (unattendedBoxes) {
    const size_t length = std::strlen(caption);
    const bool colon = length > 0 && caption[length - 1] == ':';
    diagnostic("box", "%s%s %s", caption, colon ? "" : ":", text);
    return;
  }
  if (appCloseRequested() || !displayAvailable()) {
    printInstead(caption, text);
    return;
  }
  switch (showInOwnProcess(caption, text)) {
    case BoxOutcome::answered: return;
    case BoxOutcome::notShown: printInstead(caption, text); return;
    case BoxOutcome::noProcess:
      // Without a process of its own the box can still be shown, only not ended.
      if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, caption, text, owner) != 0) {
        printInstead(caption, text);
      }
      return;
  }
}
