// Interpolation in the 3-D and 2-D field tables, their mirror rules and
// apertures, and the superimposed field of the ebfld command.
#include <cmath>

#include "transport/field_tables.hpp"
#include "transport/table_interp_inline.hpp"

namespace linac {

double Table3D::node(int c, int i, int j, int k) const {
  if (c < first_comp || c >= first_comp + ncomp) return 0.0;
  const std::size_t n = (static_cast<std::size_t>(k) * kTableNy + j) * kTableNx + i;
  return nodes[n * ncomp + (c - first_comp)];
}

void Table3D::set_spacings() {
  hx = x[1] - x[0];
  hy = y[1] - y[0];
  hz = z[1] - z[0];
  inv_hx = 1.0 / hx;
  inv_hy = 1.0 / hy;
  inv_hz = 1.0 / hz;
}

MirrorRules static_mirror_rules(int table_kind, int table_sym) {
  MirrorRules m;
  for (auto& axis : m.sign) axis.fill(1.0);
  enum { Ex, Ey, Ez, Bx, By, Bz };
  enum { X, Y, Z };
  if (table_kind == kKindE) {
    switch (table_sym) {
      case 0:  // potential even in x, y and z (lenses)
      case 2:  // quadrupoles
        m.sign[X][Ex] = m.sign[Y][Ey] = m.sign[Z][Ez] = -1.0;
        break;
      case 1:  // potential odd in y (vertical deflector)
        m.sign[X][Ex] = -1.0;
        m.sign[Y][Ex] = m.sign[Y][Ez] = -1.0;
        m.sign[Z][Ez] = -1.0;
        break;
      case 3:  // potential odd in x (hexapole)
        m.sign[X][Ey] = m.sign[X][Ez] = -1.0;
        m.sign[Y][Ey] = -1.0;
        m.sign[Z][Ez] = -1.0;
        break;
      default:
        break;
    }
  } else if (table_kind == kKindB && table_sym == 0) {
    // Solenoid: Bz even, Bx odd in x, By odd in y, both odd in z.
    m.sign[X][Bx] = -1.0;
    m.sign[Y][By] = -1.0;
    m.sign[Z][Bx] = m.sign[Z][By] = -1.0;
  }
  for (int c = 0; c < 6; ++c)
    for (int a = 0; a < 3; ++a) m.flip[c][a] = m.sign[a][c] < 0.0 ? -1L : 0L;
  return m;
}

void table_interp3d(const Table3D& t, int kind, double x, double y, double z, Vec3& E, Vec3& B) {
  table_inline::interp3d(t, kind, x, y, z, E, B);
}

TableHit field_table_a(const Table3D& t, const StaticTableGeometry& g, double x, double y,
                       double z, Vec3& E, Vec3& B) {
  return table_inline::static_table_field(t, g, x, y, z, E, B);
}

TableHit rf_table_field(const Table3D& t, double L, double aperture_r, double x, double y,
                        double z, Vec3& E, Vec3& B) {
  E = {0.0, 0.0, 0.0};
  B = {0.0, 0.0, 0.0};
  const double dz = z - 0.5 * L;
  if (std::abs(dz) > t.z[kTableNz - 1]) return TableHit::outside;
  if (x * x + y * y >= aperture_r * aperture_r) return TableHit::lost;
  const bool mx = t.sym[0] == 1 && x < 0.0;
  const bool my = t.sym[1] == 1 && y < 0.0;
  const bool mz = t.sym[2] == 1 && dz < 0.0;
  table_inline::interp3d(t, kKindEB, mx ? -x : x, my ? -y : y, mz ? -dz : dz, E, B);
  // Ez odd about the middle, B circling the axis.
  if (mx) E[0] = -E[0], B[1] = -B[1], B[2] = -B[2];
  if (my) E[1] = -E[1], B[0] = -B[0], B[2] = -B[2];
  if (mz) E[2] = -E[2], B[0] = -B[0], B[1] = -B[1];
  return TableHit::inside;
}

void ebfld_field(const Table3D& t, const EbfldGeom& g, double x, double y, double zz, Vec3& E,
                 Vec3& B) {
  E = {0.0, 0.0, 0.0};
  B = {0.0, 0.0, 0.0};
  if (zz < 0.0 || zz > g.ebfld_len) return;
  if (x * x + y * y >= g.ebfld_radius * g.ebfld_radius) return;
  const double d = zz - 0.5 * g.ebfld_len;
  if (std::abs(d) > t.z[kTableNz - 1]) return;
  table_inline::interp3d(t, kKindEB, x, y, d, E, B);
}

// ---------------------------------------------------------------- 2-D

void table2d_interp(const Table2D& t, double z, double u, double& f1, double& f2) {
  // Node numbers trunc(d) + 2 kept within [2, n - 1], the limits taken in
  // floating point so that any d (far outside the grid, NaN: the lower
  // limit) converts to an integer.
  auto node = [](double d, int n) {
    double k = std::trunc(d) + 2.0;
    if (k >= n) k = n - 1;
    if (!(k >= 2.0)) k = 2.0;
    return static_cast<int>(k);
  };
  const int kz = node((z - 0.5 * t.hz) / t.hz, t.nz);
  const int ku = node((u - t.u1 - 0.5 * t.du) / t.du, t.nu);
  // 1-based node numbers kz, ku; 0-based indices below.
  const int b = kz - 1;
  const int a = ku - 1;
  const double pz = (z - (kz - 1) * t.hz) / t.hz;
  if (t.coord == 3 && u <= t.du) {
    // Paraxial expansion about the axis: the transverse field -(r/2) dEz/dz
    // and the longitudinal node value corrected by -(r^2/4) d2Ez/dz2.
    const double em = t.at(1, 0, b - 1);
    const double e0 = t.at(1, 0, b);
    const double ep = t.at(1, 0, b + 1);
    const double D1 = 0.5 * (ep - em);
    const double D2 = ep - 2.0 * e0 + em;
    const double s = u / t.hz;
    f1 = -0.5 * s * (D1 + pz * D2);
    f2 = e0 - 0.25 * s * s * D2;
    return;
  }
  const double pu = (u - (t.u1 + (ku - 1) * t.du)) / t.du;
  const double wc = 1.0 - pz * pz - pu * pu;
  const double wzp = 0.5 * (pz * pz + pz), wzm = 0.5 * (pz * pz - pz);
  const double wup = 0.5 * (pu * pu + pu), wum = 0.5 * (pu * pu - pu);
  const double wx = 0.25 * pz * pu;
  double f[2];
  for (int c = 0; c < 2; ++c) {
    f[c] = wc * t.at(c, a, b) + wzp * t.at(c, a, b + 1) + wzm * t.at(c, a, b - 1) +
           wup * t.at(c, a + 1, b) + wum * t.at(c, a - 1, b) +
           wx * (t.at(c, a + 1, b + 1) + t.at(c, a - 1, b - 1) - t.at(c, a + 1, b - 1) -
                 t.at(c, a - 1, b + 1));
  }
  f1 = f[0];
  f2 = f[1];
}

TableHit table2d_field(const Table2D& t, double L, double aperture_r, double x, double y,
                       double z, Vec3& E, Vec3& B) {
  E = {0.0, 0.0, 0.0};
  B = {0.0, 0.0, 0.0};
  if (z < 0.0 || z > L) return TableHit::outside;
  const double r = std::sqrt(x * x + y * y);
  // The aperture first: a particle beyond the table's transverse range is
  // lost as well when it is outside the aperture.
  if (r >= aperture_r) return TableHit::lost;
  const double u = t.coord == 1 ? x : (t.coord == 2 ? y : r);
  if (u < t.u1 || u > t.u_last || z > t.z_last - t.z1) return TableHit::inside;
  double f1 = 0.0, f2 = 0.0;
  table2d_interp(t, z, u, f1, f2);
  Vec3& F = t.field_kind == 2 ? B : E;
  if (r > 0.0) {
    F[0] = f1 * x / r;
    F[1] = f1 * y / r;
  }
  F[2] = f2;
  return TableHit::inside;
}

}  // namespace linac
