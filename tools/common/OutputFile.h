// Files the tools write for a person (pictures, documents): checked before
// any work is done, so that a long session is not lost to a mistyped
// directory at the end. "-" is standard output.
//
// A regular file (or a new name) is written through a temporary beside it,
// renamed over it once complete, so that a failed or interrupted write
// leaves what was there before and no temporary. A symbolic link is
// followed: the file it names is replaced, the link stays. Anything else (a
// device such as /dev/null, a FIFO, a socket, /dev/stdout) is opened and
// written straight, never replaced.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace tqtool {

// What stops `path` from being written, "" when nothing does: a directory
// that does not exist or cannot be written, a directory in its place, a
// link to nothing, or one of `inputs` (an output never replaces what the
// command reads).
std::string OutputProblem(const std::string& path, const std::vector<std::string>& inputs = {});

// Writes what `write` produces to `path`; false when it could not be
// written, with the system's reason in `why` when the system gave one (a
// writer that fails sets the stream's badbit and keeps its own reason).
// SIGINT, SIGTERM and SIGHUP during the write remove the temporary before
// they end the program.
bool WriteOutput(const std::string& path, const std::function<void(std::ostream&)>& write, std::string& why);
bool WriteOutput(const std::string& path, const std::function<void(std::ostream&)>& write);

// True when `path` is "-" or names this process's standard output
// (/dev/stdout, /dev/fd/1): no words are to follow a document there.
bool WritesToStandardOutput(const std::string& path);

}  // namespace tqtool
