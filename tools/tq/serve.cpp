// tq serve: the board live in a browser, for people who are not in the room.
//
// Threads: this one owns the board's window and runs the one message loop;
// the window procedure only copies each message into the hub's inbox, so the
// board's reader thread, which waits for the procedure, never waits for a
// viewer. The hub's broadcaster and the web server's one thread (with its two
// picture renderers and its sweep) do the rest.
//
// The board is watched: a line that went away (line error 8) or a board that
// stopped answering is said once on standard error and to the viewers; a
// line that went away is opened again every 3 s until the board is back.
#include <sys/resource.h>

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

constexpr int64_t kReopenUs = 3000 * 1000;
constexpr uint64_t kLineGone = 8;

bool IsBoardMessage(UINT message) {
  return (message >= TQ_MSG_PEN_DOWN && message <= TQ_MSG_BOARD_CHECK) || message == TQ_MSG_BOARD_0x90;
}

// What the loop's thread knows of the board, for the procedure and the tick.
struct Watch {
  tqtool::ServeHub* hub = nullptr;
  bool open = true;     // the port is open
  bool silent = false;  // said to have stopped answering
  int64_t nextOpenUs = 0;
};

LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* watch = static_cast<Watch*>(TQGetWindowUser(window));
  if (watch == nullptr || !IsBoardMessage(message)) return 0;
  watch->hub->Post(tqtool::CopyMessage(message, wParam, lParam));
  if (message == TQ_MSG_COMM_ERROR && wParam == kLineGone && watch->open) {
    watch->open = false;  // closed and opened again from the tick
    watch->nextOpenUs = tqtool::NowUs();
    tqtool::Say("serve", "the board is gone: line error 8 (its line went away); opening it again every 3 s");
  } else if (message == TQ_MSG_BOARD_CHECK && lParam == 0 && watch->open && !watch->silent) {
    watch->silent = true;
    tqtool::Say("serve", "the board is gone: it stopped answering; still listening");
  } else if (watch->silent && message != TQ_MSG_COMM_ERROR && !(message == TQ_MSG_BOARD_CHECK && lParam == 0)) {
    watch->silent = false;
    tqtool::Say("serve", "the board answers again");
  }
  return 0;
}

const char kAbout[] =
    "Serves the board live to browsers: a page that draws the ink as it is\n"
    "written (/), the events behind it (/events, Server-Sent Events, described\n"
    "in docs/stream.md) and each page's picture (/page/K.svg, /page/K.pdf, K\n"
    "from 1 as tq export --page counts). --replay plays a raw capture as the\n"
    "board, on a pseudo-terminal, at the pace of its 9600-baud line times\n"
    "--speed. Listens on the loopback only unless --listen names another\n"
    "address; put it behind a reverse proxy with TLS for viewers elsewhere.\n"
    "Read-only: nothing a viewer sends reaches the board. A board that goes\n"
    "away is opened again every 3 s. Runs until SIGINT or SIGTERM.\n";

const char kFooter[] =
    "Exit status: 0, 1 when the board, the capture or the address cannot be\n"
    "opened, 2 for usage.\n";

struct Options {
  tqtool::BoardOptions board;
  tqtool::ReplayOptions replay;
  std::string listen = "127.0.0.1:8080";
  long viewers = 2000;
  std::string pensText;
  tqtool::PenStyles pens;
  tqtool::FleetOptions fleet;  // --nats: the board's stream instead of a port
};

// -1 when the command is to go on, else its exit status.
int Parse(int argc, char** argv, Options& o) {
  tqtool::CommandLine line("tq serve",
                           "tq serve (--port N | --device NAME | --replay FILE.raw [--speed X])\n"
                           "                [--listen ADDR:PORT] [--viewers V] [--pens LIST] [--pod P] [--height H] "
                           "[--no-*]",
                           kAbout, kFooter);
  tqtool::AddBoardOptions(line, o.board, true, false);
  tqtool::AddReplayOptions(line, o.replay);
  line.Text("--listen", o.listen, "ADDR:PORT", "where to listen (default 127.0.0.1:8080; port 0: any free one)");
  line.Number("--viewers", o.viewers, 1, 20000, "V", "viewers at most, the next is answered 503 (default 2000)");
  line.Text("--pens", o.pensText, "LIST",
            "pens' colours and widths as tq export takes them, CODE=#RRGGBB[:WIDTH_MM],...");
  tqtool::AddFleetOptions(line, o.fleet, true);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (!o.fleet.urls.empty() || !o.fleet.board.empty()) {
    if (o.board.Given() || o.replay.Given()) return line.Fail("--nats serves a board's stream, not a port");
    if (const std::string problem = tqtool::FleetProblem(o.fleet, true); !problem.empty()) return line.Fail(problem);
  } else if (!o.replay.Given() && !o.board.Given()) {
    return line.Fail("give --port N, --device NAME, --replay FILE.raw or --nats URL --board NAME");
  }
  if (const std::string problem = tqtool::ReplayProblem(line, o.replay); !problem.empty()) return line.Fail(problem);
  tqtool::ListenAddress address;
  if (!tqtool::ParseListenAddress(o.listen, address)) {
    return line.Fail("--listen wants ADDR:PORT, [IPV6]:PORT or :PORT, not '" + o.listen + "'");
  }
  std::string error;
  if (!o.pensText.empty() && !o.pens.Parse(o.pensText, error)) return line.Fail("bad value for --pens: " + error);
  if (o.board.port == 0) o.board.port = 1;
  return -1;
}

// Every viewer is a socket: as many as the system lets this process have.
void RaiseFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int Serve(Options& o) {
  RaiseFileLimit();
  tqtool::ListenAddress address;
  tqtool::ParseListenAddress(o.listen, address);
  const TQ_PORT port = o.board.Port();
  std::string error;
  tqtool::ReplayBoard replay;
  if (o.replay.Given()) {
    if (!replay.Open(o.replay.file, o.replay.speed, error)) return tqtool::Failed("serve", error);
    tqtool::MapPort(port, replay.Path());
  }
  tqtool::ServeLimits limits;
  limits.maxViewers = static_cast<size_t>(o.viewers);
  // A relay numbers its events by the board's stream, as every other relay
  // of that board does.
  tqtool::ServeHub hub(limits, o.fleet.urls.empty() ? tqtool::EventIds::Run : tqtool::EventIds::Stream);
  hub.SetPens(o.pens);
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
  Watch watch;
  watch.hub = &hub;
  HWND window = TQCreateWindow(&Procedure, &watch);
  tqtool::OpenBoard board;
  const TQ_ERROR_CODE opened = tqtool::Open(o.board, window, board);
  if (opened != TQ_SUCCESS) {
    tqtool::DrainMessages();
    TQDestroyWindow(window);
    return tqtool::Failed("serve", tqtool::OpenFailure(port, opened));
  }
  hub.SetBoard(board.width, board.maxHeight, board.version);
  hub.PostState(true, true);
  if (!http.Start()) {
    TQClose(port);
    tqtool::DrainMessages();
    TQDestroyWindow(window);
    return tqtool::Failed("serve", "the web server did not start");
  }
  if (http.BeyondLoopback()) {
    tqtool::Say("serve", "listening beyond this machine on " + address.host +
                             ": anyone who reaches it sees the board, with no password and no encryption "
                             "(put a reverse proxy with TLS and authentication in front)");
  }
  std::printf("tq serve: board %s on port %d%s, serving %s\n", board.version.c_str(), port,
              !o.replay.Given() ? "" : (" (replay of " + o.replay.file + ")").c_str(),
              tqtool::ListenUrl(address, http.Port()).c_str());
  std::fflush(stdout);

  tqtool::CatchStopSignals();
  std::signal(SIGPIPE, SIG_IGN);  // a viewer gone mid-write is the write's failure
  tqtool::LoopSettings loop;
  loop.tick = [&](int64_t now) {
    if (watch.open || now < watch.nextOpenUs) return;
    watch.nextOpenUs = now + kReopenUs;
    TQClose(port);
    tqtool::OpenBoard again;
    if (tqtool::Open(o.board, window, again) != TQ_SUCCESS) return;
    watch.open = true;
    watch.silent = false;
    tqtool::Say("serve", "the board is back: board " + again.version + " on port " + std::to_string(port));
    hub.SetBoard(again.width, again.maxHeight, again.version);
    hub.PostState(true, true);
  };
  tqtool::RunMessageLoop(loop);
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
