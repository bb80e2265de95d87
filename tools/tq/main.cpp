// tq: the command-line companion of the board driver.
#include <cstdio>
#include <cstring>

#include "common/CommandLine.h"
#include "common/Report.h"
#include "tq/Commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* summary;
};

// One line a command.
const Command kCommands[] = {
    {"probe", RunProbeCommand, "open a board on a port and print what it reports"},
    {"find", RunFindCommand, "look for a board on ports 1 and 2, or on the USB serial devices"},
    {"filter", RunFilterCommand, "run samples from standard input through the stroke filter"},
    {"live", RunLiveCommand, "open a board and print every message it sends"},
    {"replay", RunReplayCommand, "play a raw capture back through the pipeline into a window"},
    {"info", RunInfoCommand, "print the header and the contents by kind of a capture file"},
    {"dump", RunDumpCommand, "print the sample records of a .val or .out capture"},
    {"render", RunRenderCommand, "draw a raw capture: raw points and delivered strokes (SVG)"},
    {"pen", RunPenCommand, "make the board a pen tablet on the desktop (uinput)"},
    {"calibrate", RunCalibrateCommand, "map the board onto a screen: four targets, a file"},
    {"export", RunExportCommand, "write a raw capture as a document (xopp, inkml, pdf, png, svg)"},
    {"serve", RunServeCommand, "show the board live in a browser (or a capture, at its pace)"},
    {"publish", RunPublishCommand, "put the board's messages on a NATS JetStream engine"},
    {"archive", RunArchiveCommand, "file every board's sessions from the engine as documents"},
};

void Usage(std::FILE* out) {
  std::fputs("usage: tq COMMAND [ARGS]   (tq COMMAND --help for more; tq --version)\ncommands:\n", out);
  for (const Command& command : kCommands) std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("tq: give a command\nsee tq --help\n", stderr);
    return 2;
  }
  if (tqtool::IsHelp(argv[1])) {
    Usage(stdout);
    return 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("tq %s\n", tqtool::kToolVersion);
    return 0;
  }
  for (const Command& command : kCommands) {
    if (std::strcmp(argv[1], command.name) == 0) return command.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "tq: unknown command '%s'\nsee tq --help\n", tqtool::Printable(argv[1]).c_str());
  return 2;
}
