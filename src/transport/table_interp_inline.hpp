// The 19-point interpolation in a static 3-D field table and the aperture
// and mirror rules of the static table elements, as inline functions: the
// particle loops of the table drivers evaluate them in place (no call per
// field evaluation); table_interp.cpp exports the same routines.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>

#include "transport/field_tables.hpp"

namespace linac::table_inline {

// Central node (0-based) of the three-node stencil along one axis: the node
// nearest the point inside the grid, limited so the stencil stays inside.
// The limits are comparisons rather than fmin/fmax calls; a NaN offset takes
// the lower limit as fmax would give it.
inline int central_node(double u, double first, double h, double inv_h, int n) {
  double d = std::trunc((u - first - 0.5 * h) * inv_h) + 2.0;
  if (!(d >= 2.0)) d = 2.0;
  const double top = static_cast<double>(n - 1);
  if (d > top) d = top;
  return static_cast<int>(d) - 1;
}

// Weights of the 19-point formula, shared by every component.
struct Stencil {
  const double* f;  // the central node's first held component
  std::ptrdiff_t sx, sy, sz;
  double w0, wxp, wxm, wyp, wym, wzp, wzm, wxy, wxz, wyz;
};

inline Stencil make_stencil(const Table3D& t, double x, double y, double z) {
  const int i = central_node(x, t.x[0], t.hx, t.inv_hx, kTableNx);
  const int j = central_node(y, t.y[0], t.hy, t.inv_hy, kTableNy);
  const int k = central_node(z, t.z[0], t.hz, t.inv_hz, kTableNz);
  const double p = (x - t.x[i]) * t.inv_hx;
  const double q = (y - t.y[j]) * t.inv_hy;
  const double r = (z - t.z[k]) * t.inv_hz;
  Stencil s;
  const std::ptrdiff_t nc = t.ncomp;
  s.sx = nc;
  s.sy = nc * kTableNx;
  s.sz = nc * kTableNx * kTableNy;
  s.f = t.nodes.data() + (static_cast<std::ptrdiff_t>(k) * kTableNy + j) * kTableNx * nc + i * nc;
  const double p2 = p * p, q2 = q * q, r2 = r * r;
  s.w0 = 1.0 - p2 - q2 - r2;
  s.wxp = 0.5 * (p2 + p);
  s.wxm = 0.5 * (p2 - p);
  s.wyp = 0.5 * (q2 + q);
  s.wym = 0.5 * (q2 - q);
  s.wzp = 0.5 * (r2 + r);
  s.wzm = 0.5 * (r2 - r);
  s.wxy = 0.25 * p * q;
  s.wxz = 0.25 * p * r;
  s.wyz = 0.25 * q * r;
  return s;
}

// Two neighbouring held components at once (offset c0 and c0 + 1 within
// the node) in one vector register: each of the two gets exactly the
// operations of apply_stencil in the same order.
using Double2 = double __attribute__((vector_size(16)));

inline Double2 load2(const double* p) {
  Double2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void apply_stencil_pair(const Stencil& s, int c0, double* out) {
  const std::ptrdiff_t X = s.sx, Y = s.sy, Z = s.sz;
  const double* f = s.f + c0;
  const Double2 r =
      s.w0 * load2(f) + s.wxp * load2(f + X) + s.wxm * load2(f - X) + s.wyp * load2(f + Y) +
      s.wym * load2(f - Y) + s.wzp * load2(f + Z) + s.wzm * load2(f - Z) +
      s.wxy * (load2(f + X + Y) + load2(f - X - Y) - load2(f - X + Y) - load2(f + X - Y)) +
      s.wxz * (load2(f + X + Z) + load2(f - X - Z) - load2(f - X + Z) - load2(f + X - Z)) +
      s.wyz * (load2(f + Y + Z) + load2(f - Y - Z) - load2(f - Y + Z) - load2(f + Y - Z));
  out[0] = r[0];
  out[1] = r[1];
}

// Held components c0 .. c0 + n - 1, two at a time, the odd one alone.
inline void apply_stencil_range(const Stencil& s, int c0, int n, double* out) {
  int c = 0;
  for (; c + 1 < n; c += 2) apply_stencil_pair(s, c0 + c, out + c);
  if (c < n) {
    const std::ptrdiff_t X = s.sx, Y = s.sy, Z = s.sz;
    const double* f = s.f + c0 + c;
    out[c] = s.w0 * f[0] + s.wxp * f[X] + s.wxm * f[-X] + s.wyp * f[Y] + s.wym * f[-Y] +
             s.wzp * f[Z] + s.wzm * f[-Z] + s.wxy * (f[X + Y] + f[-X - Y] - f[-X + Y] - f[X - Y]) +
             s.wxz * (f[X + Z] + f[-X - Z] - f[-X + Z] - f[X - Z]) +
             s.wyz * (f[Y + Z] + f[-Y - Z] - f[-Y + Z] - f[Y - Z]);
  }
}

// E and B of the table at (x, y, z) (z from the table middle, in the stored
// part), the components `kind` asks for; the others are left as they are.
inline void interp3d(const Table3D& t, int kind, double x, double y, double z, Vec3& E, Vec3& B) {
  const bool want_e = kind == kKindE || kind == kKindEB;
  const bool want_b = kind == kKindB || kind == kKindEB;
  if (!want_e && !want_b) return;
  const Stencil s = make_stencil(t, x, y, z);
  // The wanted held components form one run of the node: Ex..Ez, Bx..Bz
  // or all six.
  const bool e = want_e && t.holds_e();
  const bool b = want_b && t.holds_b();
  double out[6];
  if (e && b) {
    apply_stencil_range(s, 0, 6, out);
    E = {out[0], out[1], out[2]};
    B = {out[3], out[4], out[5]};
    return;
  }
  if (want_e) {
    if (e) {
      apply_stencil_range(s, 0, 3, out);
      E = {out[0], out[1], out[2]};
    } else {
      E = {0.0, 0.0, 0.0};
    }
  }
  if (want_b) {
    if (b) {
      apply_stencil_range(s, 3 - t.first_comp, 3, out);
      B = {out[0], out[1], out[2]};
    } else {
      B = {0.0, 0.0, 0.0};
    }
  }
}

// Mirrors the point into the stored part of the table and applies the sign
// rules of the mirrored components.
inline void interp_mirrored(const Table3D& t, int kind, const MirrorRules& m, double x, double y,
                            double dz, Vec3& E, Vec3& B) {
  const bool mx = t.sym[0] == 1 && x < 0.0;
  const bool my = t.sym[1] == 1 && y < 0.0;
  const bool mz = t.sym[2] == 1 && dz < 0.0;
  interp3d(t, kind, mx ? -x : x, my ? -y : y, mz ? -dz : dz, E, B);
  if (!(mx || my || mz)) return;
  for (int c = 0; c < 3; ++c) {
    double se = 1.0, sb = 1.0;
    if (mx) se *= m.sign[0][c], sb *= m.sign[0][c + 3];
    if (my) se *= m.sign[1][c], sb *= m.sign[1][c + 3];
    if (mz) se *= m.sign[2][c], sb *= m.sign[2][c + 3];
    E[c] *= se;
    B[c] *= sb;
  }
}

// The static table field with the element's aperture (see field_table_a).
inline TableHit static_table_field(const Table3D& t, const StaticTableGeometry& g, double x,
                                   double y, double z, Vec3& E, Vec3& B) {
  E = {0.0, 0.0, 0.0};
  B = {0.0, 0.0, 0.0};
  if (z < 0.0 || z > g.L) return TableHit::outside;
  if (g.aper_y < 0.0) {
    const double u = std::abs(x / g.aper_x);
    const double v = std::abs(y / g.aper_y);
    if (u * u + v * v >= 1.0) return TableHit::lost;
  } else if (g.aper_y > 0.0) {
    const double u = std::abs(x / g.aper_x);
    const double v = std::abs(y / g.aper_y);
    if (u > 1.0 || v > 1.0) return TableHit::lost;
  }
  const double dz = z - 0.5 * g.L;
  if (std::abs(dz) > t.z[kTableNz - 1]) return TableHit::inside;
  interp_mirrored(t, g.kind, g.mirror, x, y, dz, E, B);
  return TableHit::inside;
}

}  // namespace linac::table_inline
