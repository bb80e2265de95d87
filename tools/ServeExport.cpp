#include "ServeExport.h"

#include <sstream>

namespace tqtool {

namespace {

// The pens' colours and line width on the board, as the live page draws them.
const char* const kPenColours[] = {"#1b1b1b", "#1f5fbf", "#c0392b", "#1e8449",
                                   "#8e44ad", "#d35400", "#117a65", "#7d6608"};
constexpr int kLineWidth = 8;  // board units

std::string PageSvg(const StrokeModel& model, const InkPage& page) {
  const unsigned width = model.Width() > 0 ? model.Width() : 1;
  const unsigned height = model.Height() > 0 ? model.Height() : width;
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << width << ' ' << height
      << "\" width=\"" << width / 4 << "\" height=\"" << height / 4 << "\">\n"
      << "<rect width=\"" << width << "\" height=\"" << height << "\" fill=\"white\"/>\n"
      << "<g fill=\"none\" stroke-width=\"" << kLineWidth
      << "\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n";
  for (const InkStroke& stroke : Remaining(page)) {
    const char* colour = kPenColours[static_cast<unsigned>(stroke.pen) % 8];
    // One point is a dot: a line of no length with round ends.
    svg << "<path stroke=\"" << colour << "\" d=\"M" << stroke.points[0].x << ' ' << stroke.points[0].y;
    for (const InkPoint& point : stroke.points) svg << " L" << point.x << ' ' << point.y;
    svg << "\"/>\n";
  }
  svg << "</g>\n</svg>\n";
  return svg.str();
}

}  // namespace

bool ExportPage(const StrokeModel& model, size_t page, PageFormat format, std::string& body,
                std::string& mediaType, std::string& error) {
  if (format == PageFormat::Pdf) {
    error = "this build makes no PDF";
    return false;
  }
  body = PageSvg(model, model.Pages().at(page));
  mediaType = "image/svg+xml";
  return true;
}

}  // namespace tqtool
