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
  const SPenSample* const chords[4][2] = {{&w0, &w3}, {&w0, &w4}, {&w1, &w3}, {&w1, &w4}};

  // The tolerance lies between 30 and 80 whatever the spacing: a chord that
  // passes clearly below 30 or fails clearly above 80 is decided without it.
  // Along a steady stroke every chord passes that way, so the smallest
  // spacing, ten squared distances and a square root, is rarely needed.
  double tolerance = -1.0;
  const auto closestSpacingTolerance = [&] {
    const SPenSample* const five[5] = {&w0, &w1, &w2, &w3, &w4};
    // Found on squared distances: one square root instead of ten, and the
    // same value.
    double closest2 = kSearchStart * kSearchStart;
    for (std::size_t i = 0; i < 5; ++i) {
      for (std::size_t j = i + 1; j < 5; ++j) {
        const double d2 = SquaredDistance(*five[i], *five[j]);
        if (d2 < closest2) closest2 = d2;
      }
    }
    const double spaced = std::sqrt(closest2) + kSpacingMargin;
    return spaced >= kMiddleToleranceCap ? kMiddleToleranceCap : spaced;
  };

  // Three of the four chords must pass: stop as soon as the answer is known.
  int near = 0;
  for (int k = 0; k < 4; ++k) {
    const SPenSample& from = *chords[k][0];
    const SPenSample& to = *chords[k][1];
    const SSegmentMeasure measure = MeasureSegment(from, to, w2);
    bool passes = false;
    if (CompareMeasure(measure, kSpacingMargin) < 0) {
      passes = true;
    } else if (CompareMeasure(measure, kMiddleToleranceCap) > 0) {
      passes = false;
    } else {
      if (tolerance < 0.0) tolerance = closestSpacingTolerance();
      const int order = CompareMeasure(measure, tolerance);
      passes = order != 0 ? order < 0 : SegmentDistance(from, to, w2) < tolerance;
    }
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
