// What a board wrote, as strokes: the host's pen messages gathered per pen
// code, the eraser's footprints beside them, and pages.
//
// A pen stroke arrives as pen-down, moves, pen-up. The eraser's footprint
// arrives the same way, as one stroke of eight points that walks the
// rectangle's sides and both diagonals (corners 1, 2, 3, 1, 4, 3, 4, 2); it is
// told from ink by that shape, since pen code 0 is also a real pen.
//
// The whiteboard keeps what the eraser did not touch: a stroke point that lies
// inside a footprint made after it is gone. `Remaining` gives what is left on
// a page, stroke pieces cut where the eraser passed; `InkPage::strokes` keeps
// what was written.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "TQApi.h"
#include "ink/BoardArea.h"

namespace tqtool {

struct InkPoint {
  int x = 0;
  int y = 0;
  bool operator==(const InkPoint&) const = default;
};

struct InkStroke {
  int pen = 0;
  size_t order = 0;  // place among the page's strokes and footprints
  std::vector<InkPoint> points;
};

struct Footprint {
  size_t order = 0;
  std::array<InkPoint, 4> corners{};  // in order around the rectangle
};

struct InkPage {
  std::vector<InkStroke> strokes;
  std::vector<Footprint> footprints;
  bool Empty() const { return strokes.empty() && footprints.empty(); }
};

class StrokeModel {
 public:
  // `pageAtFlush`: the board's flush (board event 0) starts a new page.
  explicit StrokeModel(bool pageAtFlush = true);

  // The board's width and largest height, in host units, as the port
  // reports them (a height of 0: the board gave none).
  void SetBoard(unsigned width, unsigned height);
  unsigned Width() const { return m_width; }
  unsigned Height() const { return m_height; }
  // The area the drawing covers: square when the board gave no height.
  BoardArea Area() const { return DrawnArea(m_width, m_height); }

  // One host message; pen messages carry an SPenPoint* in wParam and the pen
  // code in lParam, board events their code in wParam. Others are ignored.
  void Add(UINT message, WPARAM wParam, LPARAM lParam);
  // The same from decoded values (a `tq filter` line, a replayed event).
  void Pen(UINT message, int x, int y, int code);
  void BoardEvent(unsigned code);
  // Ends a stroke still open: the session ended with the pen down.
  void Finish() { CloseStroke(); }

  // Never empty: the last page is the one being written.
  const std::vector<InkPage>& Pages() const { return m_pages; }
  size_t Count(UINT message) const;

 private:
  void CloseStroke();

  bool m_pageAtFlush;
  unsigned m_width = 0;
  unsigned m_height = 0;
  std::vector<InkPage> m_pages;
  InkStroke m_open;
  bool m_isOpen = false;
  size_t m_order = 0;
  size_t m_down = 0, m_move = 0, m_up = 0;
};

// True when the eight points walk a footprint's outline.
bool IsFootprintOutline(const std::vector<InkPoint>& points);
// The rectangle's corners in order around it, from points that walk its
// outline (IsFootprintOutline).
std::array<InkPoint, 4> FootprintCorners(const std::vector<InkPoint>& outline);
// True when `point` lies inside the footprint or on its edge.
bool InsideFootprint(const Footprint& footprint, InkPoint point);
// The footprint's bounding box: most points are far from most footprints,
// which the box tells before the exact test.
struct FootprintBox {
  int left, top, right, bottom;
  bool Holds(InkPoint p) const { return p.x >= left && p.x <= right && p.y >= top && p.y <= bottom; }
};
FootprintBox BoxOf(const Footprint& footprint);
// What is left on the page: every stroke cut where a later footprint covers
// it, pieces of one point included; footprints themselves are not ink.
std::vector<InkStroke> Remaining(const InkPage& page);
// The places of ink the footprint takes off the page: every point of a
// stroke written before it that it covers, each place once, in the order
// written. Applied to what was left before the footprint, it gives what is
// left after it.
std::vector<InkPoint> ErasedBy(const InkPage& page, const Footprint& footprint);

}  // namespace tqtool
