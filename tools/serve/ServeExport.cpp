#include "serve/ServeExport.h"

#include <algorithm>
#include <sstream>

#include "export/InkDocument.h"
#include "export/CairoWriter.h"

namespace tqtool {

namespace {

// Page `page` alone in a model of its own: its strokes and footprints
// written again in their order, a footprint as the eraser's outline walks it
// (corners 1, 2, 3, 1, 4, 3, 4, 2). The export leaves a page never written on
// out; alone, the page keeps its place as the document's only one.
StrokeModel PageAlone(const InkPage& source, unsigned width, unsigned height) {
  StrokeModel alone;
  alone.SetBoard(width, height);
  std::vector<std::vector<InkPoint>> written;
  std::vector<size_t> orders;
  for (const InkStroke& stroke : source.strokes) {
    written.push_back(stroke.points);
    orders.push_back(stroke.order);
  }
  for (const Footprint& f : source.footprints) {
    const auto& c = f.corners;
    written.push_back({c[0], c[1], c[2], c[0], c[3], c[2], c[3], c[1]});
    orders.push_back(f.order);
  }
  std::vector<size_t> sequence(written.size());
  for (size_t i = 0; i < sequence.size(); ++i) sequence[i] = i;
  std::sort(sequence.begin(), sequence.end(), [&](size_t a, size_t b) { return orders[a] < orders[b]; });
  for (const size_t i : sequence) {
    const int pen = i < source.strokes.size() ? source.strokes[i].pen : 0;
    for (size_t p = 0; p < written[i].size(); ++p) {
      alone.Pen(p == 0 ? TQ_MSG_PEN_DOWN : TQ_MSG_PEN_MOVE, written[i][p].x, written[i][p].y, pen);
    }
    alone.Pen(TQ_MSG_PEN_UP, 0, 0, 0);
  }
  return alone;
}

}  // namespace

bool ExportPage(const InkPage& page, unsigned width, unsigned height, const PenStyles& pens, PageFormat format,
                std::string& body, std::string& mediaType, std::string& error) {
  const InkDocument document = BuildDocument(PageAlone(page, width, height), PageLayout{}, pens);
  std::ostringstream out;
  const bool written = format == PageFormat::Pdf ? WritePdfDocument(document, out, error)
                                                 : WriteSvgPage(document, 0, out, error);
  if (!written) return false;
  body = out.str();
  mediaType = format == PageFormat::Pdf ? "application/pdf" : "image/svg+xml";
  return true;
}

}  // namespace tqtool
