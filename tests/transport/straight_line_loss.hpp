// Where a particle moving on a straight line is lost in a drift aperture,
// worked out from the line itself rather than from the pusher.
#pragma once

#include <cmath>

namespace linac::testing {

// Step in which the straight line (x0 + a z, y0 + b z) is lost in a drift of
// nstep steps of length h (cm) with aperture half sizes ax, ay (ay < 0
// elliptic, ay > 0 rectangular; a point on the boundary is outside): the
// first step whose end point lies outside, or step 1 when it enters outside;
// 0 when it passes. The Runge-Kutta stages lie between the start and end
// points of a step and the aperture is convex, so the end points decide.
// Points nearer the axis than 1e-6 cm are tested at (1e-6, 0), as the field
// evaluation does.
inline int first_outside_step(double x0, double a, double y0, double b, double ax, double ay,
                              int nstep, double h) {
  auto outside = [&](double z) {
    double x = x0 + a * z, y = y0 + b * z;
    if (std::sqrt(x * x + y * y) < 1e-6) {
      x = 1e-6;
      y = 0.0;
    }
    if (ay < 0) return (x / ax) * (x / ax) + (y / ay) * (y / ay) >= 1.0;
    return std::abs(x / ax) >= 1.0 || std::abs(y / ay) >= 1.0;
  };
  if (outside(0.0)) return 1;
  for (int k = 1; k <= nstep; ++k)
    if (outside(k * h)) return k;
  return 0;
}

}  // namespace linac::testing
