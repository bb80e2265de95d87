#include "export/InkDocument.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace tqtool {

namespace {

constexpr double kWidestPenMm = 100.0;

bool ParseColour(const std::string& text, uint32_t& rgb) {
  if (text.size() != 7 || text[0] != '#') return false;
  for (size_t i = 1; i < text.size(); ++i) {
    if (std::isxdigit(static_cast<unsigned char>(text[i])) == 0) return false;
  }
  rgb = static_cast<uint32_t>(std::strtoul(text.c_str() + 1, nullptr, 16));
  return true;
}

bool ParseWidth(const std::string& text, double& width) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  width = std::strtod(text.c_str(), &end);
  return errno == 0 && *end == '\0' && width > 0.0 && width <= kWidestPenMm;
}

// One "CODE=#RRGGBB[:WIDTH]" item.
bool ParseItem(const std::string& item, int& code, PenStyle& style, std::string& error) {
  const size_t equals = item.find('=');
  char* end = nullptr;
  const long number = equals == std::string::npos ? -1 : std::strtol(item.c_str(), &end, 10);
  if (equals == 0 || number < 0 || number >= PenStyles::kCodes || end != item.c_str() + equals) {
    error = "'" + item + "': expected CODE=#RRGGBB[:WIDTH_MM] with a pen code 0 to 7";
    return false;
  }
  code = static_cast<int>(number);
  const std::string value = item.substr(equals + 1);
  const size_t colon = value.find(':');
  if (!ParseColour(value.substr(0, colon), style.rgb)) {
    error = "'" + item + "': the colour is not #RRGGBB";
    return false;
  }
  if (colon != std::string::npos && !ParseWidth(value.substr(colon + 1), style.widthMm)) {
    error = "'" + item + "': the width is not a number of millimetres above 0 and up to 100";
    return false;
  }
  return true;
}

struct Box {
  double left = std::numeric_limits<double>::max(), top = std::numeric_limits<double>::max();
  double right = std::numeric_limits<double>::lowest(),
         bottom = std::numeric_limits<double>::lowest();
  bool Empty() const { return right < left; }
};

Box InkBox(const std::vector<InkStroke>& strokes) {
  Box box;
  for (const InkStroke& stroke : strokes) {
    for (const InkPoint& point : stroke.points) {
      box.left = std::min(box.left, double(point.x));
      box.right = std::max(box.right, double(point.x));
      box.top = std::min(box.top, double(point.y));
      box.bottom = std::max(box.bottom, double(point.y));
    }
  }
  return box;
}

// The debug layers of the page at `index` of the session.
void AddDebugLayers(DocumentPage& page, size_t index, const StrokeModel& model,
                    const StrokeModel* unfiltered) {
  const InkPage& written = model.Pages()[index];
  page.written = written.strokes;
  page.footprints = written.footprints;
  if (unfiltered == nullptr || index >= unfiltered->Pages().size()) return;
  RawPointLayer layer;
  for (const InkStroke& stroke : unfiltered->Pages()[index].strokes) {
    for (const InkPoint& point : stroke.points) layer.Add(point);
  }
  page.rawPoints = layer.Take();
}

DocumentPage LayOut(DocumentPage page, const InkDocument& document, const PageLayout& layout) {
  page.width = std::max(document.boardWidth, 1u);
  page.height = std::max(document.boardHeight, 1u);
  const Box box = InkBox(layout.debug ? page.written : page.strokes);
  if (layout.crop && !box.Empty()) {
    const double margin = layout.marginMm * layout.unitsPerMm;
    page.left = box.left - margin;
    page.top = box.top - margin;
    // A lone dot without a margin still makes a page.
    page.width = std::max(box.right - box.left + 2.0 * margin, 1.0);
    page.height = std::max(box.bottom - box.top + 2.0 * margin, 1.0);
  }
  return page;
}

}  // namespace

PenStyles::PenStyles() {
  for (int code = 0; code < kCodes; ++code) m_styles[code].rgb = kPenColours[code];
}

bool PenStyles::Parse(const std::string& text, std::string& error) {
  std::array<PenStyle, kCodes> styles = m_styles;
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    int code = 0;
    PenStyle style = styles[0];
    if (!ParseItem(item, code, style, error)) return false;
    if (item.find(':') == std::string::npos) style.widthMm = styles[code].widthMm;
    styles[code] = style;
  }
  m_styles = styles;
  return true;
}

void PenStyles::SetWidths(double widthMm) {
  for (PenStyle& style : m_styles) style.widthMm = widthMm;
}

const PenStyle& PenStyles::For(int code) const {
  return m_styles[PenColourIndex(code)];
}

size_t InkDocument::StrokeCount() const {
  size_t count = 0;
  for (const DocumentPage& page : pages) count += page.strokes.size();
  return count;
}

size_t InkDocument::PointCount() const {
  size_t count = 0;
  for (const DocumentPage& page : pages) {
    for (const InkStroke& stroke : page.strokes) count += stroke.points.size();
  }
  return count;
}

InkDocument BuildDocument(const StrokeModel& model, const PageLayout& layout, const PenStyles& pens,
                          const StrokeModel* unfiltered) {
  InkDocument document;
  document.unitsPerMm = layout.unitsPerMm;
  document.boardWidth = model.Area().width;
  document.boardHeight = model.Area().height;
  document.pens = pens;
  document.debug = layout.debug;
  for (size_t index = 0; index < model.Pages().size(); ++index) {
    if (model.Pages()[index].Empty()) continue;
    DocumentPage page;
    page.strokes = Remaining(model.Pages()[index]);
    if (layout.debug) AddDebugLayers(page, index, model, unfiltered);
    document.pages.push_back(LayOut(std::move(page), document, layout));
  }
  if (document.pages.empty()) document.pages.push_back(LayOut({}, document, layout));
  return document;
}

void RawPointLayer::Add(InkPoint point) {
  ++m_seen;
  const std::pair<int, int> cell{point.x / m_cell, point.y / m_cell};
  const bool fresh = m_cells.insert(cell).second;
  if (fresh || m_points.size() < kKeptWhole) m_points.push_back(point);
}

unsigned BoardLine(unsigned width) { return std::max(4u, width / 300); }

InkDocument BoardPicture(const StrokeModel& model, std::vector<InkPoint> rawPoints) {
  PageLayout layout;
  layout.debug = true;
  const double lineMm = BoardLine(model.Width()) / layout.unitsPerMm;
  PenStyles pens;
  pens.SetWidths(lineMm);
  InkDocument picture = BuildDocument(model, layout, pens);
  // Wider than the line: the raw points show round the ink drawn on them.
  picture.rawPointMm = 1.6 * lineMm;
  picture.pages.front().rawPoints = std::move(rawPoints);
  return picture;
}

std::string ColourText(uint32_t rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", rgb & 0xffffffu);
  return text;
}

}  // namespace tqtool
