// tq serve: the board live in a browser, for people who are not in the room.
//
// Threads: this one owns the board's window and runs its message loop; the
// window procedure only copies each message into the hub's inbox, so the
// board's reader thread, which waits for the procedure, never waits for a
// viewer. The hub's broadcaster and the web server's threads do the rest.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ReplayBoard.h"
#include "ServeHttp.h"
#include "ServeHub.h"
#include "TqCommands.h"
#include "TqWindow.h"

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

struct Options {
  int port = 0;
  std::string replay;
  double speed = 1.0;
  std::string listen = "127.0.0.1:8080";
  size_t viewers = 32;
};

// -1 when the command is to go on, else its exit status.
int Parse(int argc, char** argv, Options& o) {
  CLI::App app("Serves the board live to browsers: a page that draws the ink as it is written,\n"
               "the events behind it (/events) and each page's picture (/page/K.svg, .pdf).\n"
               "Listens on the loopback only unless --listen names another address; put it\n"
               "behind a reverse proxy with TLS for viewers elsewhere. Read-only: viewers\n"
               "cannot reach the board. Exit status: 0, 1 when the board or the address\n"
               "cannot be opened, 2 for usage.",
               "tq serve");
  auto* port = app.add_option("--port", o.port, "the board's port, 1 to 8 (with --replay: the port the pty stands for)")
                   ->check(CLI::Range(1, 8));
  auto* replay = app.add_option("--replay", o.replay, "play this raw capture as the board, at its line's pace");
  app.add_option("--speed", o.speed, "with --replay: times the line's pace (default 1)")
      ->check(CLI::Range(0.01, 1000.0));
  app.add_option("--listen", o.listen, "ADDR:PORT to listen on (default 127.0.0.1:8080; port 0: any free one)");
  app.add_option("--viewers", o.viewers, "viewers at most; the next is answered 503 (default 32)")
      ->check(CLI::Range(1, 1024));
  try {
    app.parse(argc, argv);
    if (port->count() == 0 && replay->count() == 0) throw CLI::RequiredError("--port or --replay");
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : 2;
  }
  return -1;
}

int Serve(const Options& o) {
  tqtool::ListenAddress address;
  if (!tqtool::ParseListenAddress(o.listen, address)) {
    std::fprintf(stderr, "tq serve: --listen wants ADDR:PORT, not '%s'\n", o.listen.c_str());
    return 2;
  }
  const TQ_PORT port = o.port != 0 ? o.port : 1;
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
  limits.maxViewers = o.viewers;
  tqtool::ServeHub hub(limits);
  tqtool::ServeHttp http(hub, o.viewers);
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
