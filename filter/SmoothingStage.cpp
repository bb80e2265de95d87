// Smoothing stage.
//
// What goes wrong on a real board: the measured distances jitter by a few
// units, so even a steady hand draws a line that wobbles from sample to
// sample.
//
// What the stage does: each inner sample of a stroke is replaced by the
// average of itself and up to two neighbours on each side, weighted by
// 1 / (distance + 50), and rounded to whole units. The weights fall off
// slowly, so a sample is pulled toward its neighbours by only a fraction of
// their offset and corners survive. The first and last samples of a stroke
// pass unchanged; output trails the pen by two samples. A break marker that
// finds no stroke here has nothing to end and goes no further.
//
// Constants: 5 samples in the window, 50 added to every distance, 0.5 added
// before rounding toward zero.
#include "filter/SmoothingStage.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "filter/Geometry.h"
#include "geometry/Truncate.h"

namespace tq {

namespace {

constexpr double kWeightOffset = 50.0;
constexpr double kSelfWeight = 1.0 / (0.0 + kWeightOffset);
constexpr double kRoundingBias = 0.5;
constexpr std::size_t kWindowSize = 5;

// weight[k] = 1 / (|centre - neighbour[k]| + 50). Two at a time where the
// processor has two-lane square roots and divisions (straight from the
// samples, not through memory, which would stall the two-lane loads): each
// lane is rounded exactly as the one-at-a-time operation, so the weights
// are the same on every build.
void NeighbourWeights(const SPenSample& centre, const SPenSample* const (&neighbour)[4],
                      double (&weight)[4]) {
#if defined(__SSE2__)
  const __m128d cx = _mm_set1_pd(centre.x);
  const __m128d cy = _mm_set1_pd(centre.y);
  const __m128d offset = _mm_set1_pd(kWeightOffset);
  const __m128d one = _mm_set1_pd(1.0);
  for (std::size_t k = 0; k < 4; k += 2) {
    const __m128d dx = _mm_sub_pd(cx, _mm_set_pd(neighbour[k + 1]->x, neighbour[k]->x));
    const __m128d dy = _mm_sub_pd(cy, _mm_set_pd(neighbour[k + 1]->y, neighbour[k]->y));
    const __m128d distance = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)));
    _mm_storeu_pd(weight + k, _mm_div_pd(one, _mm_add_pd(distance, offset)));
  }
#else
  for (std::size_t k = 0; k < 4; ++k) weight[k] = 1.0 / (Distance(*neighbour[k], centre) + kWeightOffset);
#endif
}

double RoundToWhole(double value) {
  return static_cast<double>(TruncateToInt32(value + kRoundingBias));
}

}  // namespace

SPenSample CSmoothingStage::WeightedCentre(std::size_t a, std::size_t count) const {
  const std::size_t middle = (count + 1) / 2 - 1;
  const SPenSample& centre = m_window[a + middle];
  // The weights of the (up to four) neighbours are worked out side by side
  // before they are summed in window order: the square roots and divisions
  // do not wait for each other, and each weight and sum is the same number
  // as when worked out one after the other. The centre is at distance 0 from
  // itself whenever its position is finite, so its weight is then known.
  constexpr std::size_t kNeighbours = kWindowSize - 1;
  const SPenSample* neighbours[kNeighbours] = {&centre, &centre, &centre, &centre};
  for (std::size_t i = 0, k = 0; i < count; ++i) {
    if (i != middle) neighbours[k++] = &m_window[a + i];
  }
  double weight[kNeighbours];
  NeighbourWeights(centre, neighbours, weight);
  const bool finiteCentre = std::isfinite(centre.x) && std::isfinite(centre.y);
  const double selfWeight = finiteCentre ? kSelfWeight : 1.0 / (Distance(centre, centre) + kWeightOffset);

  double sumW = 0.0;
  double sumX = 0.0;
  double sumY = 0.0;
  for (std::size_t i = 0, k = 0; i < count; ++i) {
    const SPenSample& neighbour = m_window[a + i];
    const double w = i == middle ? selfWeight : weight[k++];
    sumW += w;
    sumX += neighbour.x * w;
    sumY += neighbour.y * w;
  }
  SPenSample result = centre;
  result.x = RoundToWhole(sumX / sumW);
  result.y = RoundToWhole(sumY / sumW);
  return result;
}

void CSmoothingStage::Step(const SPenSample& s) {
  CSampleQueue& e = m_window;
  if (e.empty()) {
    if (s.kind == kKindPenDown) {
      e.push_back(s);
    } else if (s.kind == kKindHover) {
      m_outlet.Emit(s);
    }
    return;  // a break marker with no stroke to end is dropped
  }

  if (s.kind != kKindPenDown) {
    switch (e.size()) {
      case 1:
        EmitHeld(0);
        break;
      case 2:
        EmitHeld(0);
        EmitHeld(1);
        break;
      case 3:
        EmitHeld(0);
        m_outlet.Emit(WeightedCentre(0, 3));
        EmitHeld(2);
        break;
      case 4:
        EmitHeld(0);
        m_outlet.Emit(WeightedCentre(0, 3));
        m_outlet.Emit(WeightedCentre(1, 3));
        EmitHeld(3);
        break;
      default:  // five: the first three have gone already
        m_outlet.Emit(WeightedCentre(2, 3));
        EmitHeld(4);
        break;
    }
    m_outlet.Emit(s);
    e.clear();
    return;
  }

  if (e.size() < kWindowSize - 1) {
    e.push_back(s);
    return;
  }
  if (e.size() == kWindowSize - 1) {
    e.push_back(s);
    EmitHeld(0);
    m_outlet.Emit(WeightedCentre(0, 3));
    m_outlet.Emit(WeightedCentre(0, 5));
    return;
  }
  e.pop_front();
  e.push_back(s);
  m_outlet.Emit(WeightedCentre(0, 5));
}

}  // namespace tq
