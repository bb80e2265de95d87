#include "filter/Geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "geometry/Truncate.h"

namespace tq {

namespace {

constexpr double kSearchStart = 1000000.0;  // start of the smallest-spacing search
constexpr double kSpacingMargin = 30.0;
constexpr double kMiddleToleranceCap = 80.0;

}  // namespace

double Distance(const SPenSample& a, const SPenSample& b) {
  const double dx = b.x - a.x;
  const double dy = b.y - a.y;
  return std::sqrt(dx * dx + dy * dy);
}

double SegmentDistance(const SPenSample& a, const SPenSample& b, const SPenSample& c) {
  const double ux = b.x - a.x;
  const double uy = b.y - a.y;
  const double vx = c.x - a.x;
  const double vy = c.y - a.y;
  const double dot = ux * vx + uy * vy;
  const double length2 = ux * ux + uy * uy;
  if (dot > 0.0 && dot < length2) {
    const double cross = uy * vx - ux * vy;
    // The truncated cross product can be -2147483648 (NaN or huge positions);
    // its magnitude needs 64 bits.
    const int64_t whole = std::llabs(static_cast<int64_t>(TruncateToInt32(cross)));
    return static_cast<double>(whole) / std::sqrt(length2);
  }
  return std::min(Distance(c, a), Distance(c, b));
}

double ExtensionDistance(const SPenSample& a, const SPenSample& b, const SPenSample& c) {
  SPenSample end;
  end.x = 2.0 * b.x - a.x;
  end.y = 2.0 * b.y - a.y;
  return SegmentDistance(a, end, c);
}

bool OnExtension(const SPenSample& a, const SPenSample& b, const SPenSample& c) {
  return ExtensionDistance(a, b, c) < kExtensionTolerance;
}

bool IsStraightTriple(const SPenSample& p0, const SPenSample& p1, const SPenSample& p2) {
  return SegmentDistance(p0, p2, p1) < kChordTolerance && OnExtension(p0, p1, p2) &&
         OnExtension(p2, p1, p0);
}

bool IsConsistentMiddle(const CSampleQueue& window, std::size_t a) {
  const SPenSample& w0 = window[a];
  const SPenSample& w1 = window[a + 1];
  const SPenSample& w2 = window[a + 2];
  const SPenSample& w3 = window[a + 3];
  const SPenSample& w4 = window[a + 4];

  double closest = kSearchStart;
  for (std::size_t i = a; i < a + 5; ++i) {
    for (std::size_t j = i + 1; j < a + 5; ++j) {
      const double d = Distance(window[i], window[j]);
      if (d < closest) closest = d;
    }
  }
  double tolerance = closest + kSpacingMargin;
  if (tolerance >= kMiddleToleranceCap) tolerance = kMiddleToleranceCap;

  const int near = (SegmentDistance(w0, w3, w2) < tolerance ? 1 : 0) +
                   (SegmentDistance(w0, w4, w2) < tolerance ? 1 : 0) +
                   (SegmentDistance(w1, w3, w2) < tolerance ? 1 : 0) +
                   (SegmentDistance(w1, w4, w2) < tolerance ? 1 : 0);
  return near >= 3;
}

void PropagateValidity(const SPenSample& p, const SPenSample& q, SPenSample& r, SPenSample& s) {
  if (p.valid && q.valid) {
    r.valid = OnExtension(p, q, r) ? 1 : 0;
    s.valid = (r.valid ? OnExtension(q, r, s) : OnExtension(p, q, s)) ? 1 : 0;
  } else if (q.valid || p.valid) {
    // Only the valid one of p and q is an anchor; a mark is only ever set.
    const SPenSample& anchor = q.valid ? q : p;
    if (Distance(anchor, r) < kCloseDistance) r.valid = 1;
    if (Distance(anchor, s) < kCloseDistance) s.valid = 1;
  } else {
    const uint8_t close = Distance(r, s) < kCloseDistance ? 1 : 0;
    r.valid = close;
    s.valid = close;
  }
}

}  // namespace tq
