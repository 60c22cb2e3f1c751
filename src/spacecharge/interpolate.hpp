// The space-charge field at a point from the solved grid: minus the
// gradient of the second-order Taylor expansion of the potential about the
// nearest node that has neighbours on both sides (central first, second and
// mixed differences, 19 nodes in 3-D). Zero outside the box; a point on a
// face is inside. Stateless: safe in parallel particle loops.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "spacecharge/sc_grid.hpp"
#include "numerics/grid_index.hpp"

namespace linac {

namespace sc_detail {

// std::round (halves away from zero) without a library call in the particle
// loops; the integer part is exact below 2^52.
inline double round_half_away(double v) {
  if (!(std::abs(v) < 0x1p52)) return std::round(v);
  const double t = static_cast<double>(static_cast<std::int64_t>(v));  // toward zero
  const double r = v - t;                                              // exact
  if (r >= 0.5) return t + 1.0;
  if (r <= -0.5) return t - 1.0;
  return t;
}

// Centre node (from 0) of a stencil: the nearest node, but at least 1 and
// at most n - 2; o is half the box less half a mesh step, inv_h 1/h. The
// limits act before the conversion to an integer (a degenerate box whose
// 1/h is infinite gives a limit, not an overflow).
inline int centre_node(double v, double o, double inv_h, int n) {
  return clamped_index((v + o) * inv_h, 0, n - 3) + 1;
}

}  // namespace sc_detail

// (x, y, z) in cm in the rest frame of the box; E in V/cm (rest frame).
inline void sc_field_3d_at(const ScGrid& g, double x, double y, double z, std::array<double, 3>& E) {
  E = {0.0, 0.0, 0.0};
  if (!(std::abs(z) <= g.sc_half_z && std::abs(x) <= g.sc_half_x && std::abs(y) <= g.sc_half_y))
    return;
  const int i = sc_detail::centre_node(x, g.sc_x0, g.sc_inv_hx, g.NX);
  const int j = sc_detail::centre_node(y, g.sc_y0, g.sc_inv_hy, g.NY);
  const int l = sc_detail::centre_node(z, g.sc_z0, g.sc_inv_hz, g.NZ);
  const double dx = x - g.sc_xn[i];
  const double dy = y - g.sc_yn[j];
  const double dz = z - g.sc_zn[l];
  const std::ptrdiff_t sx = 1;
  const std::ptrdiff_t sy = g.NX;
  const std::ptrdiff_t sz = static_cast<std::ptrdiff_t>(g.NX) * g.NY;
  const double* u = g.sc_grid3d.data() + i + j * sy + l * sz;
  const double u0 = u[0];
  const double gx = (u[sx] - u[-sx]) * g.sc_d1x;
  const double gy = (u[sy] - u[-sy]) * g.sc_d1y;
  const double gz = (u[sz] - u[-sz]) * g.sc_d1z;
  const double gxx = (u[sx] - 2.0 * u0 + u[-sx]) * g.sc_d2x;
  const double gyy = (u[sy] - 2.0 * u0 + u[-sy]) * g.sc_d2y;
  const double gzz = (u[sz] - 2.0 * u0 + u[-sz]) * g.sc_d2z;
  const double gxy = (u[sx + sy] + u[-sx - sy] - u[-sx + sy] - u[sx - sy]) * g.sc_dxy;
  const double gxz = (u[sx + sz] + u[-sx - sz] - u[-sx + sz] - u[sx - sz]) * g.sc_dxz;
  const double gyz = (u[sy + sz] + u[-sy - sz] - u[-sy + sz] - u[sy - sz]) * g.sc_dyz;
  E[0] = -(gx + gxx * dx + gxy * dy + gxz * dz);
  E[1] = -(gy + gyy * dy + gxy * dx + gyz * dz);
  E[2] = -(gz + gzz * dz + gxz * dx + gyz * dy);
}

// (x, y) in cm; E in V/cm with E[2] = 0.
inline void sc_field_2d_at(const ScGrid& g, double x, double y, std::array<double, 3>& E) {
  E = {0.0, 0.0, 0.0};
  if (!(std::abs(x) <= g.sc_half_x && std::abs(y) <= g.sc_half_y)) return;
  const int i = sc_detail::centre_node(x, g.sc_x0, g.sc_inv_hx, g.NX);
  const int j = sc_detail::centre_node(y, g.sc_y0, g.sc_inv_hy, g.NY);
  const double dx = x - g.sc_xn[i];
  const double dy = y - g.sc_yn[j];
  const std::ptrdiff_t sx = 1;
  const std::ptrdiff_t sy = g.NX;
  const double* u = g.sc_grid2d.data() + i + j * sy;
  const double u0 = u[0];
  const double gx = (u[sx] - u[-sx]) * g.sc_d1x;
  const double gy = (u[sy] - u[-sy]) * g.sc_d1y;
  const double gxx = (u[sx] - 2.0 * u0 + u[-sx]) * g.sc_d2x;
  const double gyy = (u[sy] - 2.0 * u0 + u[-sy]) * g.sc_d2y;
  const double gxy = (u[sx + sy] + u[-sx - sy] - u[-sx + sy] - u[sx - sy]) * g.sc_dxy;
  E[0] = -(gx + gxx * dx + gxy * dy);
  E[1] = -(gy + gyy * dy + gxy * dx);
}

}  // namespace linac
