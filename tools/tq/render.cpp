// tq render: replay a raw capture twice, once with every filter stage off
// (the raw triangulated points) and once as a host gets it, print a short
// summary and draw both into one picture.
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "export/InkDocument.h"
#include "export/CairoWriter.h"
#include "ink/StrokeModel.h"
#include "tq/Commands.h"
#include "common/CommandLine.h"
#include "common/OutputFile.h"
#include "common/CaptureInput.h"
#include "common/HostWindow.h"
#include "common/Report.h"
#include "common/WindowReplay.h"
#include "common/MessageLoop.h"
#include "capture/Replay.h"
#include "protocol/HostMapping.h"

namespace {

const char kAbout[] =
    "Replays the raw capture through the whole pipeline, once with the\n"
    "validation, anti-streak and smoothing stages off and once with them on,\n"
    "and writes a picture (the debug style of tq export): the raw triangulated\n"
    "points in a light colour, the strokes the host received on top (one\n"
    "colour per pen code, faint where the eraser took them away), eraser\n"
    "footprints shaded, and the board's outline (its width and largest\n"
    "height). Past the first 20000 raw points, a raw point is drawn only where\n"
    "none lies near it yet. Prints a summary of the capture unless --quiet.\n"
    "OUT.svg may be '-' (standard output) and is never the capture itself.\n";

const char kFooter[] =
    "Nothing is written beside the capture. Exit status: 0, 1 when the capture\n"
    "cannot be read or is no capture a replay accepts, or the picture cannot be\n"
    "written, 2 for usage.\n";

struct RenderOptions {
  std::string input, svg;
  bool quiet = false;
};

int ParseRender(int argc, char** argv, RenderOptions& o) {
  tqtool::CommandLine line("tq render", "tq render FILE.raw --svg OUT.svg [--quiet]", kAbout, kFooter);
  line.Argument("FILE", o.input, "the raw capture to draw");
  line.Text("--svg", o.svg, "OUT.svg", "the picture to write");
  line.Flag("--quiet", o.quiet, "print no summary");
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (o.svg.empty()) return line.Fail("--svg OUT.svg is required");
  if (const std::string problem = tqtool::OutputProblem(o.svg, {o.input}); !problem.empty()) {
    return tqtool::Failed("render", problem);
  }
  return -1;
}

// Draws nothing beside the capture: the .val and .out captures stay off.
bool Replay(const std::string& path, bool stagesOn, HWND window, tqtool::ReplayOutcome& outcome) {
  tq::SReplayOptions options;
  options.validation = options.smoothing = options.antiStreak = stagesOn;
  options.writeCaptures = false;
  return tqtool::ReplayIntoWindow(path, window, options, outcome);
}

// The pens' points with the filter off, stroke by stroke: the eraser's
// outline skips the filter, so it is no raw point.
class RawPoints {
 public:
  void Add(UINT message, WPARAM wParam) {
    // Only pen messages carry a point; a board event's wParam is its code.
    const bool pen = message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP;
    if (!pen || wParam == 0) return;
    const SPenPoint& p = *reinterpret_cast<const SPenPoint*>(wParam);
    if (message == TQ_MSG_PEN_DOWN) {
      Finish();
      m_stroke.push_back({p.x, p.y});
    } else if (message == TQ_MSG_PEN_MOVE) {
      m_stroke.push_back({p.x, p.y});
    } else if (message == TQ_MSG_PEN_UP) {
      Finish();
    }
  }
  void Finish() {
    if (!tqtool::IsFootprintOutline(m_stroke)) {
      for (const tqtool::InkPoint& point : m_stroke) m_layer.Add(point);
    }
    m_stroke.clear();
  }
  std::vector<tqtool::InkPoint> Take() { return m_layer.Take(); }
  size_t Seen() const { return m_layer.Seen(); }

 private:
  std::vector<tqtool::InkPoint> m_stroke;
  tqtool::RawPointLayer m_layer;
};

struct HostView {
  tqtool::StrokeModel model{false};
  std::map<std::string, size_t> messages;  // by kind
  tq::SReplayStats stats;
};

// False, with the reason printed, when the capture cannot be replayed.
bool ReplayBoth(const std::string& path, RawPoints& raw, HostView& host) {
  tqtool::ReplayOutcome outcome;
  bool replayed;
  {
    tqtool::PrintingWindow window(stdout, [](UINT) { return false; });
    window.onMessage = [&raw](UINT message, WPARAM wParam, LPARAM) { raw.Add(message, wParam); };
    replayed = Replay(path, false, window.Handle(), outcome);
    raw.Finish();
  }
  if (replayed) {
    tqtool::PrintingWindow window(stdout, [](UINT) { return false; });
    window.onMessage = [&host](UINT message, WPARAM wParam, LPARAM lParam) {
      const std::string line = tqtool::FormatEvent(message, wParam, lParam);
      if (!line.empty()) ++host.messages[line.substr(0, line.find(' '))];
      host.model.Add(message, wParam, lParam);
    };
    replayed = Replay(path, true, window.Handle(), outcome);
    host.stats = outcome.stats;
    host.model.Finish();
  }
  if (!replayed) tqtool::Failed("render", outcome.problem);
  return replayed;
}

unsigned MaxBoardHeight(uint32_t baseline, unsigned width) {
  const unsigned height = baseline < 5000
      ? static_cast<unsigned>(std::sqrt(30250000.0 - double(baseline) * baseline)) : 0;
  return height == 0 ? width : height;
}

// On standard error when the picture goes to standard output.
void PrintSummary(const RenderOptions& o, const tqtool::DocumentPage& picture, const RawPoints& raw,
                  const HostView& host) {
  std::FILE* out = tqtool::WritesToStandardOutput(o.svg) ? stderr : stdout;
  size_t samples = 0;
  for (const tqtool::InkStroke& stroke : picture.written) samples += stroke.points.size();
  const tq::SCaptureHeader& h = host.stats.header;
  std::fprintf(out, "capture  %s: board %.1f, protocol %.1f, baseline %u, %zu bytes\n", o.input.c_str(),
               h.boardVersion, h.protocolNumber, h.receiverSpacing, static_cast<size_t>(host.stats.bytes));
  std::fprintf(out, "raw      %zu pen points triangulated (filter off)", raw.Seen());
  if (raw.Seen() != picture.rawPoints.size()) std::fprintf(out, ", %zu drawn", picture.rawPoints.size());
  std::fprintf(out, "\n");
  std::fprintf(out, "strokes  %zu strokes of %zu samples, %zu eraser footprints\n", picture.written.size(),
               samples, picture.footprints.size());
  std::fprintf(out, "messages");
  for (const auto& [kind, count] : host.messages) std::fprintf(out, " %s %zu", kind.c_str(), count);
  std::fprintf(out, "\nfilter   %u samples in, %u dropped by validation, %u cut as streaks\n",
               host.stats.pushed, host.stats.rejected, host.stats.streaksCut);
  std::fprintf(out, "picture  %s\n", o.svg.c_str());
}

}  // namespace

int RunRenderCommand(int argc, char** argv) {
  RenderOptions o;
  if (const int status = ParseRender(argc, argv, o); status >= 0) return status;
  RawPoints raw;
  HostView host;
  if (!ReplayBoth(o.input, raw, host)) return tqtool::kExitFailed;

  const uint32_t baseline = host.stats.header.receiverSpacing;
  host.model.SetBoard(baseline + tq::kBoardWidthMargin, MaxBoardHeight(baseline, baseline + tq::kBoardWidthMargin));
  const tqtool::InkDocument picture = tqtool::BoardPicture(host.model, raw.Take());
  std::string why, systemWhy;
  const bool written = tqtool::WriteOutput(o.svg, [&picture, &why](std::ostream& out) {
    if (!tqtool::WriteSvgPage(picture, 0, out, why)) out.setstate(std::ios::badbit);
  }, systemWhy);
  if (!written) {
    return tqtool::Failed("render", "cannot write " + tqtool::Quoted(o.svg), why.empty() ? systemWhy : why);
  }
  if (!o.quiet) PrintSummary(o, picture.pages.front(), raw, host);
  return 0;
}
