#include <algorithm>
#include <sstream>

#include "TqPicture.h"

namespace tqtool {

namespace {

// One colour per pen code; code 0 is black ink.
const char* const kPenColours[] = {"#1b1b1b", "#1f5fbf", "#c0392b", "#1e8449",
                                   "#8e44ad", "#d35400", "#117a65", "#7d6608"};
constexpr unsigned kColours = sizeof kPenColours / sizeof kPenColours[0];
const char kRawColour[] = "#9fb8d0";
const char kEraserFill[] = "#f5b041";

const char* PenColour(int code) { return kPenColours[static_cast<unsigned>(code) % kColours]; }

// The picture's measures, all from the board's size.
struct Frame {
  int width, height, margin, legend, line;
  explicit Frame(const Picture& picture)
      : width(static_cast<int>(std::max(picture.boardWidth, 1u))),
        height(static_cast<int>(std::max(picture.boardHeight, 1u))),
        margin(width / 30),
        legend(width / 9),
        line(PictureLine(picture.boardWidth)) {}
};

void WriteBoard(const Frame& f, std::ostream& svg) {
  const int pixelsWide = 960;
  const int totalWidth = f.width + 2 * f.margin, totalHeight = f.height + 2 * f.margin + f.legend;
  const int pixelsHigh = pixelsWide * totalHeight / totalWidth;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << pixelsWide << "\" height=\""
      << pixelsHigh << "\" viewBox=\"" << -f.margin << ' ' << -f.margin << ' ' << totalWidth << ' '
      << totalHeight << "\">\n";
  svg << "<rect x=\"" << -f.margin << "\" y=\"" << -f.margin << "\" width=\"" << totalWidth
      << "\" height=\"" << totalHeight << "\" fill=\"white\"/>\n";
  // The board: its width and largest height; the pod sits at the top edge.
  svg << "<rect x=\"0\" y=\"0\" width=\"" << f.width << "\" height=\"" << f.height
      << "\" fill=\"#fbfcfd\" stroke=\"#7f8c8d\" stroke-width=\"" << f.line << "\"/>\n";
  svg << "<rect x=\"" << f.width / 2 - f.width / 20 << "\" y=\"" << -f.line * 2 << "\" width=\""
      << f.width / 10 << "\" height=\"" << f.line * 4 << "\" fill=\"#7f8c8d\"/>\n";
}

void WriteFootprints(const Picture& picture, std::ostream& svg) {
  svg << "<g fill=\"" << kEraserFill << "\" fill-opacity=\"0.28\">\n";
  for (const Footprint& footprint : picture.footprints) {
    const auto& c = footprint.corners;
    svg << "<polygon points=\"" << c[0].x << ',' << c[0].y << ' ' << c[1].x << ',' << c[1].y << ' '
        << c[2].x << ',' << c[2].y << ' ' << c[3].x << ',' << c[3].y << "\"/>\n";
  }
  svg << "</g>\n";
}

void WriteRawPoints(const Picture& picture, const Frame& f, std::ostream& svg) {
  svg << "<g fill=\"" << kRawColour << "\">\n";
  for (const InkPoint& p : picture.rawPoints) {
    svg << "<circle cx=\"" << p.x << "\" cy=\"" << p.y << "\" r=\"" << f.line * 1.6 << "\"/>\n";
  }
  svg << "</g>\n";
}

void WriteStrokes(const Picture& picture, const Frame& f, std::ostream& svg) {
  svg << "<g fill=\"none\" stroke-width=\"" << f.line << "\" stroke-linecap=\"round\" "
      << "stroke-linejoin=\"round\">\n";
  for (const InkStroke& stroke : picture.strokes) {
    if (stroke.points.empty()) continue;
    if (stroke.points.size() == 1) {
      svg << "<circle cx=\"" << stroke.points[0].x << "\" cy=\"" << stroke.points[0].y << "\" r=\""
          << f.line << "\" fill=\"" << PenColour(stroke.pen) << "\"/>\n";
      continue;
    }
    svg << "<polyline stroke=\"" << PenColour(stroke.pen) << "\" points=\"";
    for (const InkPoint& p : stroke.points) svg << p.x << ',' << p.y << ' ';
    svg << "\"/>\n";
  }
  svg << "</g>\n";
}

// The keys of the legend: a swatch, then its text, left to right.
class Legend {
 public:
  Legend(const Frame& f, std::ostream& svg) : m_f(f), m_svg(svg), m_font(std::max(20, f.width / 45)) {
    m_y = f.height + f.margin + m_font;
  }
  void Title(const std::string& title) {
    if (title.empty()) return;
    m_svg << "<text x=\"0\" y=\"" << m_y << "\">" << title << "</text>\n";
    m_y += m_font * 2;
  }
  void RawKey() {
    std::ostringstream dot;
    dot << "<circle cx=\"" << m_x + m_font / 2 << "\" cy=\"" << m_y - m_font / 3 << "\" r=\""
        << m_font / 3 << "\" fill=\"" << kRawColour << "\"/>";
    Key(dot.str(), "raw points (filter off)");
  }
  void PenKey(int code) {
    std::ostringstream swatch;
    swatch << "<line x1=\"" << m_x << "\" y1=\"" << m_y - m_font / 3 << "\" x2=\"" << m_x + m_font
           << "\" y2=\"" << m_y - m_font / 3 << "\" stroke=\"" << PenColour(code)
           << "\" stroke-width=\"" << m_f.line * 2 << "\"/>";
    Key(swatch.str(), "pen " + std::to_string(code));
  }
  void EraserKey() {
    std::ostringstream swatch;
    swatch << "<rect x=\"" << m_x << "\" y=\"" << m_y - m_font * 3 / 4 << "\" width=\"" << m_font
           << "\" height=\"" << m_font * 3 / 4 << "\" fill=\"" << kEraserFill << "\" fill-opacity=\"0.5\"/>";
    Key(swatch.str(), "eraser");
  }
  int Font() const { return m_font; }

 private:
  void Key(const std::string& swatch, const std::string& text) {
    m_svg << swatch << "<text x=\"" << m_x + m_font * 2 << "\" y=\"" << m_y << "\">" << text << "</text>\n";
    m_x += m_font * (3 + static_cast<int>(text.size()) * 6 / 10);
  }
  const Frame& m_f;
  std::ostream& m_svg;
  int m_font;
  int m_x = 0;
  int m_y = 0;
};

void WriteLegend(const Picture& picture, const Frame& f, std::ostream& svg) {
  Legend legend(f, svg);
  svg << "<g font-family=\"sans-serif\" font-size=\"" << legend.Font() << "\" fill=\"#333\">\n";
  legend.Title(picture.title);
  if (!picture.rawPoints.empty()) legend.RawKey();
  bool codesSeen[kColours] = {};
  for (const InkStroke& stroke : picture.strokes) {
    if (!stroke.points.empty()) codesSeen[static_cast<unsigned>(stroke.pen) % kColours] = true;
  }
  for (unsigned code = 0; code < kColours; ++code) {
    if (codesSeen[code]) legend.PenKey(static_cast<int>(code));
  }
  if (!picture.footprints.empty()) legend.EraserKey();
  svg << "</g>\n";
}

}  // namespace

void RawPointLayer::Add(InkPoint point) {
  ++m_seen;
  const std::pair<int, int> cell{point.x / m_cell, point.y / m_cell};
  const bool fresh = m_cells.insert(cell).second;
  if (fresh || m_points.size() < kKeptWhole) m_points.push_back(point);
}

Picture PictureOf(const StrokeModel& model) {
  Picture picture;
  picture.boardWidth = model.Width();
  picture.boardHeight = model.Height();
  for (const InkPage& page : model.Pages()) {
    picture.footprints.insert(picture.footprints.end(), page.footprints.begin(), page.footprints.end());
    picture.strokes.insert(picture.strokes.end(), page.strokes.begin(), page.strokes.end());
  }
  return picture;
}

int PictureLine(unsigned width) { return std::max(4, static_cast<int>(std::max(width, 1u)) / 300); }

void WriteSvg(const Picture& picture, std::ostream& out) {
  const Frame frame(picture);
  WriteBoard(frame, out);
  WriteFootprints(picture, out);
  WriteRawPoints(picture, frame, out);
  WriteStrokes(picture, frame, out);
  WriteLegend(picture, frame, out);
  out << "</svg>\n";
}

}  // namespace tqtool
