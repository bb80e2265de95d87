// The version-4 position solution. The board's firmware does the first steps
// in single precision; the sum and its square are rounded to float exactly
// where it rounds them, and the rest runs in double so that every build
// gives the same positions.
#include "geometry/PositionV4.h"

#include <cmath>

namespace tq {

namespace {
constexpr double kReceiverDistance = 864.0;
constexpr double kReceiverDistanceSquared = 746496.0;      // 864²
constexpr double kHalfDistanceSquared = 186624.0;          // 432²
constexpr double kInverseDistance = 0.0011574074074074073;  // 1 / 864
}  // namespace

void PositionV4(float a, float c, double& x, double& y) {
  const float s = a + c;
  const float q = s * s;
  const double da = a;
  const double dc = c;
  const double ds = s;
  const double dq = q;

  // Cosine of the angle at the receiver at (864, 0).
  const double u = (da * (1.0 - (da * da + dq - kReceiverDistanceSquared) * 0.5 / da / ds) + dc) *
                   kInverseDistance;
  // Distance from the midpoint between the receivers to the pen.
  const double r = std::sqrt(dq + kHalfDistanceSquared - kReceiverDistance * ds * u);
  double w = (r * r + dq - kHalfDistanceSquared) * 0.5 / r / ds;
  if (w >= 1.0) w = 1.0;
  const double m = std::sqrt(1.0 - w * w);
  const double o = std::sqrt(1.0 - u * u);
  const double h = r * (w * o + u * m);
  const double g = r * (u * w - o * m);
  x = 5000.0 - h;
  y = g;
}

}  // namespace tq
