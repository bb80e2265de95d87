#include "ink/StrokeModel.h"

#include <algorithm>
#include <cstdint>

namespace tqtool {

StrokeModel::StrokeModel(bool pageAtFlush) : m_pageAtFlush(pageAtFlush), m_pages(1) {}

void StrokeModel::SetBoard(unsigned width, unsigned height) {
  m_width = width;
  m_height = height;
}

void StrokeModel::Add(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == TQ_MSG_PEN_DOWN || message == TQ_MSG_PEN_MOVE || message == TQ_MSG_PEN_UP) {
    const SPenPoint* point = reinterpret_cast<const SPenPoint*>(wParam);
    if (point != nullptr) Pen(message, point->x, point->y, static_cast<int>(lParam));
  } else if (message == TQ_MSG_BOARD_EVENT) {
    BoardEvent(static_cast<unsigned>(wParam));
  }
}

void StrokeModel::Pen(UINT message, int x, int y, int code) {
  const InkPoint at{x, y};
  if (message == TQ_MSG_PEN_DOWN) {
    ++m_down;
    CloseStroke();  // a pen-down without the up before it still starts anew
    m_open = InkStroke{code, 0, {at}};
    m_isOpen = true;
  } else if (message == TQ_MSG_PEN_MOVE) {
    ++m_move;
    if (!m_isOpen) {
      m_open = InkStroke{code, 0, {}};
      m_isOpen = true;
    }
    m_open.points.push_back(at);
  } else if (message == TQ_MSG_PEN_UP) {
    ++m_up;
    CloseStroke();
  }
}

void StrokeModel::BoardEvent(unsigned code) {
  if (code != 0 || !m_pageAtFlush) return;
  CloseStroke();
  // A flush of an empty page starts nothing: the board flushes at rest too.
  if (!m_pages.back().Empty()) m_pages.emplace_back();
}

void StrokeModel::CloseStroke() {
  if (!m_isOpen) return;
  m_isOpen = false;
  InkPage& page = m_pages.back();
  if (IsFootprintOutline(m_open.points)) {
    page.footprints.push_back(Footprint{m_order++, FootprintCorners(m_open.points)});
  } else if (!m_open.points.empty()) {
    m_open.order = m_order++;
    page.strokes.push_back(std::move(m_open));
  }
  m_open = InkStroke{};
}

size_t StrokeModel::Count(UINT message) const {
  if (message == TQ_MSG_PEN_DOWN) return m_down;
  if (message == TQ_MSG_PEN_MOVE) return m_move;
  if (message == TQ_MSG_PEN_UP) return m_up;
  return 0;
}

bool IsFootprintOutline(const std::vector<InkPoint>& p) {
  return p.size() == 8 && p[0] == p[3] && p[2] == p[5] && p[4] == p[6] && p[1] == p[7] &&
         !(p[0] == p[2]);
}

std::array<InkPoint, 4> FootprintCorners(const std::vector<InkPoint>& p) {
  // The outline walks corners 1, 2, 3, 1, 4, 3, 4, 2, which lie in that
  // order around the rectangle.
  return {p[0], p[1], p[2], p[4]};
}

bool InsideFootprint(const Footprint& footprint, InkPoint point) {
  // Inside a convex quadrilateral: on the same side of all four edges. Board
  // units are 16-bit, so the cross products fit in 64 bits exactly.
  bool anyPositive = false, anyNegative = false;
  for (size_t i = 0; i < 4; ++i) {
    const InkPoint& a = footprint.corners[i];
    const InkPoint& b = footprint.corners[(i + 1) % 4];
    const int64_t cross = (int64_t{b.x} - a.x) * (int64_t{point.y} - a.y) -
                          (int64_t{b.y} - a.y) * (int64_t{point.x} - a.x);
    anyPositive = anyPositive || cross > 0;
    anyNegative = anyNegative || cross < 0;
  }
  return !(anyPositive && anyNegative);
}

FootprintBox BoxOf(const Footprint& footprint) {
  FootprintBox box{footprint.corners[0].x, footprint.corners[0].y, footprint.corners[0].x, footprint.corners[0].y};
  for (const InkPoint& c : footprint.corners) {
    box.left = std::min(box.left, c.x);
    box.right = std::max(box.right, c.x);
    box.top = std::min(box.top, c.y);
    box.bottom = std::max(box.bottom, c.y);
  }
  return box;
}

namespace {

// A footprint with its box: most points are far from most footprints,
// which the box tells at once.
struct Eraser {
  const Footprint* footprint;
  FootprintBox box;
  bool Takes(const InkStroke& stroke, InkPoint point) const {
    return footprint->order > stroke.order && box.Holds(point) && InsideFootprint(*footprint, point);
  }
};

Eraser EraserOf(const Footprint& footprint) { return Eraser{&footprint, BoxOf(footprint)}; }

}  // namespace

std::vector<InkStroke> Remaining(const InkPage& page) {
  // A long session has many footprints.
  std::vector<Eraser> erasers;
  erasers.reserve(page.footprints.size());
  for (const Footprint& footprint : page.footprints) erasers.push_back(EraserOf(footprint));
  std::vector<InkStroke> left;
  for (const InkStroke& stroke : page.strokes) {
    InkStroke piece{stroke.pen, stroke.order, {}};
    for (const InkPoint& point : stroke.points) {
      const bool erased = std::any_of(erasers.begin(), erasers.end(),
                                      [&](const Eraser& e) { return e.Takes(stroke, point); });
      if (!erased) {
        piece.points.push_back(point);
      } else if (!piece.points.empty()) {
        left.push_back(std::move(piece));
        piece = InkStroke{stroke.pen, stroke.order, {}};
      }
    }
    if (!piece.points.empty()) left.push_back(std::move(piece));
  }
  return left;
}

std::vector<InkPoint> ErasedBy(const InkPage& page, const Footprint& footprint) {
  const Eraser eraser = EraserOf(footprint);
  std::vector<InkPoint> erased;
  for (const InkStroke& stroke : page.strokes) {
    for (const InkPoint& point : stroke.points) {
      if (eraser.Takes(stroke, point) && std::find(erased.begin(), erased.end(), point) == erased.end()) {
        erased.push_back(point);
      }
    }
  }
  return erased;
}

}  // namespace tqtool
