// tq export: a recorded session as a document: Xournal++, InkML, PDF, PNG or
// SVG, with what the eraser took away gone.
#include <cstdio>
#include <string>

#include "export/ExportSession.h"
#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/OutputFile.h"
#include "common/Report.h"

namespace {

const char kAbout[] =
    "Replays a raw capture through the whole pipeline, as a live port with every\n"
    "filter stage on, and writes what was left on the board:\n"
    "  .xopp   Xournal++ document, one page per board page\n"
    "  .inkml  W3C InkML, one trace group per board page, in board units\n"
    "  .pdf    one page per board page\n"
    "  .png    one page (--page) at --dpi\n"
    "  .svg    one page (--page)\n"
    "The format comes from OUT's extension unless --format names it. A new page\n"
    "starts at the board's flush (the board's clear button) unless --no-pages.\n"
    "OUT appears only when it is complete, and never over the capture.\n";

const char kFooter[] =
    "OUT may be a device, a FIFO or /dev/stdout, written straight; a link is\n"
    "followed to the file it names. Exit status: 0, 1 when the capture cannot be\n"
    "read or is no capture a replay accepts (a baseline outside 500 to 5000\n"
    "included), the format is unknown or OUT cannot be written, 2 for usage.\n";

struct ExportArgs {
  tqtool::ExportSettings settings;
  std::string format, pens;
  long page = 1;
  bool pages = true, noPages = false, quiet = false;
};

void DescribeOptions(tqtool::CommandLine& line, ExportArgs& args) {
  tqtool::ExportSettings& s = args.settings;
  line.Argument("CAPTURE", s.input, "the raw capture");
  line.Text("-o,--output", s.output, "OUT", "the document to write ('-': standard output)");
  line.Text("--format", args.format, "F", "xopp, inkml, pdf, png or svg (default: OUT's extension)");
  line.Number("--scale", s.layout.unitsPerMm, 0.01, 1000.0, "U",
              "board units a millimetre (default 2, as tq pen --units-per-mm)");
  line.Flag("--pages", args.pages, "a new page at the board's flush (the default)");
  line.Flag("--no-pages", args.noPages, "one page for the whole session, flushes or not");
  line.Flag("--crop", s.layout.crop, "cut each page to its ink, with --margin around");
  line.Number("--margin", s.layout.marginMm, 0.0, 1000.0, "MM", "around the ink with --crop (10)");
  line.Text("--pens", args.pens, "LIST",
            "CODE=#RRGGBB[:WIDTH_MM],... colours and widths by pen code 0 to 7 (2.5 mm)");
  line.Number("--page", args.page, 1, 1000000, "N", "the page of a PNG or SVG, from 1");
  line.Number("--dpi", s.request.dpi, 1.0, 2400.0, "D", "pixels an inch of a PNG (30)");
  line.Flag("--debug", s.layout.debug,
            "PDF, PNG, SVG: also the board's outline, the filter-off points, all that was "
            "written (faint) and the eraser's footprints, as tq render draws them");
  line.Flag("-q,--quiet", args.quiet, "print nothing when all goes well");
}

// -1 when the export is to run, else the exit status.
int ParseArgs(int argc, char** argv, ExportArgs& args) {
  tqtool::CommandLine line("tq export", "tq export CAPTURE -o OUT [--format F] [options]", kAbout,
                           kFooter);
  DescribeOptions(line, args);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (args.settings.output.empty()) return line.Fail("--output is required");
  std::string error;
  if (!args.pens.empty() && !args.settings.pens.Parse(args.pens, error)) {
    return line.Fail("bad value for --pens: " + error);
  }
  args.settings.pageAtFlush = !args.noPages;
  args.settings.request.pageIndex = static_cast<size_t>(args.page - 1);
  return -1;
}

int Fail(const std::string& message) { return tqtool::Failed("export", message); }

}  // namespace

int RunExportCommand(int argc, char** argv) {
  ExportArgs args;
  if (const int status = ParseArgs(argc, argv, args); status >= 0) return status;
  const std::string named = args.format.empty() ? args.settings.output : "." + args.format;
  if (!tqtool::FormatFromName(named, args.settings.request.format)) {
    return Fail("unknown format of '" + (args.format.empty() ? args.settings.output : args.format) +
                "': choose .xopp, .inkml, .pdf, .png or .svg, or --format");
  }
  tqtool::ExportSummary summary;
  std::string error;
  if (!tqtool::ExportCapture(args.settings, summary, error)) return Fail(error);
  // A document on standard output is not to be followed by words.
  if (!args.quiet && !tqtool::WritesToStandardOutput(args.settings.output)) {
    std::printf("%s: %zu pages, %zu strokes, %zu points\n", args.settings.output.c_str(),
                summary.pages, summary.strokes, summary.points);
  }
  return tqtool::kExitDone;
}
