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

bool IsStraightTriple(const SPenSample& p0, const SPenSample& p1, const SPenSample& p2) {
  return SegmentDistanceBelow(p0, p2, p1, kChordTolerance) && OnExtension(p0, p1, p2) &&
         OnExtension(p2, p1, p0);
}

bool IsConsistentMiddle(const CSampleQueue& window, std::size_t a) {
  const SPenSample& w0 = window[a];
  const SPenSample& w1 = window[a + 1];
  const SPenSample& w2 = window[a + 2];
  const SPenSample& w3 = window[a + 3];
  const SPenSample& w4 = window[a + 4];

  // The four chords do not depend on the tolerance: measure them while the
  // square root of the spacing is worked out.
  const SPenSample* const chords[4][2] = {{&w0, &w3}, {&w0, &w4}, {&w1, &w3}, {&w1, &w4}};
  SSegmentMeasure measures[4];
  for (int k = 0; k < 4; ++k) measures[k] = MeasureSegment(*chords[k][0], *chords[k][1], w2);

  // The smallest spacing of the five, found on squared distances: one
  // square root instead of ten, and the same value.
  const SPenSample* const five[5] = {&w0, &w1, &w2, &w3, &w4};
  double closest2 = kSearchStart * kSearchStart;
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t j = i + 1; j < 5; ++j) {
      const double d2 = SquaredDistance(*five[i], *five[j]);
      if (d2 < closest2) closest2 = d2;
    }
  }
  double tolerance = std::sqrt(closest2) + kSpacingMargin;
  if (tolerance >= kMiddleToleranceCap) tolerance = kMiddleToleranceCap;

  // Three of the four chords must pass: stop as soon as the answer is known.
  int near = 0;
  for (int k = 0; k < 4; ++k) {
    const int order = CompareMeasure(measures[k], tolerance);
    const bool passes =
        order != 0 ? order < 0 : SegmentDistance(*chords[k][0], *chords[k][1], w2) < tolerance;
    if (passes) {
      if (++near >= 3) return true;
    } else if (near + (3 - k) < 3) {
      return false;
    }
  }
  return false;
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
