// How every command speaks on standard error, one style for all:
//   tq CMD: what failed: why
// Exit status 0 when done, 1 when something failed, 2 for usage.
#pragma once

#include <string>

namespace tqtool {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Prints "tq COMMAND: WHAT: WHY" (or "tq COMMAND: WHAT" when `why` is empty)
// and returns kExitFailed. `command` is the command as typed ("export").
int Failed(const std::string& command, const std::string& what, const std::string& why = {});
// Prints "tq COMMAND: TEXT": a note or a warning that is not a failure.
void Say(const std::string& command, const std::string& text);
// `text` with every byte outside printable ASCII written as \xNN, so that a
// board's or a file's bytes never reach a terminal as control codes.
std::string Printable(const std::string& text);

}  // namespace tqtool
