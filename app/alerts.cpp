#include "app/alerts.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <wordexp.h>

#include <csignal>
#include <cstring>

#include "platform/diagnostics.h"

extern char** environ;

namespace {
std::vector<std::string> command;
std::vector<pid_t> running;  // started and not yet collected
}  // namespace

bool splitAlertCommand(const std::string& text, std::vector<std::string>& words, std::string& reason) {
  wordexp_t split{};
  const int error = wordexp(text.c_str(), &split, WRDE_NOCMD | WRDE_UNDEF);
  switch (error) {
    case 0: break;
    case WRDE_BADCHAR: reason = "takes a program and its arguments, without |, ;, &, <, >, ( or ) outside quotes"; return false;
    case WRDE_BADVAL: reason = "uses a variable that is not set"; return false;
    case WRDE_CMDSUB: reason = "takes no command substitution"; return false;
    case WRDE_NOSPACE: reason = "is too long"; wordfree(&split); return false;
    default: reason = "is not a command (an unmatched quote?)"; return false;
  }
  words.assign(split.we_wordv, split.we_wordv + split.we_wordc);
  wordfree(&split);
  if (words.empty()) {
    reason = "names no program";
    return false;
  }
  return true;
}

void setAlertCommand(const std::string& text) {
  command.clear();
  std::string reason;
  if (!text.empty()) splitAlertCommand(text, command, reason);
}

void runAlert(const std::string& line) {
  if (command.empty()) return;
  std::vector<std::string> words = command;
  words.push_back(line);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  // The child starts as from a shell: no signal blocked or ignored that the
  // installation blocks or ignores, and nothing to read from its input.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);

  pid_t child = 0;
  const int error = posix_spawnp(&child, argv[0], &files, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    diagnostic("service", "cannot run the alert command '%s': %s", argv[0], std::strerror(error));
    return;
  }
  running.push_back(child);
}

void reapAlerts() {
  for (size_t i = 0; i < running.size();) {
    int status = 0;
    const pid_t ended = waitpid(running[i], &status, WNOHANG);
    if (ended == 0) {
      ++i;
      continue;
    }
    if (ended > 0 && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      diagnostic("service", "the alert command '%s' ended with status %d", command.empty() ? "" : command[0].c_str(),
                 WEXITSTATUS(status));
    } else if (ended > 0 && WIFSIGNALED(status)) {
      diagnostic("service", "the alert command '%s' was ended by signal %d", command.empty() ? "" : command[0].c_str(),
                 WTERMSIG(status));
    }
    running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

size_t alertsRunning() { return running.size(); }
