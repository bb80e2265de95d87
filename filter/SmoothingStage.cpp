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
#include <cstddef>

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

// The weights 1 / (|centre - n| + 50) of two neighbours, side by side where
// the processor has two-lane square roots and divisions: each lane is
// rounded exactly as the one-at-a-time operation, so the weights are the
// same on every build. The distance of two samples is the same number
// whichever of them is the centre (only the signs of the differences
// change), so a weight can serve both ends of its pair.
void TwoWeights(const SPenSample& centre, const SPenSample& n0, const SPenSample& n1, double& w0, double& w1) {
#if defined(__SSE2__)
  const __m128d dx = _mm_sub_pd(_mm_set1_pd(centre.x), _mm_set_pd(n1.x, n0.x));
  const __m128d dy = _mm_sub_pd(_mm_set1_pd(centre.y), _mm_set_pd(n1.y, n0.y));
  const __m128d distance = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)));
  const __m128d weight = _mm_div_pd(_mm_set1_pd(1.0), _mm_add_pd(distance, _mm_set1_pd(kWeightOffset)));
  w0 = _mm_cvtsd_f64(weight);
  w1 = _mm_cvtsd_f64(_mm_unpackhi_pd(weight, weight));
#else
  w0 = 1.0 / (Distance(n0, centre) + kWeightOffset);
  w1 = 1.0 / (Distance(n1, centre) + kWeightOffset);
#endif
}

// The centre is at distance 0 from itself whenever its position is finite,
// so its weight is then known.
double SelfWeight(const SPenSample& centre) {
  const bool finite = std::isfinite(centre.x) && std::isfinite(centre.y);
  return finite ? kSelfWeight : 1.0 / (Distance(centre, centre) + kWeightOffset);
}

double RoundToWhole(double value) {
  return static_cast<double>(TruncateToInt32(value + kRoundingBias));
}

// The weighted average of `count` samples, summed in window order, rounded
// to whole units; everything but the position is the centre's. x and y are
// summed in the two lanes of one register where there are two lanes, each
// lane rounded as its own sum would be.
SPenSample Blend(const SPenSample* const* samples, const double* weight, std::size_t count,
                 const SPenSample& centre) {
  SPenSample result = centre;
  double sumW = 0.0;
#if defined(__SSE2__)
  static_assert(offsetof(SPenSample, y) == offsetof(SPenSample, x) + sizeof(double), "x and y side by side");
  __m128d sumXY = _mm_setzero_pd();
  for (std::size_t i = 0; i < count; ++i) {
    sumW += weight[i];
    sumXY = _mm_add_pd(sumXY, _mm_mul_pd(_mm_loadu_pd(&samples[i]->x), _mm_set1_pd(weight[i])));
  }
  const __m128d mean = _mm_div_pd(sumXY, _mm_set1_pd(sumW));
  result.x = RoundToWhole(_mm_cvtsd_f64(mean));
  result.y = RoundToWhole(_mm_cvtsd_f64(_mm_unpackhi_pd(mean, mean)));
#else
  double sumX = 0.0;
  double sumY = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    sumW += weight[i];
    sumX += samples[i]->x * weight[i];
    sumY += samples[i]->y * weight[i];
  }
  result.x = RoundToWhole(sumX / sumW);
  result.y = RoundToWhole(sumY / sumW);
#endif
  return result;
}

}  // namespace

SPenSample CSmoothingStage::WeightedCentre(std::size_t a, std::size_t count) const {
  const std::size_t middle = (count + 1) / 2 - 1;
  const SPenSample& centre = m_window[a + middle];
  const SPenSample* samples[kWindowSize];
  for (std::size_t i = 0; i < count; ++i) samples[i] = &m_window[a + i];
  double weight[kWindowSize];
  weight[middle] = SelfWeight(centre);
  if (count == 3) {
    TwoWeights(centre, *samples[0], *samples[2], weight[0], weight[2]);
  } else {
    TwoWeights(centre, *samples[0], *samples[1], weight[0], weight[1]);
    TwoWeights(centre, *samples[3], *samples[4], weight[3], weight[4]);
  }
  return Blend(samples, weight, count, centre);
}

SPenSample CSmoothingStage::CentreOfFive() {
  const SPenSample* samples[kWindowSize];
  for (std::size_t i = 0; i < kWindowSize; ++i) samples[i] = &m_window[i];
  const SPenSample& centre = *samples[2];
  double weight[kWindowSize];
  weight[2] = SelfWeight(centre);
  // The centre's pairs with the two samples after it are new; its pairs
  // with the two before it were weighed by the last two centres, as their
  // pairs with the samples one and two after them.
  TwoWeights(centre, *samples[3], *samples[4], weight[3], weight[4]);
  if (m_earlierCentres >= 2) {
    weight[0] = m_twoBeforeNext2;
    weight[1] = m_lastNext1;
  } else if (m_earlierCentres == 1) {
    double unused = 0.0;
    TwoWeights(centre, *samples[0], *samples[0], weight[0], unused);
    weight[1] = m_lastNext1;
  } else {
    TwoWeights(centre, *samples[0], *samples[1], weight[0], weight[1]);
  }
  m_twoBeforeNext2 = m_lastNext2;
  m_lastNext1 = weight[3];
  m_lastNext2 = weight[4];
  if (m_earlierCentres < 2) ++m_earlierCentres;
  return Blend(samples, weight, kWindowSize, centre);
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
    Clear();
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
    m_outlet.Emit(CentreOfFive());
    return;
  }
  e.pop_front();
  e.push_back(s);
  m_outlet.Emit(CentreOfFive());
}

}  // namespace tq
