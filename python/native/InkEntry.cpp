// The eraser's rules for the Python package, from the tools' own ink code:
// whether a stroke is a footprint's outline, whether a point lies inside a
// footprint, and what is left of a page's strokes. Points travel as flat
// arrays of x, y pairs; nothing here keeps memory past a call.
#include <cstdint>
#include <vector>

#include "ink/StrokeModel.h"

namespace {

std::vector<tqtool::InkPoint> PointsOf(const int* xy, int count) {
  std::vector<tqtool::InkPoint> points;
  for (int i = 0; i < count; ++i) points.push_back({xy[2 * i], xy[2 * i + 1]});
  return points;
}

tqtool::Footprint FootprintOf(const int* corners, int64_t order) {
  tqtool::Footprint footprint;
  footprint.order = static_cast<size_t>(order);
  for (size_t i = 0; i < 4; ++i) footprint.corners[i] = {corners[2 * i], corners[2 * i + 1]};
  return footprint;
}

}  // namespace

extern "C" {

// 1 when the `count` points walk a footprint's outline, and then its four
// corners, in order around it, in `corners` (8 ints); else 0.
__attribute__((visibility("default"))) int tq_footprint_outline(const int* xy, int count, int* corners) {
  const std::vector<tqtool::InkPoint> points = PointsOf(xy, count);
  if (!tqtool::IsFootprintOutline(points)) return 0;
  const auto found = tqtool::FootprintCorners(points);
  for (size_t i = 0; i < found.size(); ++i) {
    corners[2 * i] = found[i].x;
    corners[2 * i + 1] = found[i].y;
  }
  return 1;
}

// 1 when (x, y) lies inside the footprint of these corners or on its edge.
__attribute__((visibility("default"))) int tq_inside_footprint(const int* corners, int x, int y) {
  return tqtool::InsideFootprint(FootprintOf(corners, 0), {x, y}) ? 1 : 0;
}

// What is left of a page: its `strokes` strokes, of `lengths[i]` points each
// (all in `xy`) and written at `orders[i]`, cut where a later footprint (of
// `footprints`, their corners and orders) covers them. The pieces go to
// `pieceXy` (room for all the points), their lengths to `pieceLengths` and
// the stroke each came from to `pieceStrokes` (room for as many pieces as
// there are points); returns the number of pieces.
__attribute__((visibility("default"))) int tq_remaining(const int* xy, const int* lengths,
                                                        const int64_t* orders, int strokes,
                                                        const int* corners,
                                                        const int64_t* footprintOrders,
                                                        int footprints, int* pieceXy,
                                                        int* pieceLengths, int* pieceStrokes) {
  tqtool::InkPage page;
  for (int i = 0, at = 0; i < strokes; at += lengths[i++]) {
    // The stroke's index stands in for its pen: the caller knows its pen.
    page.strokes.push_back(tqtool::InkStroke{i, static_cast<size_t>(orders[i]), PointsOf(xy + 2 * at, lengths[i])});
  }
  for (int i = 0; i < footprints; ++i) {
    page.footprints.push_back(FootprintOf(corners + 8 * i, footprintOrders[i]));
  }
  int count = 0, at = 0;
  for (const tqtool::InkStroke& piece : tqtool::Remaining(page)) {
    for (const tqtool::InkPoint& point : piece.points) {
      pieceXy[at++] = point.x;
      pieceXy[at++] = point.y;
    }
    pieceLengths[count] = static_cast<int>(piece.points.size());
    pieceStrokes[count++] = piece.pen;
  }
  return count;
}

}  // extern "C"
