#include <algorithm>
#include <fstream>
#include <sstream>

#include "TqPicture.h"

namespace tqtool {

namespace {

// One colour per pen code; code 0 is black ink.
const char* const kPenColours[] = {"#1b1b1b", "#1f5fbf", "#c0392b", "#1e8449",
                                   "#8e44ad", "#d35400", "#117a65", "#7d6608"};
const char kRawColour[] = "#9fb8d0";
const char kEraserFill[] = "#f5b041";

const char* PenColour(int code) {
  return kPenColours[static_cast<unsigned>(code) % (sizeof kPenColours / sizeof kPenColours[0])];
}

bool Same(const PicturePoint& a, const PicturePoint& b) { return a.x == b.x && a.y == b.y; }

}  // namespace

void StrokeCollector::Add(UINT message, const SPenPoint& point, LPARAM lParam) {
  const PicturePoint at{point.x, point.y};
  if (message == TQ_MSG_PEN_DOWN) {
    ++m_down;
    m_strokes.push_back({static_cast<int>(lParam), {at}});
    m_points.push_back(at);
    m_open = true;
  } else if (message == TQ_MSG_PEN_MOVE) {
    ++m_move;
    if (!m_open) m_strokes.push_back({static_cast<int>(lParam), {}});
    m_strokes.back().points.push_back(at);
    m_points.push_back(at);
    m_open = true;
  } else if (message == TQ_MSG_PEN_UP) {
    ++m_up;
    m_open = false;
  }
}

size_t StrokeCollector::Count(UINT message) const {
  if (message == TQ_MSG_PEN_DOWN) return m_down;
  if (message == TQ_MSG_PEN_MOVE) return m_move;
  if (message == TQ_MSG_PEN_UP) return m_up;
  return 0;
}

bool IsEraserFootprint(const PictureStroke& stroke) {
  const std::vector<PicturePoint>& p = stroke.points;
  return p.size() == 8 && Same(p[0], p[3]) && Same(p[2], p[5]) && Same(p[4], p[6]) &&
         Same(p[1], p[7]) && !Same(p[0], p[2]);
}

bool WriteSvg(const Picture& picture, const std::string& path) {
  const int width = static_cast<int>(std::max(picture.boardWidth, 1u));
  const int height = static_cast<int>(std::max(picture.boardHeight, 1u));
  const int margin = width / 30;
  const int legend = width / 9;
  const int pixelsWide = 960;
  const int totalWidth = width + 2 * margin, totalHeight = height + 2 * margin + legend;
  const int pixelsHigh = pixelsWide * totalHeight / totalWidth;
  const int line = std::max(4, width / 300);
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << pixelsWide << "\" height=\""
      << pixelsHigh << "\" viewBox=\"" << -margin << ' ' << -margin << ' ' << totalWidth << ' '
      << totalHeight << "\">\n";
  svg << "<rect x=\"" << -margin << "\" y=\"" << -margin << "\" width=\"" << totalWidth
      << "\" height=\"" << totalHeight << "\" fill=\"white\"/>\n";
  // The board: its width and largest height; the pod sits at the top edge.
  svg << "<rect x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height
      << "\" fill=\"#fbfcfd\" stroke=\"#7f8c8d\" stroke-width=\"" << line << "\"/>\n";
  svg << "<rect x=\"" << width / 2 - width / 20 << "\" y=\"" << -line * 2 << "\" width=\""
      << width / 10 << "\" height=\"" << line * 4 << "\" fill=\"#7f8c8d\"/>\n";

  svg << "<g fill=\"" << kEraserFill << "\" fill-opacity=\"0.28\">\n";
  for (const PictureStroke& stroke : picture.strokes) {
    if (!IsEraserFootprint(stroke)) continue;
    const std::vector<PicturePoint>& p = stroke.points;
    svg << "<polygon points=\"" << p[0].x << ',' << p[0].y << ' ' << p[1].x << ',' << p[1].y << ' '
        << p[2].x << ',' << p[2].y << ' ' << p[4].x << ',' << p[4].y << "\"/>\n";
  }
  svg << "</g>\n<g fill=\"" << kRawColour << "\">\n";
  for (const PicturePoint& p : picture.rawPoints) {
    svg << "<circle cx=\"" << p.x << "\" cy=\"" << p.y << "\" r=\"" << line * 1.6 << "\"/>\n";
  }
  svg << "</g>\n<g fill=\"none\" stroke-width=\"" << line << "\" stroke-linecap=\"round\" "
      << "stroke-linejoin=\"round\">\n";
  bool codesSeen[8] = {};
  for (const PictureStroke& stroke : picture.strokes) {
    if (IsEraserFootprint(stroke) || stroke.points.empty()) continue;
    codesSeen[static_cast<unsigned>(stroke.code) % 8] = true;
    if (stroke.points.size() == 1) {
      svg << "<circle cx=\"" << stroke.points[0].x << "\" cy=\"" << stroke.points[0].y << "\" r=\""
          << line << "\" fill=\"" << PenColour(stroke.code) << "\"/>\n";
      continue;
    }
    svg << "<polyline stroke=\"" << PenColour(stroke.code) << "\" points=\"";
    for (const PicturePoint& p : stroke.points) svg << p.x << ',' << p.y << ' ';
    svg << "\"/>\n";
  }
  svg << "</g>\n";

  // Legend under the board.
  const int fontSize = std::max(20, width / 45);
  int y = height + margin + fontSize;
  int x = 0;
  svg << "<g font-family=\"sans-serif\" font-size=\"" << fontSize << "\" fill=\"#333\">\n";
  if (!picture.title.empty()) {
    svg << "<text x=\"0\" y=\"" << y << "\">" << picture.title << "</text>\n";
    y += fontSize * 2;
  }
  auto key = [&](const std::string& swatch, const std::string& text) {
    svg << swatch << "<text x=\"" << x + fontSize * 2 << "\" y=\"" << y << "\">" << text
        << "</text>\n";
    x += fontSize * (3 + static_cast<int>(text.size()) * 6 / 10);
  };
  if (!picture.rawPoints.empty()) {
    std::ostringstream dot;
    dot << "<circle cx=\"" << x + fontSize / 2 << "\" cy=\"" << y - fontSize / 3 << "\" r=\""
        << fontSize / 3 << "\" fill=\"" << kRawColour << "\"/>";
    key(dot.str(), "raw points (filter off)");
  }
  for (int code = 0; code < 8; ++code) {
    if (!codesSeen[code]) continue;
    std::ostringstream swatch;
    swatch << "<line x1=\"" << x << "\" y1=\"" << y - fontSize / 3 << "\" x2=\"" << x + fontSize
           << "\" y2=\"" << y - fontSize / 3 << "\" stroke=\"" << PenColour(code)
           << "\" stroke-width=\"" << line * 2 << "\"/>";
    key(swatch.str(), "pen " + std::to_string(code));
  }
  if (std::any_of(picture.strokes.begin(), picture.strokes.end(), IsEraserFootprint)) {
    std::ostringstream swatch;
    swatch << "<rect x=\"" << x << "\" y=\"" << y - fontSize * 3 / 4 << "\" width=\"" << fontSize
           << "\" height=\"" << fontSize * 3 / 4 << "\" fill=\"" << kEraserFill
           << "\" fill-opacity=\"0.5\"/>";
    key(swatch.str(), "eraser");
  }
  svg << "</g>\n</svg>\n";

  std::ofstream out(path, std::ios::trunc);
  out << svg.str();
  return static_cast<bool>(out);
}

}  // namespace tqtool
