#pragma once
// The alert command (--alert-command): a program the installation starts,
// without a shell and without waiting for it, with one line of text as its
// last argument, when a part has been down for a while and when it is back.
#include <cstddef>
#include <string>
#include <vector>

// Splits the command into words as a shell would (quotes, backslashes,
// $VARIABLES, ~ and file patterns), but runs nothing: a command substitution,
// an unset variable, or a |, ;, &, <, >, ( or ) outside quotes is refused.
// False with the reason when the text cannot be used.
bool splitAlertCommand(const std::string& text, std::vector<std::string>& words, std::string& reason);

// The command to run from now on; empty: none. The text has been checked.
void setAlertCommand(const std::string& text);

// Starts the command with `line` as its last argument, its input from
// /dev/null, and returns at once; one line when it cannot be started.
void runAlert(const std::string& line);

// Message loop: collects the commands that have ended (none stays a
// zombie) and says in one line when one failed.
void reapAlerts();
// Commands started and not yet collected.
size_t alertsRunning();
