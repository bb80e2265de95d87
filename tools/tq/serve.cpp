// tq serve: the board live in a browser, for people who are not in the room.
//
// Threads: this one owns the board's window and runs its message loop; the
// window procedure only copies each message into the hub's inbox, so the
// board's reader thread, which waits for the procedure, never waits for a
// viewer. The hub's broadcaster and the web server's threads do the rest.
#include <csignal>
#include <cstdio>
#include <string>

#include "sim/ReplayBoard.h"
#include "serve/ServeHttp.h"
#include "serve/ServeHub.h"
#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/Board.h"
#include "common/MessageLoop.h"
#include "common/Report.h"
#include "fleet/HubRelay.h"

namespace {

bool IsBoardMessage(UINT message) {
  return (message >= TQ_MSG_PEN_DOWN && message <= TQ_MSG_BOARD_CHECK) || message == TQ_MSG_BOARD_0x90;
}

LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* hub = static_cast<tqtool::ServeHub*>(TQGetWindowUser(window));
  if (hub != nullptr && IsBoardMessage(message)) hub->Post(tqtool::CopyMessage(message, wParam, lParam));
  return 0;
}

const char kAbout[] =
    "Serves the board live to browsers: a page that draws the ink as it is\n"
    "written (/), the events behind it (/events, Server-Sent Events) and each\n"
    "page's picture (/page/K.svg, /page/K.pdf). --replay plays a raw capture as\n"
    "the board, on a pseudo-terminal, at the pace of its 9600-baud line times\n"
    "--speed. Listens on the loopback only unless --listen names another\n"
    "address; put it behind a reverse proxy with TLS for viewers elsewhere.\n"
    "Read-only: nothing a viewer sends reaches the board. Runs until SIGINT or\n"
    "SIGTERM.\n";

const char kFooter[] =
    "Exit status: 0, 1 when the board, the capture or the address cannot be\n"
    "opened, 2 for usage.\n";

struct Options {
  tqtool::BoardOptions board;
  std::string replay;
  double speed = 1.0;
  std::string listen = "127.0.0.1:8080";
  long viewers = 32;
  tqtool::FleetOptions fleet;  // --nats: the board's stream instead of a port
};

// -1 when the command is to go on, else its exit status.
int Parse(int argc, char** argv, Options& o) {
  tqtool::CommandLine line("tq serve",
                           "tq serve (--port N | --device NAME | --replay FILE.raw [--speed X])\n"
                           "                [--listen ADDR:PORT] [--viewers V] [--pod P] [--height H] [--no-*]",
                           kAbout, kFooter);
  tqtool::AddBoardOptions(line, o.board, true, false);
  line.Text("--replay", o.replay, "FILE.raw", "play this raw capture as the board (on port N, or 1)");
  line.Number("--speed", o.speed, 0.01, 1000.0, "X", "with --replay: times the line's pace (default 1)");
  line.Text("--listen", o.listen, "ADDR:PORT", "where to listen (default 127.0.0.1:8080; port 0: any free one)");
  line.Number("--viewers", o.viewers, 1, 1024, "V", "viewers at most, the next is answered 503 (default 32)");
  tqtool::AddFleetOptions(line, o.fleet, true);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (!o.fleet.urls.empty() || !o.fleet.board.empty()) {
    if (o.board.Given() || !o.replay.empty()) return line.Fail("--nats serves a board's stream, not a port");
    if (const std::string problem = tqtool::FleetProblem(o.fleet, true); !problem.empty()) return line.Fail(problem);
  } else if (o.replay.empty() && !o.board.Given()) {
    return line.Fail("give --port N, --device NAME, --replay FILE.raw or --nats URL --board NAME");
  }
  if (!o.replay.empty() && line.Given("--device")) return line.Fail("--replay plays its own device, not --device");
  if (o.replay.empty() && line.Given("--speed")) return line.Fail("--speed goes with --replay");
  tqtool::ListenAddress address;
  if (!tqtool::ParseListenAddress(o.listen, address)) {
    return line.Fail("--listen wants ADDR:PORT, [IPV6]:PORT or :PORT, not '" + o.listen + "'");
  }
  if (o.board.port == 0) o.board.port = 1;
  return -1;
}

int Serve(Options& o) {
  tqtool::ListenAddress address;
  tqtool::ParseListenAddress(o.listen, address);
  const TQ_PORT port = o.board.Port();
  std::string error;
  tqtool::ReplayBoard replay;
  if (!o.replay.empty()) {
    if (!replay.Open(o.replay, o.speed, error)) return tqtool::Failed("serve", error);
    tqtool::MapPort(port, replay.Path());
  }
  tqtool::ServeLimits limits;
  limits.maxViewers = static_cast<size_t>(o.viewers);
  tqtool::ServeHub hub(limits);
  tqtool::ServeHttp http(hub, limits.maxViewers);
  if (!http.Bind(address, error)) return tqtool::Failed("serve", error);
  if (!o.fleet.urls.empty()) {
    tqtool::CatchStopSignals();
    std::signal(SIGPIPE, SIG_IGN);
    const int status = tqtool::RelayIntoHub(o.fleet, hub, [&] {
      http.Start();
      std::printf("tq serve: board %s from %s, serving %s\n", o.fleet.board.c_str(), o.fleet.urls.c_str(),
                  tqtool::ListenUrl(address, http.Port()).c_str());
      std::fflush(stdout);
    });
    hub.Flush();
    hub.Stop();
    http.Stop();
    return status;
  }
  HWND window = TQCreateWindow(&Procedure, &hub);
  tqtool::OpenBoard board;
  const TQ_ERROR_CODE opened = tqtool::Open(o.board, window, board);
  if (opened != TQ_SUCCESS) {
    tqtool::DrainMessages();
    TQDestroyWindow(window);
    return tqtool::Failed("serve", tqtool::OpenFailure(port, opened));
  }
  hub.SetBoard(board.width, board.maxHeight, board.version);
  hub.PostState(true, true);
  http.Start();
  std::printf("tq serve: board %s on port %d%s, serving %s\n", board.version.c_str(), port,
              o.replay.empty() ? "" : (" (replay of " + o.replay + ")").c_str(),
              tqtool::ListenUrl(address, http.Port()).c_str());
  std::fflush(stdout);

  tqtool::CatchStopSignals();
  std::signal(SIGPIPE, SIG_IGN);  // a viewer gone mid-write is the write's failure
  tqtool::RunMessageLoop();
  TQClose(port);
  tqtool::DrainMessages();
  hub.PostState(false, false);
  hub.Flush();
  hub.Stop();
  http.Stop();
  replay.Stop();
  TQDestroyWindow(window);
  const tqtool::ServeCounts counts = hub.Counts();
  tqtool::Say("serve", std::to_string(counts.events) + " events, " + std::to_string(counts.dropped) +
                           " viewers dropped for not reading, " + std::to_string(counts.lostInbox) +
                           " messages lost");
  return 0;
}

}  // namespace

int RunServeCommand(int argc, char** argv) {
  Options options;
  const int parsed = Parse(argc, argv, options);
  return parsed >= 0 ? parsed : Serve(options);
}
