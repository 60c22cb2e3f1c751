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

using Double4 = double __attribute__((vector_size(32)));
using Double2 = table_inline::Double2;
using Mask4 = long __attribute__((vector_size(32)));  // per lane all ones or zero

inline void load(const double* p, Double4& v) { std::memcpy(&v, p, sizeof v); }
inline void load(const double* p, Double2& v) { std::memcpy(&v, p, sizeof v); }

// Stencil of one lane: the central node's first held component and the ten
// weights of the 19-point formula (w0, wxp, wxm, wyp, wym, wzp, wzm, wxy,
// wxz, wyz).
template <int W>
struct LaneStencils {
  static_assert(W == 4, "the lanes fill one vector of four doubles");
  const double* f[W];
  Double4 w[10];
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

// Rows r[l] (the components of lane l) into columns c0..c3 (one component
// of every lane): only moves, no arithmetic.
inline void transpose(const Double4 (&r)[4], Double4& c0, Double4& c1, Double4& c2, Double4& c3) {
  using Index = long __attribute__((vector_size(32)));
  const Double4 a = __builtin_shuffle(r[0], r[1], Index{0, 4, 2, 6});
  const Double4 b = __builtin_shuffle(r[0], r[1], Index{1, 5, 3, 7});
  const Double4 c = __builtin_shuffle(r[2], r[3], Index{0, 4, 2, 6});
  const Double4 d = __builtin_shuffle(r[2], r[3], Index{1, 5, 3, 7});
  c0 = __builtin_shuffle(a, c, Index{0, 1, 4, 5});
  c1 = __builtin_shuffle(b, d, Index{0, 1, 4, 5});
  c2 = __builtin_shuffle(a, c, Index{2, 3, 6, 7});
  c3 = __builtin_shuffle(b, d, Index{2, 3, 6, 7});
}

// Node numbers trunc(d) + 2 kept within [2, top] of four lanes (a NaN
// gives 2), d first kept within [-1, top] so that its conversion to an
// integer truncates it exactly.
inline void central_nodes(Double4 d, int top, int (&node)[4]) {
  const Double4 lo = Double4{} - 1.0;
  const Double4 hi = Double4{} + static_cast<double>(top);
  d = d >= lo ? d : lo;
  d = d <= hi ? d : hi;
  for (int l = 0; l < 4; ++l) {
    const int n = static_cast<int>(d[l]) + 2;
    node[l] = n < 2 ? 2 : (n > top ? top : n);
  }
}

// The static table field at the W points of active lanes (unscaled, as
// static_table_field gives it): inside[l] is false for an inactive lane and
// for a point of 0 <= z <= L outside the aperture; lanes without field
// (inactive, lost, outside the element's or the table's z range) get +0.
// The per-lane arithmetic is written on vectors of the four lanes (V, with
// masks M of all ones or zero per lane) so that it needs no branches.
template <int W>
inline void static_table_field_lanes(const Table3D& t, const StaticTableGeometry& g,
                                     const double* x, const double* y, const double* z,
                                     const bool* active, double (&E)[3][W], double (&B)[3][W],
                                     bool* inside) {
  static_assert(W == 4, "the lanes fill one vector of four doubles");
  using V = Double4;
  using M = Mask4;
  const V zero{};
  const V one = zero + 1.0;
  V vx;
  V vy;
  V vz;
  std::memcpy(&vx, x, sizeof vx);
  std::memcpy(&vy, y, sizeof vy);
  std::memcpy(&vz, z, sizeof vz);
  M act;
  for (int l = 0; l < W; ++l) act[l] = active[l] ? -1 : 0;
  // Aperture: an ellipse (aper_y < 0), a rectangle (> 0) or none; the kind
  // of aperture is the element's, the same for every lane. (The absolute
  // values may keep the sign of a zero: only squares and comparisons of
  // them follow.)
  M lost = act & 0;
  if (g.aper_y != 0.0) {
    V u = vx / g.aper_x;
    V v = vy / g.aper_y;
    u = u < zero ? -u : u;
    v = v < zero ? -v : v;
    if (g.aper_y < 0.0)
      lost = u * u + v * v >= one;
    else
      lost = (u > one) | (v > one);
  }
  const M in_z = ~((vz < zero) | (vz > zero + g.L));
  lost = in_z & lost;
  const M live = act & ~lost;
  for (int l = 0; l < W; ++l) inside[l] = live[l] != 0;
  const V dz = vz - 0.5 * g.L;
  const V z_half = zero + t.z[kTableNz - 1];
  const M field = live & in_z & ~((dz > z_half) | (dz < -z_half));
  bool any = false;
  for (int l = 0; l < W; ++l) any = any || field[l] != 0;
  if (!any) {
    for (int c = 0; c < 3; ++c)
      for (int l = 0; l < W; ++l) {
        E[c][l] = 0.0;
        B[c][l] = 0.0;
      }
    return;
  }
  const bool want_e = g.kind == kKindE || g.kind == kKindEB;
  const bool want_b = g.kind == kKindB || g.kind == kKindEB;
  const bool e = want_e && t.holds_e();
  const bool b = want_b && t.holds_b();
  // The point mirrored into the stored part; per axis the lanes mirrored
  // on it.
  const M mx = t.sym[0] == 1 ? vx < zero : act & 0;
  const M my = t.sym[1] == 1 ? vy < zero : act & 0;
  const M mz = t.sym[2] == 1 ? dz < zero : act & 0;
  const V xm = mx ? -vx : vx;
  const V ym = my ? -vy : vy;
  const V zm = mz ? -dz : dz;
  // Central nodes (as table_inline::central_node: any value, a NaN too,
  // gives a node whose stencil lies inside the table) and the weights. The
  // node number there is trunc(d) + 2 kept within [2, top]; here d is first
  // kept within [-1, top] (a NaN becomes -1), which changes no node, and
  // then truncated by its conversion to an integer.
  const V di = (xm - t.x[0] - 0.5 * t.hx) * t.inv_hx;
  const V dj = (ym - t.y[0] - 0.5 * t.hy) * t.inv_hy;
  const V dk = (zm - t.z[0] - 0.5 * t.hz) * t.inv_hz;
  int ni[W];
  int nj[W];
  int nk[W];
  central_nodes(di, kTableNx - 1, ni);
  central_nodes(dj, kTableNy - 1, nj);
  central_nodes(dk, kTableNz - 1, nk);
  const std::ptrdiff_t nc = t.ncomp;
  LaneStencils<W> s;
  V gx;
  V gy;
  V gz;
  for (int l = 0; l < W; ++l) {
    const int i = ni[l] - 1;
    const int j = nj[l] - 1;
    const int k = nk[l] - 1;
    gx[l] = t.x[static_cast<std::size_t>(i)];
    gy[l] = t.y[static_cast<std::size_t>(j)];
    gz[l] = t.z[static_cast<std::size_t>(k)];
    s.f[l] = t.nodes.data() + (static_cast<std::ptrdiff_t>(k) * kTableNy + j) * kTableNx * nc + i * nc;
  }
  {
    const V p = (xm - gx) * t.inv_hx;
    const V q = (ym - gy) * t.inv_hy;
    const V r = (zm - gz) * t.inv_hz;
    const V p2 = p * p, q2 = q * q, r2 = r * r;
    s.w[0] = 1.0 - p2 - q2 - r2;
    s.w[1] = 0.5 * (p2 + p);
    s.w[2] = 0.5 * (p2 - p);
    s.w[3] = 0.5 * (q2 + q);
    s.w[4] = 0.5 * (q2 - q);
    s.w[5] = 0.5 * (r2 + r);
    s.w[6] = 0.5 * (r2 - r);
    s.w[7] = 0.25 * p * q;
    s.w[8] = 0.25 * p * r;
    s.w[9] = 0.25 * q * r;
  }
  const std::ptrdiff_t X = nc;
  const std::ptrdiff_t Y = nc * kTableNx;
  const std::ptrdiff_t Z = nc * kTableNx * kTableNy;
  // The sums of the wanted held components, unmirrored; the others are 0.
  V te[3] = {zero, zero, zero};
  V tb[3] = {zero, zero, zero};
  if (e && b) {
    Double4 lo[W];
    Double2 hi[W];
    stencil_sums<W>(s, X, Y, Z, 0, lo);
    stencil_sums<W>(s, X, Y, Z, 4, hi);
    transpose(lo, te[0], te[1], te[2], tb[0]);
    for (int l = 0; l < W; ++l) {
      tb[1][l] = hi[l][0];
      tb[2][l] = hi[l][1];
    }
  } else if (e || b) {
    Double4 run[W];
    stencil_sums<W>(s, X, Y, Z, e ? 0 : static_cast<int>(3 - t.first_comp), run);
    V* held = e ? te : tb;
    V unused;
    transpose(run, held[0], held[1], held[2], unused);
  }
  // Signs of the mirrored components, then the field of the lanes that have
  // one. A mirrored point has every component multiplied by its sign, the
  // product of the signs of its mirrored axes, the zeros of the components
  // not given too (a zero may become -0). Multiplying by -1 only flips the
  // sign bit, so the component is negated where an odd number of the lane's
  // mirrored axes change its sign.
  const MirrorRules& m = g.mirror;
  for (int c = 0; c < 6; ++c) {
    const M flip = (mx & m.flip[c][0]) ^ (my & m.flip[c][1]) ^ (mz & m.flip[c][2]);
    const V held = c < 3 ? te[c] : tb[c - 3];
    const V v = flip ? -held : held;
    const V out = field ? v : zero;
    std::memcpy(c < 3 ? E[c] : B[c - 3], &out, sizeof out);
  }
}

// The element's scale factors on the lanes' field: E := es E with es =
// escale, or escale cos(t) per lane when cos_t; B := bscale B.
template <int W>
inline void scale_lanes(double escale, double bscale, bool cos_t, const double* t,
                        const bool* active, double (&E)[3][W], double (&B)[3][W]) {
  static_assert(W == 4, "the lanes fill one vector of four doubles");
  Double4 es = Double4{} + escale;
  if (cos_t)
    for (int l = 0; l < W; ++l) es[l] = escale * std::cos(active[l] ? t[l] : 0.0);
  for (int k = 0; k < 3; ++k) {
    Double4 e;
    Double4 b;
    std::memcpy(&e, E[k], sizeof e);
    std::memcpy(&b, B[k], sizeof b);
    e = es * e;
    b = bscale * b;
    std::memcpy(E[k], &e, sizeof e);
    std::memcpy(B[k], &b, sizeof b);
  }
}

}  // namespace linac::table_lanes
