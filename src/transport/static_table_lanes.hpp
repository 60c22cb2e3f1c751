// The static 3-D table field (table_inline::static_table_field) at W points
// at once for the lockstep push: the aperture and z-range tests, the
// mirroring into the stored part of the table, the stencil nodes and the
// weights of all lanes together, laid out by lane so that they run on
// vector registers without branches; then the 19-point sums lane by lane,
// with all held components of a node in one vector (Ex..Bx and By, Bz of
// an E and B table, Ex..Ez of an E table), the lanes interleaved tap by tap
// so that their loads overlap. Every component of every lane gets exactly
// the operations of the scalar routine in the same order, so the values are
// bit for bit those of one point at a time.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>

#include "transport/field_tables.hpp"
#include "transport/table_interp_inline.hpp"

namespace linac::table_lanes {

inline constexpr double kInf = __builtin_inf();

using Double4 = double __attribute__((vector_size(32)));
using Double2 = table_inline::Double2;

inline void load(const double* p, Double4& v) { std::memcpy(&v, p, sizeof v); }
inline void load(const double* p, Double2& v) { std::memcpy(&v, p, sizeof v); }

// Stencil of one lane: the central node's first held component and the ten
// weights of the 19-point formula (w0, wxp, wxm, wyp, wym, wzp, wzm, wxy,
// wxz, wyz).
template <int W>
struct LaneStencils {
  const double* f[W];
  double w[10][W];
};

// The 19-point sums of the held components c0 .. c0 + N - 1 (V = the vector
// of N or more doubles) of every lane; out[l] holds lane l's sums. The
// vector of a three-component run reads one value past the run, the first
// component of the next node (or the next component of the same node):
// the stencil never reaches the last node of the table, whose nodes around
// the centre differ from it in at most two coordinates, so the read stays
// inside the table; the extra sum is not used.
template <int W, class V>
inline void stencil_sums(const LaneStencils<W>& s, std::ptrdiff_t X, std::ptrdiff_t Y,
                         std::ptrdiff_t Z, int c0, V (&out)[W]) {
  // The taps in the order of the formula: the centre and the axis
  // neighbours with their weights, then the three cross differences.
  const std::ptrdiff_t axis[7] = {0, X, -X, Y, -Y, Z, -Z};
  V acc[W];
  for (int l = 0; l < W; ++l) {
    const double* f = s.f[l] + c0;
    V a;
    V b;
    load(f + axis[0], a);
    load(f + axis[1], b);
    acc[l] = s.w[0][l] * a + s.w[1][l] * b;
  }
  for (int k = 2; k < 7; ++k)
    for (int l = 0; l < W; ++l) {
      V a;
      load(s.f[l] + c0 + axis[k], a);
      acc[l] = acc[l] + s.w[k][l] * a;
    }
  // (f[U+V] + f[-U-V] - f[-U+V] - f[U-V]) for the pairs xy, xz, yz.
  const std::ptrdiff_t U[3] = {X, X, Y};
  const std::ptrdiff_t Vv[3] = {Y, Z, Z};
  for (int k = 0; k < 3; ++k)
    for (int l = 0; l < W; ++l) {
      const double* f = s.f[l] + c0;
      V pp;
      V mm;
      V mp;
      V pm;
      load(f + U[k] + Vv[k], pp);
      load(f - U[k] - Vv[k], mm);
      load(f - U[k] + Vv[k], mp);
      load(f + U[k] - Vv[k], pm);
      acc[l] = acc[l] + s.w[7 + k][l] * (pp + mm - mp - pm);
    }
  for (int l = 0; l < W; ++l) out[l] = acc[l];
}

// The static table field at the W points of active lanes (unscaled, as
// static_table_field gives it): inside[l] is false for an inactive lane and
// for a point of 0 <= z <= L outside the aperture; lanes without field
// (inactive, lost, outside the element's or the table's z range, or a
// component the table or its kind does not give) get +0.
template <int W>
inline void static_table_field_lanes(const Table3D& t, const StaticTableGeometry& g,
                                     const double* x, const double* y, const double* z,
                                     const bool* active, double (&E)[3][W], double (&B)[3][W],
                                     bool* inside) {
  // Aperture and z ranges: an ellipse (aper_y < 0), a rectangle (> 0) or
  // none; the kind of aperture is the element's, the same for every lane.
  bool lost[W];
  if (g.aper_y < 0.0) {
    for (int l = 0; l < W; ++l) {
      const double u = std::abs(x[l] / g.aper_x);
      const double v = std::abs(y[l] / g.aper_y);
      lost[l] = u * u + v * v >= 1.0;
    }
  } else if (g.aper_y > 0.0) {
    for (int l = 0; l < W; ++l) {
      const double u = std::abs(x[l] / g.aper_x);
      const double v = std::abs(y[l] / g.aper_y);
      lost[l] = u > 1.0 || v > 1.0;
    }
  } else {
    for (int l = 0; l < W; ++l) lost[l] = false;
  }
  const double z_half = t.z[kTableNz - 1];
  bool field[W];
  double dz[W];
  for (int l = 0; l < W; ++l) {
    const bool in_z = !(z[l] < 0.0 || z[l] > g.L);
    lost[l] = in_z && lost[l];
    inside[l] = active[l] && !lost[l];
    dz[l] = z[l] - 0.5 * g.L;
    field[l] = active[l] && in_z && !lost[l] && !(std::abs(dz[l]) > z_half);
  }
  const bool want_e = g.kind == kKindE || g.kind == kKindEB;
  const bool want_b = g.kind == kKindB || g.kind == kKindEB;
  const bool e = want_e && t.holds_e();
  const bool b = want_b && t.holds_b();
  for (int c = 0; c < 3; ++c)
    for (int l = 0; l < W; ++l) {
      E[c][l] = 0.0;
      B[c][l] = 0.0;
    }
  bool any = false;
  for (int l = 0; l < W; ++l) any = any || field[l];
  if (!any) return;
  // The point mirrored into the stored part, and per axis the factor of a
  // component that changes sign under that mirror: -1 when the lane is
  // mirrored on the axis, else +1.
  const double sym_x = t.sym[0] == 1 ? 0.0 : -kInf;
  const double sym_y = t.sym[1] == 1 ? 0.0 : -kInf;
  const double sym_z = t.sym[2] == 1 ? 0.0 : -kInf;
  double xm[W];
  double ym[W];
  double zm[W];
  double fx[W];
  double fy[W];
  double fz[W];
  for (int l = 0; l < W; ++l) {
    // x < 0 on a mirrored axis (x < -inf never holds on the others).
    fx[l] = x[l] < sym_x ? -1.0 : 1.0;
    fy[l] = y[l] < sym_y ? -1.0 : 1.0;
    fz[l] = dz[l] < sym_z ? -1.0 : 1.0;
    xm[l] = x[l] < sym_x ? -x[l] : x[l];
    ym[l] = y[l] < sym_y ? -y[l] : y[l];
    zm[l] = dz[l] < sym_z ? -dz[l] : dz[l];
  }
  // Central nodes (as table_inline::central_node: any value, a NaN too,
  // gives a node whose stencil lies inside the table) and the weights.
  const double top_x = kTableNx - 1;
  const double top_y = kTableNy - 1;
  const double top_z = kTableNz - 1;
  double di[W];
  double dj[W];
  double dk[W];
  for (int l = 0; l < W; ++l) {
    double d = std::trunc((xm[l] - t.x[0] - 0.5 * t.hx) * t.inv_hx) + 2.0;
    d = d >= 2.0 ? d : 2.0;
    di[l] = d > top_x ? top_x : d;
    d = std::trunc((ym[l] - t.y[0] - 0.5 * t.hy) * t.inv_hy) + 2.0;
    d = d >= 2.0 ? d : 2.0;
    dj[l] = d > top_y ? top_y : d;
    d = std::trunc((zm[l] - t.z[0] - 0.5 * t.hz) * t.inv_hz) + 2.0;
    d = d >= 2.0 ? d : 2.0;
    dk[l] = d > top_z ? top_z : d;
  }
  int ni[W];
  int nj[W];
  int nk[W];
  for (int l = 0; l < W; ++l) {
    ni[l] = static_cast<int>(di[l]) - 1;
    nj[l] = static_cast<int>(dj[l]) - 1;
    nk[l] = static_cast<int>(dk[l]) - 1;
  }
  double gx[W];
  double gy[W];
  double gz[W];
  for (int l = 0; l < W; ++l) {
    gx[l] = t.x[static_cast<std::size_t>(ni[l])];
    gy[l] = t.y[static_cast<std::size_t>(nj[l])];
    gz[l] = t.z[static_cast<std::size_t>(nk[l])];
  }
  const std::ptrdiff_t nc = t.ncomp;
  LaneStencils<W> s;
  for (int l = 0; l < W; ++l) {
    const double p = (xm[l] - gx[l]) * t.inv_hx;
    const double q = (ym[l] - gy[l]) * t.inv_hy;
    const double r = (zm[l] - gz[l]) * t.inv_hz;
    const double p2 = p * p, q2 = q * q, r2 = r * r;
    s.w[0][l] = 1.0 - p2 - q2 - r2;
    s.w[1][l] = 0.5 * (p2 + p);
    s.w[2][l] = 0.5 * (p2 - p);
    s.w[3][l] = 0.5 * (q2 + q);
    s.w[4][l] = 0.5 * (q2 - q);
    s.w[5][l] = 0.5 * (r2 + r);
    s.w[6][l] = 0.5 * (r2 - r);
    s.w[7][l] = 0.25 * p * q;
    s.w[8][l] = 0.25 * p * r;
    s.w[9][l] = 0.25 * q * r;
  }
  for (int l = 0; l < W; ++l)
    s.f[l] = t.nodes.data() +
             (static_cast<std::ptrdiff_t>(nk[l]) * kTableNy + nj[l]) * kTableNx * nc + ni[l] * nc;
  const std::ptrdiff_t X = nc;
  const std::ptrdiff_t Y = nc * kTableNx;
  const std::ptrdiff_t Z = nc * kTableNx * kTableNy;
  // The sums of the wanted held components, unmirrored; the others are 0.
  double te[3][W] = {};
  double tb[3][W] = {};
  if (e && b) {
    Double4 lo[W];
    Double2 hi[W];
    stencil_sums<W>(s, X, Y, Z, 0, lo);
    stencil_sums<W>(s, X, Y, Z, 4, hi);
    for (int l = 0; l < W; ++l) {
      te[0][l] = lo[l][0];
      te[1][l] = lo[l][1];
      te[2][l] = lo[l][2];
      tb[0][l] = lo[l][3];
      tb[1][l] = hi[l][0];
      tb[2][l] = hi[l][1];
    }
  } else if (e || b) {
    Double4 run[W];
    stencil_sums<W>(s, X, Y, Z, e ? 0 : static_cast<int>(3 - t.first_comp), run);
    double (&held)[3][W] = e ? te : tb;
    for (int l = 0; l < W; ++l)
      for (int c = 0; c < 3; ++c) held[c][l] = run[l][c];
  }
  // Signs of the mirrored components, then the field of the lanes that have
  // one. A mirrored point has every component multiplied by its sign, the
  // product of the signs of its mirrored axes, the zeros of the components
  // not given too (a zero may become -0). The signs are +-1, so their
  // product is the same exact value in any order.
  const MirrorRules& m = g.mirror;
  double one[W];
  double keep[W];
  for (int l = 0; l < W; ++l) {
    one[l] = 1.0;
    keep[l] = field[l] ? 1.0 : 0.0;
  }
  double sign[6][W];
  for (int c = 0; c < 6; ++c) {
    const double* ax = m.sign[0][c] < 0.0 ? fx : one;
    const double* ay = m.sign[1][c] < 0.0 ? fy : one;
    const double* az = m.sign[2][c] < 0.0 ? fz : one;
    for (int l = 0; l < W; ++l) sign[c][l] = ax[l] * ay[l] * az[l];
  }
  for (int c = 0; c < 3; ++c)
    for (int l = 0; l < W; ++l) {
      const double ve = te[c][l] * sign[c][l];
      const double vb = tb[c][l] * sign[c + 3][l];
      E[c][l] = keep[l] != 0.0 ? ve : 0.0;
      B[c][l] = keep[l] != 0.0 ? vb : 0.0;
    }
}

}  // namespace linac::table_lanes
