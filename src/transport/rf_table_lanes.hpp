// The field of an RF table (rf_table_field) at W points at once for the
// lockstep push: the region and aperture verdicts and the mirror signs of
// all lanes together on vector registers, the 19-point interpolation lane
// by lane in place (no call per point). Each lane performs exactly the
// operations of rf_table_field in the same order, so the values are bit for
// bit those of one point at a time.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>

#include "transport/field_tables.hpp"
#include "transport/table_interp_inline.hpp"

namespace linac {

// The six held components Ex..Bz of an E+B table at a stencil: Ex..Bz in
// one four-wide and one two-wide vector (one register each where the
// processor has them). Each component gets exactly the operations of
// apply_stencil_range in the same order.
inline void apply_stencil_six(const table_inline::Stencil& s, double* out) {
  using Double4 = double __attribute__((vector_size(32)));
  const std::ptrdiff_t X = s.sx, Y = s.sy, Z = s.sz;
  const double* f = s.f;
  // The sum of the scalar formula, term by term from the left.
  Double4 a, b, c, d;
  auto at = [f](Double4& v, std::ptrdiff_t k) { std::memcpy(&v, f + k, sizeof v); };
  auto cross = [&](std::ptrdiff_t u, std::ptrdiff_t w, Double4& g) {
    at(a, u + w);
    at(b, -u - w);
    at(c, -u + w);
    at(d, u - w);
    g = a + b - c - d;
  };
  Double4 r, g;
  at(a, 0);
  r = s.w0 * a;
  at(a, X);
  r = r + s.wxp * a;
  at(a, -X);
  r = r + s.wxm * a;
  at(a, Y);
  r = r + s.wyp * a;
  at(a, -Y);
  r = r + s.wym * a;
  at(a, Z);
  r = r + s.wzp * a;
  at(a, -Z);
  r = r + s.wzm * a;
  cross(X, Y, g);
  r = r + s.wxy * g;
  cross(X, Z, g);
  r = r + s.wxz * g;
  cross(Y, Z, g);
  r = r + s.wyz * g;
  std::memcpy(out, &r, sizeof r);
  table_inline::apply_stencil_pair(s, 4, out + 4);
}

// E and B (V/cm and G, unit amplitude, no time dependence) of the table at
// the W points of active lanes (x, y transverse, z from the element
// entrance, cm). inside[l] is false for an inactive lane and for a point
// within the table's z range at r >= aperture_r (lost, no field); beyond
// the table's z range the field is zero and the point is not lost.
// Inactive lanes get zero field.
template <int W>
inline void rf_table_field_lanes(const Table3D& t, double L, double aperture_r, const double* x,
                                 const double* y, const double* z, const bool* active,
                                 double (&E)[3][W], double (&B)[3][W], bool* inside) {
  const double z_last = t.z[kTableNz - 1];
  const double r2_max = aperture_r * aperture_r;
  const bool sym_x = t.sym[0] == 1;
  const bool sym_y = t.sym[1] == 1;
  const bool sym_z = t.sym[2] == 1;
  // Verdicts and the mirrored point of every lane, branch-free. A point the
  // table gives no field for keeps +0 (no sign is applied to it).
  double dz[W];
  bool field[W];
  bool mx[W];
  bool my[W];
  bool mz[W];
  for (int l = 0; l < W; ++l) {
    dz[l] = z[l] - 0.5 * L;
    const bool in_z = !(std::abs(dz[l]) > z_last);
    const bool lost = in_z && x[l] * x[l] + y[l] * y[l] >= r2_max;
    inside[l] = active[l] && !lost;
    field[l] = active[l] && in_z && !lost;
    mx[l] = field[l] && sym_x && x[l] < 0.0;
    my[l] = field[l] && sym_y && y[l] < 0.0;
    mz[l] = field[l] && sym_z && dz[l] < 0.0;
  }
  // A table holding all six components interpolates them together.
  const bool six = t.holds_e() && t.holds_b();
  double F[6][W];
  for (int l = 0; l < W; ++l) {
    Vec3 e{0.0, 0.0, 0.0};
    Vec3 b{0.0, 0.0, 0.0};
    const double xm = mx[l] ? -x[l] : x[l];
    const double ym = my[l] ? -y[l] : y[l];
    const double zm = mz[l] ? -dz[l] : dz[l];
    if (field[l] && six) {
      double out[6];
      apply_stencil_six(table_inline::make_stencil(t, xm, ym, zm), out);
      for (int c = 0; c < 6; ++c) F[c][l] = out[c];
      continue;
    }
    if (field[l]) table_inline::interp3d(t, kKindEB, xm, ym, zm, e, b);
    for (int c = 0; c < 3; ++c) {
      F[c][l] = e[c];
      F[c + 3][l] = b[c];
    }
  }
  // Ez odd about the middle, B circling the axis: each mirror negates the
  // components it reverses, so a component changes sign when an odd number
  // of its mirrors apply (negation is exact, the order does not matter).
  for (int l = 0; l < W; ++l) {
    E[0][l] = mx[l] ? -F[0][l] : F[0][l];
    E[1][l] = my[l] ? -F[1][l] : F[1][l];
    E[2][l] = mz[l] ? -F[2][l] : F[2][l];
    B[0][l] = my[l] != mz[l] ? -F[3][l] : F[3][l];
    B[1][l] = mx[l] != mz[l] ? -F[4][l] : F[4][l];
    B[2][l] = mx[l] != my[l] ? -F[5][l] : F[5][l];
  }
}

// The time dependence of the RF field on W lanes: E := amp cos(phi) E and
// B := amp sin(phi) B with phi = phase + t[l], the cosine and sine of an
// active lane taken as for one point at a time. Inactive lanes keep zero.
template <int W>
inline void rf_time_factors_lanes(double amp, double phase, const double* t, const bool* active,
                                  double (&E)[3][W], double (&B)[3][W]) {
  double ce[W];
  double sb[W];
  for (int l = 0; l < W; ++l) {
    ce[l] = 0.0;
    sb[l] = 0.0;
    if (!active[l]) continue;
    const double phi = phase + t[l];
    ce[l] = amp * std::cos(phi);
    sb[l] = amp * std::sin(phi);
  }
  for (int k = 0; k < 3; ++k)
    for (int l = 0; l < W; ++l) {
      E[k][l] = ce[l] * E[k][l];
      B[k][l] = sb[l] * B[k][l];
    }
}

}  // namespace linac
