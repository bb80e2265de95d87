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

// Distance of c from the segment a-b. When the foot of the perpendicular
// falls strictly inside the segment, the cross product is truncated to a
// whole number first, so the result is a whole number divided by |b - a|.
// Inline: the filter calls this several times for every sample.
inline double SegmentDistance(const SPenSample& a, const SPenSample& b, const SPenSample& c) {
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

// Distance of c from the continuation of the step a -> b, one step long
// beyond b: the segment from a to 2b - a.
double ExtensionDistance(const SPenSample& a, const SPenSample& b, const SPenSample& c);

// c lies near the continuation of a -> b.
bool OnExtension(const SPenSample& a, const SPenSample& b, const SPenSample& c);

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
