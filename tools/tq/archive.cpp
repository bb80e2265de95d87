// tq archive: every board's sessions, as they end, filed as documents.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "common/CommandLine.h"
#include "common/MessageLoop.h"
#include "common/OutputFile.h"
#include "common/Report.h"
#include "fleet/Archiver.h"
#include "fleet/NatsLink.h"
#include "tq/Commands.h"

namespace {

const char kAbout[] =
    "Follows the stream of every board (TQ_BOARD_<NAME>) of a NATS JetStream\n"
    "engine whose name matches --boards (a shell pattern, default *) and writes\n"
    "each session, from the board's open to its close, as documents the way\n"
    "tq export does: OUT/NAME-YYYYMMDD-HHMMSS.EXT by the session's start (UTC;\n"
    "-2, -3... after it for more sessions begun in that second), one per --format\n"
    "(xopp, inkml, pdf, png, svg: the first page; events: the messages as\n"
    "tq replay --events prints them). A durable consumer per board\n"
    "(--durable) keeps how far the archive got, a session counting only once\n"
    "its documents are written: a restarted archiver goes on where it stopped\n"
    "and writes no session twice. Runs until SIGINT or SIGTERM, then writes the\n"
    "sessions still open. Credentials as for tq publish.\n";

const char kFooter[] = "Exit status: 0, 1 when a document could not be written, 2 for usage.\n";

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> items;
  std::string item;
  for (const char c : text + ",") {
    if (c == ',') {
      if (!item.empty()) items.push_back(item);
      item.clear();
    } else if (c != ' ') {
      item += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return items;
}

}  // namespace

int RunArchiveCommand(int argc, char** argv) {
  tqtool::FleetOptions fleet;
  tqtool::ArchiveSettings settings;
  std::string formats = "xopp,pdf";
  tqtool::CommandLine line("tq archive",
                           "tq archive --nats URL[,URL...] [--boards PATTERN] --out DIR [--format xopp,pdf,...]\n"
                           "                  [--durable NAME] [--creds FILE] [--ca FILE]",
                           kAbout, kFooter);
  tqtool::AddFleetOptions(line, fleet, false);
  line.Text("--boards", settings.pattern, "PATTERN", "the boards to archive (default *)");
  line.Text("--out", settings.out, "DIR", "where the documents go");
  line.Text("--format", formats, "LIST", "formats, by extension (default xopp,pdf)");
  line.Text("--durable", settings.durable, "NAME", "the consumer's name in the engine (default tq-archive)");
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (const std::string problem = tqtool::FleetProblem(fleet, false); !problem.empty()) return line.Fail(problem);
  if (settings.out.empty()) return line.Fail("give --out DIR");
  settings.formats = Split(formats);
  if (settings.formats.empty()) return line.Fail("give --format with at least one format");
  if (const std::string unknown = tqtool::UnknownArchiveFormat(settings.formats); !unknown.empty()) {
    return line.Fail("--format does not know '" + tqtool::Printable(unknown) + "' (xopp, inkml, pdf, png, svg, events)");
  }
  if (!tqtool::ValidBoardName(settings.durable)) return line.Fail("--durable wants letters, digits, - and _");
  if (const std::string problem = tqtool::OutputProblem(settings.out + "/x"); !problem.empty()) {
    return tqtool::Failed("archive", "--out " + settings.out, problem);
  }
  tqtool::NatsLink link;
  std::string error;
  if (!link.Connect(fleet, "archive", error)) return tqtool::Failed("archive", error);
  tqtool::CatchStopSignals();
  std::printf("tq archive: archiving boards %s from %s into %s\n", settings.pattern.c_str(), fleet.urls.c_str(),
              settings.out.c_str());
  std::fflush(stdout);
  tqtool::Archiver archiver(link, settings, "archive");
  archiver.Run([] { return tqtool::StopRequested(); });
  const tqtool::ArchiveCounts counts = archiver.Counts();
  tqtool::Say("archive", std::to_string(counts.sessions) + " sessions, " + std::to_string(counts.documents) +
                             " documents written, " + std::to_string(counts.failures) + " failed");
  return counts.failures == 0 ? tqtool::kExitDone : tqtool::kExitFailed;
}
