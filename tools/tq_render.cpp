// tq render: replay a raw capture twice, once with every filter stage off
// (the raw triangulated points) and once as a host gets it, print a short
// summary and draw both into one picture.
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "StrokeModel.h"
#include "TqCapture.h"
#include "TqCommands.h"
#include "TqOptions.h"
#include "TqOutput.h"
#include "TqPicture.h"
#include "TqWindow.h"
#include "api/BoardPort.h"

namespace {

const char kAbout[] =
    "Replays the raw capture through the whole pipeline, once with the\n"
    "validation, anti-streak and smoothing stages off and once with them on,\n"
    "and writes a picture: the raw triangulated points in a light colour, the\n"
    "strokes the host received on top (one colour per pen code), eraser\n"
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
    std::fprintf(stderr, "error tq render: %s\n", problem.c_str());
    return 1;
  }
  return -1;
}

struct FilterCounts {
  uint32_t pushed = 0, rejected = 0, streaksCut = 0;
};

// The replay of the library, on a port object of our own so that the filter
// stages can be switched and no .val/.out files appear beside the capture.
FilterCounts Replay(const tqtool::SCapture& capture, bool stagesOn, HWND window) {
  FilterCounts counts;
  tq::CBoardPort port(window);
  port.m_boardVersion = capture.header.boardVersion;
  port.m_receiverSpacing = capture.header.receiverSpacing;
  port.m_packetLength = capture.header.protocolNumber < 2.0 ? 5 : 9;
  if (!stagesOn) {
    port.m_filter.SetValidation(0);
    port.m_filter.SetAntiStreak(0);
    port.m_filter.SetFilter(0);
  }
  const std::vector<uint8_t>& body = capture.body;
  size_t pos = 0;
  for (; pos + port.m_packetLength <= body.size(); pos += port.m_packetLength) {
    port.DispatchReceived(body.data() + pos, static_cast<int>(port.m_packetLength));
  }
  if (pos < body.size()) port.DispatchReceived(body.data() + pos, static_cast<int>(body.size() - pos));
  counts.pushed = port.m_filter.PushedCount();
  counts.rejected = port.m_filter.RejectedCount();
  counts.streaksCut = port.m_filter.StreakCutCount();
  return counts;
}

// The pens' points with the filter off, stroke by stroke: the eraser's
// outline skips the filter, so it is no raw point.
class RawPoints {
 public:
  void Add(UINT message, WPARAM wParam) {
    if (wParam == 0) return;
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
  std::vector<tqtool::InkPoint> Points() const { return m_layer.Points(); }
  size_t Seen() const { return m_layer.Seen(); }

 private:
  std::vector<tqtool::InkPoint> m_stroke;
  tqtool::RawPointLayer m_layer;
};

struct HostView {
  tqtool::StrokeModel model{false};
  std::map<std::string, size_t> messages;  // by kind
  FilterCounts filter;
};

void ReplayBoth(const tqtool::SCapture& capture, RawPoints& raw, HostView& host) {
  {
    tqtool::PrintingWindow window(stdout, [](UINT) { return false; });
    window.onMessage = [&raw](UINT message, WPARAM wParam, LPARAM) { raw.Add(message, wParam); };
    Replay(capture, false, window.Handle());
    tqtool::DrainMessages();  // what boards below 2.0 post
    raw.Finish();
  }
  tqtool::PrintingWindow window(stdout, [](UINT) { return false; });
  window.onMessage = [&host](UINT message, WPARAM wParam, LPARAM lParam) {
    const std::string line = tqtool::FormatEvent(message, wParam, lParam);
    if (!line.empty()) ++host.messages[line.substr(0, line.find(' '))];
    host.model.Add(message, wParam, lParam);
  };
  host.filter = Replay(capture, true, window.Handle());
  tqtool::DrainMessages();
  host.model.Finish();
}

unsigned MaxBoardHeight(uint32_t baseline, unsigned width) {
  const unsigned height = baseline < 5000
      ? static_cast<unsigned>(std::sqrt(30250000.0 - double(baseline) * baseline)) : 0;
  return height == 0 ? width : height;
}

// On standard error when the picture goes to standard output.
void PrintSummary(const RenderOptions& o, const tqtool::SCapture& capture, const tqtool::Picture& picture,
                  const RawPoints& raw, const HostView& host) {
  std::FILE* out = o.svg == "-" ? stderr : stdout;
  size_t samples = 0;
  for (const tqtool::InkStroke& stroke : picture.strokes) samples += stroke.points.size();
  const tq::SCaptureHeader& h = capture.header;
  std::fprintf(out, "capture  %s: board %.1f, protocol %.1f, baseline %u, %zu bytes\n", o.input.c_str(),
               h.boardVersion, h.protocolNumber, h.receiverSpacing, capture.body.size());
  std::fprintf(out, "raw      %zu pen points triangulated (filter off)", raw.Seen());
  if (raw.Seen() != picture.rawPoints.size()) std::fprintf(out, ", %zu drawn", picture.rawPoints.size());
  std::fprintf(out, "\n");
  std::fprintf(out, "strokes  %zu strokes of %zu samples, %zu eraser footprints\n", picture.strokes.size(),
               samples, picture.footprints.size());
  std::fprintf(out, "messages");
  for (const auto& [kind, count] : host.messages) std::fprintf(out, " %s %zu", kind.c_str(), count);
  std::fprintf(out, "\nfilter   %u samples in, %u dropped by validation, %u cut as streaks\n",
               host.filter.pushed, host.filter.rejected, host.filter.streaksCut);
  std::fprintf(out, "picture  %s\n", o.svg.c_str());
}

}  // namespace

int RunRenderCommand(int argc, char** argv) {
  RenderOptions o;
  if (const int status = ParseRender(argc, argv, o); status >= 0) return status;
  tqtool::SCapture capture;
  if (!tqtool::ReadCapture("render", o.input, capture)) return 1;
  if (!tqtool::HeaderAccepted(capture.header)) {
    std::fprintf(stderr, "error tq render: '%s' is not a raw capture a replay accepts (bad header)\n",
                 o.input.c_str());
    return 1;
  }
  RawPoints raw;
  HostView host;
  ReplayBoth(capture, raw, host);

  const uint32_t baseline = capture.header.receiverSpacing;
  host.model.SetBoard(baseline + tq::kBoardWidthMargin, MaxBoardHeight(baseline, baseline + tq::kBoardWidthMargin));
  tqtool::Picture picture = tqtool::PictureOf(host.model);
  char title[160];
  std::snprintf(title, sizeof title, "%s: board %.1f, baseline %u",
                o.input.substr(o.input.find_last_of('/') + 1).c_str(), capture.header.boardVersion, baseline);
  picture.title = title;
  picture.rawPoints = raw.Points();
  if (!tqtool::WriteOutput(o.svg, [&picture](std::ostream& out) { tqtool::WriteSvg(picture, out); })) {
    std::fprintf(stderr, "error tq render: cannot write %s\n", o.svg.c_str());
    return 1;
  }
  if (!o.quiet) PrintSummary(o, capture, picture, raw, host);
  return 0;
}
