// tq serve: the board live in a browser, for people who are not in the room.
//
// Threads: this one owns the board's window and runs its message loop; the
// window procedure only copies each message into the hub's inbox, so the
// board's reader thread, which waits for the procedure, never waits for a
// viewer. The hub's broadcaster and the web server's threads do the rest.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/ReplayBoard.h"
#include "serve/ServeHttp.h"
#include "serve/ServeHub.h"
#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/HostWindow.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void OnTick(HWND, UINT, UINT_PTR, DWORD) {
  if (g_stop) PostQuitMessage(0);
}

bool IsBoardMessage(UINT message) {
  return (message >= TQ_MSG_PEN_DOWN && message <= TQ_MSG_BOARD_CHECK) || message == TQ_MSG_BOARD_0x90;
}

LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* hub = static_cast<tqtool::ServeHub*>(TQGetWindowUser(window));
  if (hub != nullptr && IsBoardMessage(message)) hub->Post(tqtool::CopyMessage(message, wParam, lParam));
  return 0;
}

// The board's version as a viewer sees it: the reply's text without its
// lead byte and padding, and nothing a page could take for markup.
std::string VersionText(TQ_PORT port) {
  char reply[20] = {};
  TQGetBoardVersion(port, reply);
  std::string text;
  for (const char* c = reply + 1; *c != '\0'; ++c) {
    if ((*c >= '0' && *c <= '9') || *c == '.' || (*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z')) {
      text.push_back(*c);
    }
  }
  return text;
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
  long port = 0;
  std::string device;
  std::string replay;
  double speed = 1.0;
  std::string listen = "127.0.0.1:8080";
  long viewers = 32;
};

// -1 when the command is to go on, else its exit status.
int Parse(int argc, char** argv, Options& o) {
  tqtool::CommandLine line("tq serve",
                           "tq serve (--port N | --device PATH | --replay FILE.raw [--speed X])\n"
                           "                [--listen ADDR:PORT] [--viewers V]",
                           kAbout, kFooter);
  line.Number("--port", o.port, 1, 8, "N", "the board's port (with --replay: the port the capture plays on)");
  line.Text("--device", o.device, "PATH", "the serial device of the board (as port N, or port 1)");
  line.Text("--replay", o.replay, "FILE.raw", "play this raw capture as the board");
  line.Number("--speed", o.speed, 0.01, 1000.0, "X", "with --replay: times the line's pace (default 1)");
  line.Text("--listen", o.listen, "ADDR:PORT", "where to listen (default 127.0.0.1:8080; port 0: any free one)");
  line.Number("--viewers", o.viewers, 1, 1024, "V", "viewers at most, the next is answered 503 (default 32)");
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  const bool board = line.Given("--port") || line.Given("--device");
  if (o.replay.empty() && !board) return line.Fail("give --port N, --device PATH or --replay FILE.raw");
  if (!o.replay.empty() && line.Given("--device")) return line.Fail("--replay plays its own device, not --device");
  if (o.replay.empty() && line.Given("--speed")) return line.Fail("--speed goes with --replay");
  tqtool::ListenAddress address;
  if (!tqtool::ParseListenAddress(o.listen, address)) {
    return line.Fail("--listen wants ADDR:PORT, [IPV6]:PORT or :PORT, not '" + o.listen + "'");
  }
  if (o.port == 0) o.port = 1;
  // The library finds COM<N> through TQ_COM<N>.
  if (!o.device.empty()) setenv(("TQ_COM" + std::to_string(o.port)).c_str(), o.device.c_str(), 1);
  return -1;
}

int Serve(const Options& o) {
  tqtool::ListenAddress address;
  tqtool::ParseListenAddress(o.listen, address);
  const TQ_PORT port = static_cast<TQ_PORT>(o.port);
  std::string error;
  tqtool::ReplayBoard replay;
  if (!o.replay.empty()) {
    if (!replay.Open(o.replay, o.speed, error)) {
      std::fprintf(stderr, "error tq serve: %s\n", error.c_str());
      return 1;
    }
    setenv(("TQ_COM" + std::to_string(port)).c_str(), replay.Path().c_str(), 1);
  }
  tqtool::ServeLimits limits;
  limits.maxViewers = static_cast<size_t>(o.viewers);
  tqtool::ServeHub hub(limits);
  tqtool::ServeHttp http(hub, limits.maxViewers);
  if (!http.Bind(address, error)) {
    std::fprintf(stderr, "error tq serve: %s\n", error.c_str());
    return 1;
  }
  HWND window = TQCreateWindow(&Procedure, &hub);
  const TQ_ERROR_CODE opened = TQOpenPort(port, window);
  if (opened != TQ_SUCCESS) {
    std::fprintf(stderr, "error tq serve: port %d: error %d %s\n", port, static_cast<int>(opened),
                 tqtool::ErrorMeaning(opened));
    TQDestroyWindow(window);
    return 1;
  }
  unsigned width = 0, height = 0;
  TQGetBoardWidth(port, &width);
  TQGetMaxBoardHeight(port, &height);
  const std::string version = VersionText(port);
  hub.SetBoard(width, height != 0 ? height : width, version);
  hub.PostState(true, true);
  http.Start();
  std::printf("tq serve: board %s on port %d%s, serving %s\n", version.c_str(), port,
              o.replay.empty() ? "" : (" (replay of " + o.replay + ")").c_str(),
              tqtool::ListenUrl(address, http.Port()).c_str());
  std::fflush(stdout);

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);  // a viewer gone mid-write is the write's failure
  const UINT_PTR tick = SetTimer(nullptr, 0, 100, &OnTick);
  MSG msg;
  while (!g_stop && GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
  KillTimer(nullptr, tick);
  TQClose(port);
  tqtool::DrainMessages();
  hub.PostState(false, false);
  hub.Flush();
  hub.Stop();
  http.Stop();
  replay.Stop();
  TQDestroyWindow(window);
  const tqtool::ServeCounts counts = hub.Counts();
  std::fprintf(stderr, "tq serve: %llu events, %llu viewers dropped for not reading, %llu messages lost\n",
               static_cast<unsigned long long>(counts.events), static_cast<unsigned long long>(counts.dropped),
               static_cast<unsigned long long>(counts.lostInbox));
  return 0;
}

}  // namespace

int RunServeCommand(int argc, char** argv) {
  Options options;
  const int parsed = Parse(argc, argv, options);
  return parsed >= 0 ? parsed : Serve(options);
}
