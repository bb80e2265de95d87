// tq render: replay a raw capture twice, once with every filter stage off
// (the raw triangulated points) and once as a host gets it, print a short
// summary and draw both into one picture.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "TqCommands.h"
#include "TqPicture.h"
#include "TqWindow.h"
#include "api/BoardPort.h"

namespace {

const char kUsage[] =
    "usage: tq render FILE.raw --svg OUT.svg [--quiet]\n"
    "Replays the raw capture through the whole pipeline, once with the\n"
    "validation, anti-streak and smoothing stages off and once with them on,\n"
    "and writes a picture: the raw triangulated points in a light colour, the\n"
    "strokes the host received on top (one colour per pen code), eraser\n"
    "footprints shaded, and the board's outline (its width and largest\n"
    "height). Prints a summary of the capture unless --quiet.\n"
    "Nothing is written beside the capture. Exit status: 0, 1 when the\n"
    "capture or the picture cannot be read or written, 2 for usage.\n";

struct ReplayResult {
  tqtool::StrokeCollector collector;
  std::map<std::string, size_t> messages;  // by kind
  uint32_t pushed = 0, rejected = 0, streaksCut = 0;
};

LRESULT Collect(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* result = static_cast<ReplayResult*>(TQGetWindowUser(window));
  if (result == nullptr) return 0;
  const std::string line = tqtool::FormatEvent(message, wParam, lParam);
  if (line.empty()) return 0;
  ++result->messages[line.substr(0, line.find(' '))];
  if ((message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP) &&
      wParam != 0) {
    result->collector.Add(message, *reinterpret_cast<const SPenPoint*>(wParam), lParam);
  }
  return 0;
}

struct CaptureInfo {
  double protocol = 0.0, version = 0.0;
  uint32_t baseline = 0;
  size_t bodyBytes = 0;
};

// The replay of the library, on a port object of our own so that the filter
// stages can be switched and no .val/.out files appear beside the capture.
bool Replay(const std::vector<uint8_t>& file, bool stagesOn, ReplayResult& result, CaptureInfo& info) {
  if (file.size() < tq::kCaptureHeaderSize) return false;
  std::memcpy(&info.protocol, file.data(), 8);
  std::memcpy(&info.version, file.data() + 8, 8);
  std::memcpy(&info.baseline, file.data() + 16, 4);
  info.bodyBytes = file.size() - tq::kCaptureHeaderSize;
  if (!(info.protocol > 0.0 && info.protocol < 100.0 && info.version > 0.0 && info.version < 100.0)) {
    return false;
  }
  HWND window = TQCreateWindow(&Collect, &result);
  {
    tq::CBoardPort port(window);
    port.m_boardVersion = info.version;
    port.m_receiverSpacing = info.baseline;
    port.m_packetLength = info.protocol < 2.0 ? 5 : 9;
    if (!stagesOn) {
      port.m_filter.SetValidation(0);
      port.m_filter.SetAntiStreak(0);
      port.m_filter.SetFilter(0);
    }
    for (size_t pos = tq::kCaptureHeaderSize; pos + port.m_packetLength <= file.size();
         pos += port.m_packetLength) {
      port.DispatchReceived(file.data() + pos, static_cast<int>(port.m_packetLength));
    }
    result.pushed = port.m_filter.PushedCount();
    result.rejected = port.m_filter.RejectedCount();
    result.streaksCut = port.m_filter.StreakCutCount();
  }
  tqtool::DrainMessages();  // what boards below 2.0 post
  TQDestroyWindow(window);
  return true;
}

}  // namespace

int RunRenderCommand(int argc, char** argv) {
  std::string input, svg;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(argv[i], "--svg") == 0 && i + 1 < argc) {
      svg = argv[++i];
    } else if (std::strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else if (argv[i][0] != '-' && input.empty()) {
      input = argv[i];
    } else {
      std::fprintf(stderr, "tq render: unexpected argument '%s'\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (input.empty() || svg.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::vector<uint8_t> file;
  if (std::FILE* in = std::fopen(input.c_str(), "rb")) {
    uint8_t block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0) file.insert(file.end(), block, block + n);
    std::fclose(in);
  } else {
    std::fprintf(stderr, "tq render: cannot read %s\n", input.c_str());
    return 1;
  }
  ReplayResult raw, host;
  CaptureInfo info;
  if (!Replay(file, false, raw, info) || !Replay(file, true, host, info)) {
    std::fprintf(stderr, "tq render: %s is not a raw capture (bad header)\n", input.c_str());
    return 1;
  }

  tqtool::Picture picture;
  picture.boardWidth = info.baseline + 340;
  picture.boardHeight = info.baseline < 5000
      ? static_cast<unsigned>(std::sqrt(30250000.0 - double(info.baseline) * info.baseline)) : 0;
  if (picture.boardHeight == 0) picture.boardHeight = picture.boardWidth;
  char title[160];
  std::snprintf(title, sizeof title, "%s: board %.1f, baseline %u",
                input.substr(input.find_last_of('/') + 1).c_str(), info.version, info.baseline);
  picture.title = title;
  // The eraser's outline skips the filter; only the pens' points are raw.
  for (const tqtool::PictureStroke& stroke : raw.collector.Strokes()) {
    if (tqtool::IsEraserFootprint(stroke)) continue;
    picture.rawPoints.insert(picture.rawPoints.end(), stroke.points.begin(), stroke.points.end());
  }
  picture.strokes = host.collector.Strokes();
  if (!tqtool::WriteSvg(picture, svg)) {
    std::fprintf(stderr, "tq render: cannot write %s\n", svg.c_str());
    return 1;
  }
  if (quiet) return 0;

  size_t strokes = 0, footprints = 0, samples = 0;
  for (const tqtool::PictureStroke& stroke : host.collector.Strokes()) {
    if (tqtool::IsEraserFootprint(stroke)) {
      ++footprints;
    } else {
      ++strokes;
      samples += stroke.points.size();
    }
  }
  std::printf("capture  %s: board %.1f, protocol %.1f, baseline %u, %zu bytes\n", input.c_str(),
              info.version, info.protocol, info.baseline, info.bodyBytes);
  std::printf("raw      %zu pen points triangulated (filter off)\n", picture.rawPoints.size());
  std::printf("strokes  %zu strokes of %zu samples, %zu eraser footprints\n", strokes, samples,
              footprints);
  std::printf("messages");
  for (const auto& [kind, count] : host.messages) std::printf(" %s %zu", kind.c_str(), count);
  std::printf("\nfilter   %u samples in, %u dropped by validation, %u cut as streaks\n", host.pushed,
              host.rejected, host.streaksCut);
  std::printf("picture  %s\n", svg.c_str());
  return 0;
}
