// tq live: open a board and print what its window receives.
#include <cstdio>
#include <string>

#include <sys/stat.h>

#include "common/Board.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"
#include "common/MessageLoop.h"
#include "common/OutputFile.h"
#include "common/Report.h"
#include "export/CairoWriter.h"
#include "export/InkDocument.h"
#include "ink/StrokeModel.h"
#include "tq/Commands.h"

namespace {

const char kAbout[] =
    "Opens the board on port N (or the device PATH), runs a message loop and\n"
    "prints every message its window receives, one a line, as they arrive:\n"
    "  down X Y CODE LPARAM | move X Y CODE LPARAM | up X Y CODE LPARAM\n"
    "  board WPARAM LPARAM | comm WPARAM | check WPARAM LPARAM | ffff WPARAM LPARAM\n"
    "Closes the port after S seconds (default: until interrupted), on SIGINT,\n"
    "SIGTERM or SIGHUP, or when the board's line fails (line error 8: the board\n"
    "was unplugged or switched off). --pod, --height and the --no-* switches\n"
    "apply the matching settings right after the open. --svg draws the strokes\n"
    "the window received, as tq render draws them, into OUT.svg ('-': standard\n"
    "output) when the port closes (with --events too, or alone); OUT.svg is\n"
    "checked before the board is opened and replaced only once the picture is\n"
    "complete. --record saves the session's raw capture as FILE.raw, for tq\n"
    "replay, render and export.\n";

const char kFooter[] =
    "Exit status: 0, 1 when the open fails, the line fails or the picture or the\n"
    "recording cannot be written, 2 for usage.\n";

// The comm code of a line that failed under the reader.
constexpr WPARAM kLineFailed = 8;

bool IsRawName(const std::string& path) {
  return path.size() > 4 && path.compare(path.size() - 4, 4, ".raw") == 0;
}

// The library says nothing when it cannot create the recording; the tool does.
bool HoldsCaptureHeader(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && info.st_size >= 20;
}

struct LiveOptions {
  tqtool::BoardOptions board;
  double seconds = 0;
  std::string svg, record;
  bool events = false;
};

int ParseLive(int argc, char** argv, LiveOptions& o) {
  tqtool::CommandLine line("tq live",
                           "tq live (--port N | --device NAME) (--events | --svg OUT.svg)\n"
                           "               [--seconds S] [--pod P] [--height H]\n"
                           "               [--no-validate] [--no-antistreak] [--no-smooth]\n"
                           "               [--record FILE.raw]",
                           kAbout, kFooter);
  tqtool::AddBoardOptions(line, o.board);
  line.Flag("--events", o.events, "print every message");
  line.Text("--svg", o.svg, "OUT.svg", "draw the strokes into OUT.svg when the port closes");
  line.Number("--seconds", o.seconds, 0.0, 1e9, "S", "close the port after S seconds");
  line.Text("--record", o.record, "FILE.raw", "save the session's raw capture as FILE.raw");
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (!o.events && o.svg.empty() && o.record.empty()) {
    return line.Fail("give --events, --svg OUT.svg, --record FILE.raw or more");
  }
  if (!o.record.empty() && !IsRawName(o.record)) return line.Fail("--record needs a FILE.raw");
  for (const std::string& output : {o.svg, o.record}) {
    if (output.empty()) continue;
    if (const std::string problem = tqtool::OutputProblem(output); !problem.empty()) {
      return tqtool::Failed("live", problem);
    }
  }
  return -1;
}

bool WritePicture(const LiveOptions& o, const tqtool::StrokeModel& model) {
  const tqtool::InkDocument picture = tqtool::BoardPicture(model);
  std::string why;
  const bool written = tqtool::WriteOutput(o.svg, [&picture, &why](std::ostream& out) {
    if (!tqtool::WriteSvgPage(picture, 0, out, why)) out.setstate(std::ios::badbit);
  });
  if (written) return true;
  tqtool::Failed("live", "cannot write '" + o.svg + "'", why);
  return false;
}

}  // namespace

int RunLiveCommand(int argc, char** argv) {
  LiveOptions o;
  if (const int status = ParseLive(argc, argv, o); status >= 0) return status;
  tqtool::CatchStopSignals();
  tqtool::PrintingWindow window(stdout, [&o](UINT) { return o.events; });
  // Only a picture needs the strokes: --events alone keeps nothing.
  tqtool::StrokeModel model(false);
  bool lineFailed = false;
  window.onMessage = [&o, &model, &lineFailed](UINT message, WPARAM wParam, LPARAM lParam) {
    if (!o.svg.empty()) model.Add(message, wParam, lParam);
    // The watchdog would report the silence of a vanished board for ever.
    if (message == TQ_MSG_COMM_ERROR && wParam == kLineFailed) {
      lineFailed = true;
      PostQuitMessage(0);
    }
  };
  tqtool::OpenBoard board;
  const TQ_ERROR_CODE result = tqtool::Open(o.board, window.Handle(), board);
  if (result != TQ_SUCCESS) {
    tqtool::DrainMessages();
    return tqtool::Failed("live", tqtool::OpenFailure(o.board.Port(), result));
  }
  // The recording takes over from the capture in the temporary directory.
  if (!o.record.empty()) TQOpenDumpFiles(o.board.Port(), o.record.substr(0, o.record.size() - 4).c_str(), 1);
  tqtool::LoopSettings loop;
  loop.seconds = o.seconds;
  tqtool::RunMessageLoop(loop);
  model.SetBoard(board.width, board.maxHeight);
  TQClose(o.board.Port());
  tqtool::DrainMessages();
  std::fflush(stdout);
  if (lineFailed) {
    tqtool::Failed("live", "the board's line failed (line error 8)", "was it unplugged or switched off?");
  }
  if (!o.svg.empty() && !WritePicture(o, model)) return 1;
  if (!o.record.empty() && !HoldsCaptureHeader(o.record)) {
    return tqtool::Failed("live", "the recording '" + o.record + "' could not be created");
  }
  return lineFailed ? 1 : 0;
}
