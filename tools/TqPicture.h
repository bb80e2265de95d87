// Pictures of what a board drew: the strokes and eraser footprints of a
// stroke model, the raw triangulated points underneath, written as SVG.
#pragma once

#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "StrokeModel.h"

namespace tqtool {

// The raw points of a long capture would fill the picture many times over:
// past the first kKeptWhole points, a point is drawn only where no drawn
// point shares its square of the grid, so the layer stays within the
// board's area however long the capture is.
class RawPointLayer {
 public:
  static constexpr size_t kKeptWhole = 20000;
  explicit RawPointLayer(int cell = 8) : m_cell(cell < 1 ? 1 : cell) {}
  void Add(InkPoint point);
  const std::vector<InkPoint>& Points() const { return m_points; }
  size_t Seen() const { return m_seen; }  // drawn or not

 private:
  int m_cell;
  size_t m_seen = 0;
  std::vector<InkPoint> m_points;
  std::set<std::pair<int, int>> m_cells;
};

struct Picture {
  unsigned boardWidth = 0;   // host units
  unsigned boardHeight = 0;  // the largest height of the board
  std::string title;
  std::vector<InkPoint> rawPoints;     // drawn light, underneath
  std::vector<Footprint> footprints;   // shaded
  std::vector<InkStroke> strokes;      // one colour per pen code
};

// A picture of everything written on the model's pages, one over the other.
Picture PictureOf(const StrokeModel& model);

// The line width of a picture of a board `width` units wide.
int PictureLine(unsigned width);

void WriteSvg(const Picture& picture, std::ostream& out);

}  // namespace tqtool
