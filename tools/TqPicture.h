// Pictures of what a board drew: the host's pen messages gathered into
// strokes and eraser footprints, written as SVG.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "TQApi.h"

namespace tqtool {

struct PicturePoint {
  int x = 0;
  int y = 0;
};

struct PictureStroke {
  int code = 0;
  std::vector<PicturePoint> points;
};

// Gathers pen messages, in order, into strokes: a pen-down starts one, moves
// extend it, a pen-up ends it.
class StrokeCollector {
 public:
  void Add(UINT message, const SPenPoint& point, LPARAM lParam);
  const std::vector<PictureStroke>& Strokes() const { return m_strokes; }
  // Every pen-down and pen-move point, in order.
  const std::vector<PicturePoint>& Points() const { return m_points; }
  size_t Count(UINT message) const;

 private:
  std::vector<PictureStroke> m_strokes;
  std::vector<PicturePoint> m_points;
  bool m_open = false;
  size_t m_down = 0, m_move = 0, m_up = 0;
};

// The eraser's footprint reaches the host as one stroke of eight points:
// corners 1, 2, 3, 1, 4, 3, 4, 2 (the sides and both diagonals).
bool IsEraserFootprint(const PictureStroke& stroke);

struct Picture {
  unsigned boardWidth = 0;   // host units
  unsigned boardHeight = 0;  // the largest height of the board
  std::string title;
  std::vector<PicturePoint> rawPoints;  // drawn light, underneath
  std::vector<PictureStroke> strokes;   // pen strokes and eraser footprints
};

// Writes the picture as SVG; false when the file cannot be written.
bool WriteSvg(const Picture& picture, const std::string& path);

}  // namespace tqtool
