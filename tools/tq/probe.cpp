// tq probe: "is my board there, and what is it?"
#include <cstdio>
#include <string>

#include "common/Board.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"
#include "common/MessageLoop.h"
#include "common/Report.h"
#include "tq/Commands.h"

namespace {

const char kAbout[] =
    "Opens the board on port N (1 to 8, the device COM<N>; on Linux the path in\n"
    "TQ_COM<N>, else /dev/ttyS<N-1>) or on the device NAME, prints its version\n"
    "text, width and largest height, and closes it. Line set-up problems print as\n"
    "'comm CODE' lines.\n";
const char kFooter[] =
    "Exit status: 0 when the board answered, 1 when the open failed, 2 for usage.\n";

}  // namespace

int RunProbeCommand(int argc, char** argv) {
  tqtool::BoardOptions options;
  tqtool::CommandLine line("tq probe", "tq probe (--port N | --device NAME)", kAbout, kFooter);
  tqtool::AddBoardOptions(line, options, false);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  tqtool::PrintingWindow window(stdout, [](UINT message) { return message == TQ_MSG_COMM_ERROR; });
  tqtool::OpenBoard board;
  const TQ_ERROR_CODE result = tqtool::Open(options, window.Handle(), board);
  if (result != TQ_SUCCESS) {
    tqtool::DrainMessages();
    return tqtool::Failed("probe", tqtool::OpenFailure(options.Port(), result));
  }
  std::printf("version %s\nwidth %u\nmax-height %u\n", board.version.c_str(), board.width, board.maxHeight);
  std::fflush(stdout);
  TQClose(options.Port());
  tqtool::DrainMessages();
  return 0;
}
