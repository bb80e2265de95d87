// The board measures how far the pen's emitter is from each receiver. The
// pen lies where the two circles meet on the writing side of the receiver
// line. Noise and reflections give pairs whose circles do not meet, or that
// put the pen far outside the board; those readings are dropped.
#include "geometry/Triangulate.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tq {

namespace {

// How far outside the receivers a pen may still be seen along their line.
constexpr double kBeforeR0 = -280.0;
constexpr double kBeyondR1 = 400.0;

struct SCodeRange {
  int first;
  int last;
  int result;
  int penCode;  // meaningful when result is kPenCodeKnown
};

// The pens' code bands are not in pen order: 24-33 is pen 1, 35-44 pen 3,
// 45-54 pen 2, 55-64 pen 0.
constexpr SCodeRange kCodeRanges[] = {
    {11, 19, kPenCodeHover, 0},   {24, 33, kPenCodeKnown, 1},   {35, 44, kPenCodeKnown, 3},
    {45, 54, kPenCodeKnown, 2},   {55, 64, kPenCodeKnown, 0},   {65, 79, kPenCodeKnown, 4},
    {80, 95, kPenCodeKnown, 5},   {96, 107, kPenCodeKnown, 6},  {108, 117, kPenCodeKnown, 7},
    {118, 127, kPenCodeKnown, 8}, {128, 137, kPenCodeKnown, 9},
};

}  // namespace

bool Triangulate(double distToR1, double distToR0, double spacing, double& x, double& y) {
  const double a = distToR1;
  const double b = distToR0;
  const double c = spacing;
#if defined(__SSE2__)
  // Both divisions at once; each lane is rounded as the scalar division.
  const __m128d quotients = _mm_div_pd(_mm_set_pd(a * a, b * b), _mm_set1_pd(2.0 * c));
  x = _mm_cvtsd_f64(quotients) - _mm_cvtsd_f64(_mm_unpackhi_pd(quotients, quotients)) + 0.5 * c;
#else
  x = b * b / (2.0 * c) - a * a / (2.0 * c) + 0.5 * c;
#endif
  // Written so that a NaN x fails too.
  if (!(x >= kBeforeR0 && x <= c + kBeyondR1)) return false;
  const double r = b * b - x * x;
  if (r < 0.0) return false;
  y = std::sqrt(r);
  return true;
}

int ClassifyPenCode(int code, int& penCode) {
  for (const SCodeRange& range : kCodeRanges) {
    if (code < range.first || code > range.last) continue;
    if (range.result == kPenCodeKnown) penCode = range.penCode;
    return range.result;
  }
  return kPenCodeUnknown;
}

}  // namespace tq
