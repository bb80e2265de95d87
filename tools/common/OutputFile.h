// Files the tools write for a person (pictures): checked before any work is
// done, so that a long session is not lost to a mistyped directory at the
// end, and written through a temporary name, so that a failed write leaves
// what was there before. "-" is standard output.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace tqtool {

// What stops `path` from being written, "" when nothing does: a directory
// that does not exist or cannot be written, a directory in its place, or one
// of `inputs` (an output never replaces what the command reads).
std::string OutputProblem(const std::string& path, const std::vector<std::string>& inputs = {});

// Writes what `write` produces to `path` (a temporary beside it, renamed over
// it once complete); false when it could not be written, `path` untouched.
bool WriteOutput(const std::string& path, const std::function<void(std::ostream&)>& write);

}  // namespace tqtool
