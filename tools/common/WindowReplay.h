// A capture file played into a window of the tool: the one way every
// command (replay, render, export, the pen's replay) does it. The file is
// judged first (a regular file, a whole header, a header and a baseline a
// live open would accept), then replayed by the library, then the messages
// that boards below version 2.0 post are handled, as a host's message loop
// would handle them after the sent ones.
#pragma once

#include <string>

#include "TQApi.h"
#include "capture/Replay.h"

namespace tqtool {

enum class ReplayResult {
  Replayed,
  CannotOpen,      // missing, no permission, or held by a port recording to it
  NotRegularFile,  // a directory, FIFO, device or socket
  TooShort,        // shorter than a capture header
  NotCapture,      // a header that is not accepted, or a baseline outside the live range
  ReadFailed,      // the system failed a read part way through the body
};

struct ReplayOutcome {
  ReplayResult result = ReplayResult::CannotOpen;
  // For the person, one sentence naming the file; "" when replayed.
  std::string problem;
  // The library's counters and the header as decoded (also when refused,
  // once the header was read).
  tq::SReplayStats stats;
};

// Replays the capture at `path` into `window` with `options`; true when it
// was replayed, else false with the reason in `outcome.problem`. Nothing
// reaches the window when the file is refused.
bool ReplayIntoWindow(const std::string& path, HWND window, const tq::SReplayOptions& options,
                      ReplayOutcome& outcome);

// Where the .val and .out captures of a replay of `path` go: beside it, in
// its directory, under its name less its extension ("d/run1.raw" gives
// "d/run1", "d/x" gives "d/x"); a name of a dot and no more keeps it whole.
std::string CaptureBaseBeside(const std::string& path);

}  // namespace tqtool
