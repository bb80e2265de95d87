// Position solution of version-4 boards.
//
// These boards report one distance a to the nearer receiver and the extra
// path c to the other one; the receivers of the solution sit 864 units apart.
// The pen lies where the circle of radius a around (0, 0) meets the circle of
// radius a + c around (864, 0).
#pragma once

namespace tq {

// The board's single-precision inputs give x = 5000 − |t| and y = 432 − p for
// a pen at (p, t) of the local frame. Bad inputs give NaN, which the caller
// passes on; nothing here traps.
void PositionV4(float a, float c, double& x, double& y);

}  // namespace tq
