// The on-axis solenoid field (sol_field) at W points at once for the
// lockstep push: the table row of each lane first, the samples of the two
// neighbouring rows gathered per lane, then the paraxial expansion of all
// lanes together, laid out by component and lane so that it runs on vector
// registers. Each lane performs exactly the operations of sol_field in the
// same order, so the values are bit for bit those of one point at a time.
#pragma once

#include <cmath>
#include <cstddef>

#include "transport/field_tables.hpp"

namespace linac {

// B (unit scale, G per unit of the table) at the W points of active lanes:
// inside[l] is false for an inactive lane and for a point of 0 <= z <= L at
// r >= aperture_r (no field, lost); outside that z interval the field is
// zero and the point is not lost. Inactive lanes get zero field.
template <int W>
inline void sol_field_lanes(const AxisTable& t, double L, double aperture_r, const double* x,
                            const double* y, const double* z, const bool* active,
                            double (&B)[3][W], bool* inside) {
  const double h = L / (t.nbz - 1);
  const double last_row = t.nbz - 2;
  // The loops over lanes are kept free of branches so that they run on
  // vector registers; only the gather of the samples goes lane by lane.
  double r2[W];
  bool field[W];
  for (int l = 0; l < W; ++l) {
    r2[l] = x[l] * x[l] + y[l] * y[l];
    const bool in_z = !(z[l] < 0.0 || z[l] > L);
    const bool lost = in_z && r2[l] >= aperture_r * aperture_r;
    inside[l] = active[l] && !lost;
    field[l] = active[l] && in_z && !lost;
  }
  // Row below the point (as a double; z = L: the last sample itself) and
  // the fraction of the interval.
  double q[W];
  double u[W];
  for (int l = 0; l < W; ++l) {
    const double row = std::trunc(z[l] / h);
    q[l] = field[l] && row >= 0.0 ? (row > last_row ? last_row : row) : 0.0;  // NaN: row 0
  }
  for (int l = 0; l < W; ++l) u[l] = (z[l] - q[l] * h) / h;
  // Samples of the row below (c[k][0]) and above (c[k][1]) each point, for
  // the columns B, B', B'', B''', B''''.
  double c[5][2][W];
  for (int l = 0; l < W; ++l) {
    const auto j = static_cast<std::size_t>(q[l]);
    for (std::size_t k = 0; k < 5; ++k) {
      c[k][0][l] = t.col[k][j];
      c[k][1][l] = t.col[k][j + 1];
    }
  }
  // Paraxial expansion to fourth order in r at the two samples:
  // Bz = B - r^2/4 B'' + r^4/64 B'''', Br = -r/2 B' + r^3/16 B'''.
  double r[W];
  double Br[W];
  double Bz[W];
  for (int l = 0; l < W; ++l) {
    r[l] = std::sqrt(r2[l]);
    const double s2 = r2[l];
    const double bz0 = c[0][0][l] - 0.25 * s2 * c[2][0][l] + s2 * s2 / 64.0 * c[4][0][l];
    const double bz1 = c[0][1][l] - 0.25 * s2 * c[2][1][l] + s2 * s2 / 64.0 * c[4][1][l];
    const double br0 = -0.5 * r[l] * c[1][0][l] + s2 * r[l] / 16.0 * c[3][0][l];
    const double br1 = -0.5 * r[l] * c[1][1][l] + s2 * r[l] / 16.0 * c[3][1][l];
    Br[l] = br0 + u[l] * (br1 - br0);
    Bz[l] = bz0 + u[l] * (bz1 - bz0);
  }
  double bx[W];
  double by[W];
  for (int l = 0; l < W; ++l) {
    bx[l] = Br[l] * x[l] / r[l];
    by[l] = Br[l] * y[l] / r[l];
  }
  for (int l = 0; l < W; ++l) {
    const bool radial = field[l] && r[l] > 1e-15;
    B[0][l] = radial ? bx[l] : 0.0;
    B[1][l] = radial ? by[l] : 0.0;
    B[2][l] = field[l] ? Bz[l] : 0.0;
  }
}

}  // namespace linac
