// Geometric tests on pen samples used by the validation and anti-streak
// stages. They read only x and y; PropagateValidity writes only the valid
// marks of its last two arguments.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "filter/PenSample.h"
#include "filter/SampleQueue.h"
#include "geometry/Truncate.h"

namespace tq {

// Two samples closer than this (strictly) count as close to each other.
constexpr double kCloseDistance = 45.0;
// Largest distance (exclusive) of a middle sample from its neighbours' chord.
constexpr double kChordTolerance = 50.0;
// Largest distance (exclusive) from the straight continuation of a step.
constexpr double kExtensionTolerance = 60.0;

// The square of the distance of the positions of a and b. The square root
// is monotonic and correctly rounded, so comparing squares picks the same
// nearest pair as comparing distances.
inline double SquaredDistance(const SPenSample& a, const SPenSample& b) {
  const double dx = b.x - a.x;
  const double dy = b.y - a.y;
  return dx * dx + dy * dy;
}

// Euclidean distance of the positions of a and b.
inline double Distance(const SPenSample& a, const SPenSample& b) {
  return std::sqrt(SquaredDistance(a, b));
}

// Where c lies against the segment a-b: the dot product of b - a and c - a,
// the squared length of the segment, and the truncated cross product.
struct SSegmentFrame {
  double ux, uy;  // b - a
  double vx, vy;  // c - a
  double dot;
  double length2;

  SSegmentFrame(const SPenSample& a, const SPenSample& b, const SPenSample& c)
      : ux(b.x - a.x),
        uy(b.y - a.y),
        vx(c.x - a.x),
        vy(c.y - a.y),
        dot(ux * vx + uy * vy),
        length2(ux * ux + uy * uy) {}
  // The foot of the perpendicular falls strictly inside the segment.
  bool FootInside() const { return dot > 0.0 && dot < length2; }
  // |cross product|, truncated to a whole number first. The truncation can
  // give -2147483648 (NaN or huge positions), whose magnitude needs 64 bits.
  double WholeCross() const {
    const double cross = uy * vx - ux * vy;
    return static_cast<double>(std::llabs(static_cast<int64_t>(TruncateToInt32(cross))));
  }
};

// Distance of c from the segment a-b. When the foot of the perpendicular
// falls strictly inside the segment, the cross product is truncated to a
// whole number first, so the result is a whole number divided by |b - a|.
// Inline: the filter calls this several times for every sample.
inline double SegmentDistance(const SPenSample& a, const SPenSample& b, const SPenSample& c) {
  const SSegmentFrame frame(a, b, c);
  if (frame.FootInside()) return frame.WholeCross() / std::sqrt(frame.length2);
  return std::min(Distance(c, a), Distance(c, b));
}

// The square of SegmentDistance(a, b, c), up to a few roundings, as the
// comparisons below need it: distance2 against limit squared times scale.
// Not usable for NaN, infinite or huge positions.
struct SSegmentMeasure {
  double distance2 = 0.0;
  double scale = 1.0;
  bool usable = false;
};

inline SSegmentMeasure MeasureSegment(const SPenSample& a, const SPenSample& b, const SPenSample& c) {
  constexpr double kLargest = 1e300;  // the products compared stay finite
  const SSegmentFrame frame(a, b, c);
  SSegmentMeasure measure;
  if (frame.FootInside()) {
    const double whole = frame.WholeCross();
    measure.distance2 = whole * whole;
    measure.scale = frame.length2;
    measure.usable = frame.length2 < kLargest;
  } else {
    const double da = SquaredDistance(c, a);
    const double db = SquaredDistance(c, b);
    // sqrt is monotonic, so the nearer end by squares is the nearer end.
    measure.distance2 = da < db ? da : db;
    measure.usable = da < kLargest && db < kLargest;
  }
  return measure;
}

// How the measured distance compares with a positive limit: -1 below, +1
// above, 0 when that cannot be told apart from equal without computing the
// distance itself. The margin is far wider than the few roundings of either
// computation, so a clear answer here is the answer the distance would give;
// it saves a square root and a division, which dominate the filter's time.
inline int CompareMeasure(const SSegmentMeasure& measure, double limit) {
  constexpr double kBelow = 1.0 - 1e-9;
  constexpr double kAbove = 1.0 + 1e-9;
  if (!measure.usable) return 0;
  const double bound = limit * limit * measure.scale;
  if (measure.distance2 < bound * kBelow) return -1;
  if (measure.distance2 > bound * kAbove) return 1;
  return 0;
}

inline int CompareSegmentDistance(const SPenSample& a, const SPenSample& b, const SPenSample& c,
                                  double limit) {
  return CompareMeasure(MeasureSegment(a, b, c), limit);
}

// SegmentDistance(a, b, c) < limit, for a positive limit.
inline bool SegmentDistanceBelow(const SPenSample& a, const SPenSample& b, const SPenSample& c,
                                 double limit) {
  const int order = CompareSegmentDistance(a, b, c, limit);
  return order != 0 ? order < 0 : SegmentDistance(a, b, c) < limit;
}

// The end of the continuation of the step a -> b, one step long beyond b.
inline SPenSample ExtensionEnd(const SPenSample& a, const SPenSample& b) {
  SPenSample end;
  end.x = 2.0 * b.x - a.x;
  end.y = 2.0 * b.y - a.y;
  return end;
}

// Distance of c from the continuation of the step a -> b, one step long
// beyond b: the segment from a to 2b - a.
inline double ExtensionDistance(const SPenSample& a, const SPenSample& b, const SPenSample& c) {
  return SegmentDistance(a, ExtensionEnd(a, b), c);
}

// ExtensionDistance(a, b, c) > limit, for a positive limit.
inline bool ExtensionDistanceAbove(const SPenSample& a, const SPenSample& b, const SPenSample& c,
                                   double limit) {
  const SPenSample end = ExtensionEnd(a, b);
  const int order = CompareSegmentDistance(a, end, c, limit);
  return order != 0 ? order > 0 : SegmentDistance(a, end, c) > limit;
}

// c lies near the continuation of a -> b.
inline bool OnExtension(const SPenSample& a, const SPenSample& b, const SPenSample& c) {
  return SegmentDistanceBelow(a, ExtensionEnd(a, b), c, kExtensionTolerance);
}

// p1 lies near the chord p0-p2, and each outer sample lies near the
// continuation of the other two.
bool IsStraightTriple(const SPenSample& p0, const SPenSample& p1, const SPenSample& p2);

// Judges window[a + 2] among the five samples window[a] ... window[a + 4]:
// it must lie near at least three of the four chords that join one of the
// two samples before it to one of the two after it. The tolerance is 30 over
// the closest spacing of the five, at most 80.
bool IsConsistentMiddle(const CSampleQueue& window, std::size_t a);

// p, q, r, s are consecutive samples of a stroke in the direction of
// propagation (p innermost); the marks of p and q are decided, those of r
// and s are set from them.
void PropagateValidity(const SPenSample& p, const SPenSample& q, SPenSample& r, SPenSample& s);

}  // namespace tq
