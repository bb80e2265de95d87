// Geometric tests on pen samples used by the validation and anti-streak
// stages. They read only x and y; PropagateValidity writes only the valid
// marks of its last two arguments.
#pragma once

#include <cstddef>

#include "filter/PenSample.h"
#include "filter/SampleQueue.h"

namespace tq {

// Two samples closer than this (strictly) count as close to each other.
constexpr double kCloseDistance = 45.0;
// Largest distance (exclusive) of a middle sample from its neighbours' chord.
constexpr double kChordTolerance = 50.0;
// Largest distance (exclusive) from the straight continuation of a step.
constexpr double kExtensionTolerance = 60.0;

// Euclidean distance of the positions of a and b.
double Distance(const SPenSample& a, const SPenSample& b);

// Distance of c from the segment a-b. When the foot of the perpendicular
// falls strictly inside the segment, the cross product is truncated to a
// whole number first, so the result is a whole number divided by |b - a|.
double SegmentDistance(const SPenSample& a, const SPenSample& b, const SPenSample& c);

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
