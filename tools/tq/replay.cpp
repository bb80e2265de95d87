// tq replay: a raw capture of a port played back through the decoders and
// the stroke filter into a window of the tool, as TQReadFileData does.
//
// A capture begins with 20 bytes: the protocol number and the board version
// as doubles, then the sensor baseline. A .raw body is the byte stream as it
// came off the line; a .val or .out body is a run of 5-byte sample records
// (kind, x, y in the receiver frame, signed 16-bit).
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"
#include "common/Report.h"
#include "common/WindowReplay.h"
#include "common/MessageLoop.h"
#include "capture/Replay.h"

namespace {

const char kEventFormats[] =
    "  down X Y CODE LPARAM | move X Y CODE LPARAM | up X Y CODE LPARAM\n"
    "  board WPARAM LPARAM | comm WPARAM | check WPARAM LPARAM | ffff WPARAM LPARAM\n";

std::string ReplayAbout() {
  return std::string(
             "Plays a raw capture back through the decoders and the stroke filter into a\n"
             "window of its own (all filter stages on, pod location 0, board height 0) and\n"
             "writes FILE.val and FILE.out beside it, in its directory (the name without\n"
             "its extension, then .val and .out: d/run1.raw gives d/run1.val, d/x gives\n"
             "d/x.val). With --events every message the window receives is printed, one\n"
             "a line, in the order it arrives:\n") +
         kEventFormats +
         "Without it, a count of the messages by kind is printed. A file that is no\n"
         "regular file, is shorter than a capture header, or whose header or baseline\n"
         "(500 to 5000, as a live open accepts) is refused, is not replayed. A .val or\n"
         ".out file is replayed only with --force: the replay rewrites the .val and\n"
         ".out files of its name.\n";
}

const char kReplayFooter[] =
    "Exit status: 0 when the file was replayed, 1 when it cannot be opened or is\n"
    "no capture a replay accepts, 2 for usage.\n";

bool EndsWith(const std::string& text, const char* tail) {
  const size_t n = std::strlen(tail);
  return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

void PrintCounts(std::map<UINT, unsigned long>& counts) {
  std::printf("down %lu move %lu up %lu board %lu ffff %lu check %lu comm %lu\n",
              counts[TQ_MSG_PEN_DOWN], counts[TQ_MSG_PEN_MOVE], counts[TQ_MSG_PEN_UP],
              counts[TQ_MSG_BOARD_EVENT], counts[TQ_MSG_BOARD_0x90], counts[TQ_MSG_BOARD_CHECK],
              counts[TQ_MSG_COMM_ERROR]);
}

}  // namespace

int RunReplayCommand(int argc, char** argv) {
  std::string path;
  bool events = false, force = false;
  tqtool::CommandLine options("tq replay", "tq replay FILE.raw [--events] [--force]", ReplayAbout(),
                              kReplayFooter);
  options.Argument("FILE", path, "the capture to replay");
  options.Flag("--events", events, "print every message the window receives");
  options.Flag("--force", force, "replay a .val or .out file, rewriting it");
  if (const int status = options.Parse(argc, argv); status >= 0) return status;
  if (!force && (EndsWith(path, ".val") || EndsWith(path, ".out"))) {
    return options.Fail("'" + path + "' is a .val or .out capture, which the replay would rewrite " +
                        "with its own records; give --force to replay it anyway");
  }

  std::map<UINT, unsigned long> counts;
  tqtool::PrintingWindow window(stdout, [events](UINT) { return events; });
  window.onMessage = [&counts](UINT message, WPARAM, LPARAM) { ++counts[message]; };
  window.flushEachLine = false;
  // The library would put the captures under the name less its last four
  // characters, in the working directory for a short name: they go beside
  // the file instead.
  const std::string base = tqtool::CaptureBaseBeside(path);
  tq::SReplayOptions replay;
  replay.captureBase = base.c_str();
  tqtool::ReplayOutcome outcome;
  const bool replayed = tqtool::ReplayIntoWindow(path, window.Handle(), replay, outcome);
  std::fflush(stdout);
  if (!replayed) return tqtool::Failed("replay", outcome.problem);
  if (!events) PrintCounts(counts);
  return tqtool::kExitDone;
}
