// tq export: a recorded session as a document: Xournal++, InkML, PDF, PNG or
// SVG, with what the eraser took away gone.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "ExportSession.h"
#include "TqCommands.h"

namespace {

const char kDescription[] =
    "Replays a raw capture through the whole pipeline, as a live port with every\n"
    "filter stage on, and writes what was left on the board:\n"
    "  .xopp   Xournal++ document, one page per board page\n"
    "  .inkml  W3C InkML, one trace group per board page, in board units\n"
    "  .pdf    one page per board page\n"
    "  .png    one page (--page) at --dpi\n"
    "  .svg    one page (--page)\n"
    "The format comes from OUT's extension unless --format names it. A new page\n"
    "starts at the board's flush (the board's clear button) unless --no-pages.\n"
    "OUT appears only when it is complete. Exit status: 0, 1 when the capture\n"
    "cannot be read or is no capture, the format is unknown or OUT cannot be\n"
    "written, 2 for usage.";

struct ExportArgs {
  tqtool::ExportSettings settings;
  std::string format, pens;  // --pens fills settings.pens as it is read
  size_t page = 1;
  bool quiet = false;
};

// Builds the command line; the options fill `args`.
void DescribeOptions(CLI::App& app, ExportArgs& args) {
  app.add_option("capture", args.settings.input, "the raw capture (FILE.raw)")->required();
  app.add_option("-o,--output", args.settings.output, "the document to write")->required();
  app.add_option("--format", args.format,
                 "xopp, inkml, pdf, png or svg (default: OUT's extension)");
  app.add_option("--scale", args.settings.layout.unitsPerMm, "board units per millimetre")
      ->check(CLI::PositiveNumber)
      ->default_val(tqtool::kDefaultUnitsPerMm);
  app.add_flag("--pages,!--no-pages", args.settings.pageAtFlush,
               "a new page at the board's flush (default: on)");
  app.add_flag("--crop", args.settings.layout.crop,
               "cut each page to its ink, with --margin around");
  app.add_option("--margin", args.settings.layout.marginMm,
                 "millimetres around the ink with --crop")
      ->check(CLI::Range(0.0, 1000.0))
      ->default_val(10.0);
  app.add_option("--pens", args.pens,
                 "colours and widths: \"1=#000000,2=#d00000:1.5,...\" "
                 "(pen code = colour[:width in mm])")
      ->check([&args](const std::string& text) {
        std::string error;
        return args.settings.pens.Parse(text, error) ? std::string() : error;
      });
  app.add_option("--page", args.page, "the page of a PNG or SVG, from 1")
      ->check(CLI::PositiveNumber)
      ->default_val(1);
  app.add_option("--dpi", args.settings.request.dpi, "pixels an inch of a PNG")
      ->check(CLI::Range(1.0, 2400.0))
      ->default_val(tqtool::kDefaultDpi);
  app.add_flag("--debug", args.settings.layout.debug,
               "PDF, PNG, SVG: also the filter-off points, all that was written (faint) and "
               "the eraser's footprints");
  app.add_flag("-q,--quiet", args.quiet, "print nothing when all goes well");
}

// 0 when the arguments were read, -1 after --help, else the exit status.
int ParseArgs(int argc, char** argv, ExportArgs& args) {
  CLI::App app(kDescription, "tq export");
  DescribeOptions(app, args);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return -1;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "tq export: %s\n%s", error.what(), app.help().c_str());
    return 2;
  }
  return 0;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "tq export: %s\n", message.c_str());
  return 1;
}

}  // namespace

int RunExportCommand(int argc, char** argv) {
  ExportArgs args;
  if (const int status = ParseArgs(argc, argv, args); status != 0) return status < 0 ? 0 : status;
  const std::string named = args.format.empty() ? args.settings.output : "." + args.format;
  if (!tqtool::FormatFromName(named, args.settings.request.format)) {
    return Fail("unknown format of '" + (args.format.empty() ? args.settings.output : args.format) +
                "': choose .xopp, .inkml, .pdf, .png or .svg, or --format");
  }
  std::string error;
  args.settings.request.pageIndex = args.page - 1;
  tqtool::ExportSummary summary;
  if (!tqtool::ExportCapture(args.settings, summary, error)) return Fail(error);
  if (!args.quiet) {
    std::printf("%s: %zu pages, %zu strokes, %zu points\n", args.settings.output.c_str(),
                summary.pages, summary.strokes, summary.points);
  }
  return 0;
}
