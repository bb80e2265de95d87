// tq publish: the board's messages onto the building's message engine, for
// relays (tq serve --nats) and the archive (tq archive) anywhere.
//
// Threads: this one owns the board's window and runs its message loop; the
// window procedure only turns each message into its event and copies it
// into the publisher's bounded buffer, so the board's reader thread never
// waits for the network. The publisher's thread does the rest.
#include <cstdio>
#include <string>

#include "common/Board.h"
#include "common/CommandLine.h"
#include "common/MessageLoop.h"
#include "common/Report.h"
#include "fleet/FleetEvents.h"
#include "fleet/NatsLink.h"
#include "fleet/Publisher.h"
#include "sim/ReplayBoard.h"
#include "tq/Commands.h"

namespace {

bool IsBoardMessage(UINT message) {
  return (message >= TQ_MSG_PEN_DOWN && message <= TQ_MSG_BOARD_CHECK) || message == TQ_MSG_BOARD_0x90;
}

LRESULT Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* publisher = static_cast<tqtool::Publisher*>(TQGetWindowUser(window));
  if (publisher != nullptr && IsBoardMessage(message)) {
    publisher->Post(tqtool::MessageJson(tqtool::CopyMessage(message, wParam, lParam)));
  }
  return 0;
}

const char kAbout[] =
    "Publishes the board's messages, one JSON event each, on the stream\n"
    "TQ_BOARD_<NAME> of a NATS JetStream engine (subject tq.board.<NAME>.events),\n"
    "making the stream when it is missing with --replicas copies, kept for\n"
    "--max-age seconds and --max-bytes at most. A session is an \"open\" event,\n"
    "the board's messages and a \"close\". While the engine is unreachable the\n"
    "events wait in a buffer of --buffer events and are sent once it is back,\n"
    "in order; the engine drops any it already had. --replay plays a raw\n"
    "capture as the board at its line's pace times --speed and ends when it is\n"
    "played; otherwise the command runs until SIGINT or SIGTERM.\n"
    "Credentials: --creds FILE, else NATS_TOKEN, else NATS_USER and\n"
    "NATS_PASSWORD from the environment; tls:// servers are checked against\n"
    "--ca FILE (else the system's authorities).\n";

const char kFooter[] =
    "Exit status: 0 when every event was published, 1 when the board or the\n"
    "engine could not be used or events were lost, 2 for usage.\n";

struct Options {
  tqtool::BoardOptions board;
  tqtool::ReplayOptions replay;
  tqtool::FleetOptions fleet;
  tqtool::PublishSettings publish;
  long replicas = 1, maxAge = 30L * 24 * 3600, buffer = 100000;
  double maxBytes = double(int64_t{1} << 30);
  double drain = 30.0;
};

int Parse(int argc, char** argv, Options& o) {
  tqtool::CommandLine line("tq publish",
                           "tq publish (--port N | --device NAME | --replay FILE.raw [--speed X])\n"
                           "                  --nats URL[,URL...] --board NAME [--replicas R] [--max-age SECONDS]\n"
                           "                  [--max-bytes B] [--buffer N] [--creds FILE] [--ca FILE]",
                           kAbout, kFooter);
  tqtool::AddBoardOptions(line, o.board, true, false);
  tqtool::AddReplayOptions(line, o.replay);
  tqtool::AddFleetOptions(line, o.fleet, true);
  line.Number("--replicas", o.replicas, 1, 5, "R", "copies of a stream this makes (default 1)");
  line.Number("--max-age", o.maxAge, 1, 100L * 365 * 24 * 3600, "SECONDS", "how long the stream keeps events (default 30 days)");
  line.Number("--max-bytes", o.maxBytes, 1024.0, 1e15, "B", "bytes the stream keeps at most (default 1 GiB)");
  line.Number("--buffer", o.buffer, 1, 100000000, "N", "events kept while the engine is unreachable (default 100000)");
  line.Number("--drain", o.drain, 0.0, 86400.0, "SECONDS", "at the end, how long to wait for the engine to take the buffer (default 30)");
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (!o.replay.Given() && !o.board.Given()) return line.Fail("give --port N, --device NAME or --replay FILE.raw");
  if (const std::string problem = tqtool::ReplayProblem(line, o.replay); !problem.empty()) return line.Fail(problem);
  if (const std::string problem = tqtool::FleetProblem(o.fleet, true); !problem.empty()) return line.Fail(problem);
  if (o.board.port == 0) o.board.port = 1;
  o.publish.board = o.fleet.board;
  o.publish.buffer = static_cast<size_t>(o.buffer);
  o.publish.replicas = o.replicas;
  o.publish.maxAgeSeconds = o.maxAge;
  o.publish.maxBytes = static_cast<int64_t>(o.maxBytes);
  return -1;
}

int Publish(Options& o) {
  const TQ_PORT port = o.board.Port();
  std::string error;
  tqtool::NatsLink link;
  if (!link.Connect(o.fleet, "publish", error)) return tqtool::Failed("publish", error);
  tqtool::ReplayBoard replay;
  if (o.replay.Given()) {
    if (!replay.Open(o.replay.file, o.replay.speed, error)) return tqtool::Failed("publish", error);
    tqtool::MapPort(port, replay.Path());
  }
  tqtool::Publisher publisher(link, o.publish, "publish");
  HWND window = TQCreateWindow(&Procedure, &publisher);
  tqtool::OpenBoard board;
  const TQ_ERROR_CODE opened = tqtool::Open(o.board, window, board);
  if (opened != TQ_SUCCESS) {
    tqtool::DrainMessages();
    TQDestroyWindow(window);
    publisher.Finish(0);
    return tqtool::Failed("publish", tqtool::OpenFailure(port, opened));
  }
  // The session's open goes before anything the board sent since the port opened.
  publisher.Begin({tqtool::OpenJson(o.fleet.board, publisher.Session(), publisher.StartSeconds(), board.width,
                                    board.maxHeight, board.version),
                   tqtool::StateJson(true, true)});
  std::printf("tq publish: board %s on port %d%s, publishing to %s as %s\n", board.version.c_str(), port,
              !o.replay.Given() ? "" : (" (replay of " + o.replay.file + ")").c_str(), o.fleet.urls.c_str(),
              tqtool::StreamName(o.fleet.board).c_str());
  std::fflush(stdout);

  tqtool::CatchStopSignals();
  tqtool::LoopSettings loop;
  int64_t playedAt = 0;
  if (o.replay.Given()) {
    // A capture played out ends the session a moment later, once the
    // library has delivered its last messages.
    loop.tick = [&](int64_t now) {
      if (playedAt == 0 && replay.Played()) playedAt = now;
      if (playedAt != 0 && now - playedAt > 1000000) tqtool::RequestStop();
    };
  }
  tqtool::RunMessageLoop(loop);
  TQClose(port);
  tqtool::DrainMessages();
  publisher.Post(tqtool::StateJson(false, false));
  publisher.Post(tqtool::CloseJson());
  replay.Stop();
  TQDestroyWindow(window);
  const tqtool::PublishCounts counts = publisher.Finish(o.drain);
  tqtool::Say("publish", std::to_string(counts.published) + " events published (" +
                             std::to_string(counts.duplicates) + " resends the engine already had), " +
                             std::to_string(counts.lostFull) + " lost to a full buffer, " +
                             std::to_string(counts.unsent) + " not sent");
  return counts.lostFull == 0 && counts.unsent == 0 ? tqtool::kExitDone : tqtool::kExitFailed;
}

}  // namespace

int RunPublishCommand(int argc, char** argv) {
  Options options;
  const int parsed = Parse(argc, argv, options);
  return parsed >= 0 ? parsed : Publish(options);
}
