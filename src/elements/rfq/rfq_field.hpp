// The electric field of an RFQ cell: the gradient of the cell's multipole
// potential (by cell type), or V times its static 3-D table. Every kind is a
// small value type with its constants folded once per cell; field(x, y, z,
// E) gives E in V/cm for the cell's full inter-vane voltage V at a point of
// the cell frame (z from the cell entrance, cm) and says whether the point
// lies inside the table's aperture (always true for the analytic kinds).
// The time dependence cos(rf_phase + t) and the vane aperture are applied
// by RfqSource, the field source that the stepping loop is instantiated on.
#pragma once

#include <array>
#include <atomic>
#include <cmath>
#include <string>
#include <variant>

#include "elements/rfq/rfq_cells.hpp"
#include "transport/field_at.hpp"
#include "transport/field_tables.hpp"

namespace linac {

struct ElementsContext;

// Angles of a point: r, cos(theta), sin(theta), with the axis moved to
// (1e-6, 0) as every field routine sees it.
struct RfqPolar {
  double x, y, r, c, s;
  RfqPolar(double x0, double y0) : x(x0), y(y0) {
    r = std::sqrt(x * x + y * y);
    if (r < kAxisShift) {
      x = kAxisShift;
      y = 0.0;
      r = kAxisShift;
    }
    c = x / r;
    s = y / r;
  }
  // E from its cylindrical components.
  void to_xy(double Er, double Et, double Ez, Vec3& E) const {
    E[0] = Er * c - Et * s;
    E[1] = Er * s + Et * c;
    E[2] = Ez;
  }
};

// cos(kz) and sin(kz) at the stage positions of one step (z0, z0 + h/2
// twice, z0 + h), which every particle of a push in z shares; other z are
// computed.
struct RfqZTrig {
  int count = 0;
  std::array<double, 4> z{}, c{}, s{};
  void prepare(double k, double z0, double h) {
    const double h2 = h / 2.0;
    const double zs = z0 + h2;
    z = {z0, zs, zs + h2, z0 + h};
    for (std::size_t j = 0; j < 4; ++j) {
      c[j] = std::cos(k * z[j]);
      s[j] = std::sin(k * z[j]);
    }
    count = 4;
  }
  void at(double k, double zz, double& cz, double& sz) const {
    for (int j = 0; j < count; ++j)
      if (z[static_cast<std::size_t>(j)] == zz) {
        cz = c[static_cast<std::size_t>(j)];
        sz = s[static_cast<std::size_t>(j)];
        return;
      }
    cz = std::cos(k * zz);
    sz = std::sin(k * zz);
  }
};

// Regular cell with the two-term potential
// U = Vh [A01 (r/r0)^2 cos 2theta + A10 I0(kr) cos kz], k = pi/L, Vh = V/2.
struct RfqRegular2 {
  double k = 0.0, V = 0.0, A01 = 0.0, A10 = 0.0, r0 = 0.0;
  const RfqBesselTable* bessel = nullptr;
  RfqZTrig trig;
  void prepare_step(double z0, double h) { trig.prepare(k, z0, h); }
  // Inline, with the table lookup, into the particle loop: the call costs
  // as much as the field.
  bool field(double x, double y, double z, Vec3& E) const;
};

inline bool RfqRegular2::field(double x, double y, double z, Vec3& E) const {
  // In Cartesian form: E_r x/r with I1(kr)/r = (k/2) T1(kr), so no angle is
  // needed.
  double xs = x, ys = y;
  double r = std::sqrt(x * x + y * y);
  if (r < kAxisShift) {
    xs = kAxisShift;
    ys = 0.0;
    r = kAxisShift;
  }
  double T0 = 0.0, T1 = 0.0;
  rfq_bessel_ratio01(*bessel, k * r, T0, T1);
  const double kVh = k * 0.5 * V * A10;
  double c1 = 0.0, s1 = 0.0;
  trig.at(k, z, c1, s1);
  const double g = V * A01 / (r0 * r0);
  const double acc = 0.5 * k * kVh * T1 * c1;
  E[0] = -g * xs - acc * xs;
  E[1] = g * ys - acc * ys;
  E[2] = kVh * T0 * s1;
  return true;
}

// Regular cell with all eight terms A01, A10, A03, A12, A21, A23, A30, A32.
struct RfqRegular8 {
  double k = 0.0, V = 0.0, r0 = 0.0;
  double A01 = 0.0, A10 = 0.0, A03 = 0.0, A12 = 0.0, A21 = 0.0, A23 = 0.0, A30 = 0.0, A32 = 0.0;
  const RfqBesselTable* bessel = nullptr;
  RfqZTrig trig;
  void prepare_step(double z0, double h) { trig.prepare(k, z0, h); }
  bool field(double x, double y, double z, Vec3& E) const;
};

// Fall cell: quadrupole and twelve-pole whose strength falls as
// F = (1 + cos(pi (z' - z11)/Dfall))/2 over Dfall from z11 (paraxial
// expansion of a quadrupole of varying strength); z' = z (+1) or L - z (-1,
// E_z reversed).
struct RfqFall {
  int dir = 1;  // +1 or -1
  double L = 0.0, V = 0.0, A01 = 0.0, A03 = 0.0, r0 = 0.0, zb = 0.0, D = 0.0;
  bool field(double x, double y, double z, Vec3& E) const;
};

// Transition of cos^3 shape over Lt = sqrt(3)/2 L: -2 grows towards the
// cell's end, +2 decays from its entrance, where the quadrupole coefficient
// goes over to A01 of the first accelerating cell (A01n0). Radius R.
struct RfqTransCos3 {
  int dir = 1;  // -1 entrance, +1 exit
  double L = 0.0, V = 0.0, A01 = 0.0, A01n0 = 0.0, A10 = 0.0, R = 0.0;
  bool field(double x, double y, double z, Vec3& E) const;
};

// Transition of cosine shape over the axial length d4 (k4 = pi/(2 d4)).
struct RfqTransCos {
  int dir = 1;
  double L = 0.0, V = 0.0, A01 = 0.0, A10 = 0.0, R = 0.0, d4 = 0.0;
  const RfqBesselTable* bessel = nullptr;
  bool field(double x, double y, double z, Vec3& E) const;
};

// Plain quadrupole of the cell's own r0.
struct RfqQuad {
  double V = 0.0, A01 = 0.0, r0 = 0.0;
  bool field(double x, double y, double, Vec3& E) const {
    const RfqPolar p(x, y);
    const double g = V * A01 / (r0 * r0);
    E = {-g * p.x, g * p.y, 0.0};
    return true;
  }
};

// Any other type: no field.
struct RfqFieldFree {
  bool field(double, double, double, Vec3& E) const {
    E = {0.0, 0.0, 0.0};
    return true;
  }
};

// A cell with its own static table (E only): V times the table's field.
struct RfqTableCell {
  const Table3D* table = nullptr;
  StaticTableGeometry geom;
  double V = 0.0;
  bool field(double x, double y, double z, Vec3& E) const {
    Vec3 B;
    const TableHit hit = field_table_a(*table, geom, x, y, z, E, B);
    for (double& e : E) e *= V;
    return hit != TableHit::lost;
  }
};

using RfqCellKind =
    std::variant<RfqRegular2, RfqRegular8, RfqFall, RfqTransCos3, RfqTransCos, RfqQuad,
                 RfqFieldFree, RfqTableCell>;

// The kind of cell i of s with its constants; mode 2 or 8 selects the
// regular cell's terms; table (non-null) makes a table cell with that geometry.
RfqCellKind make_cell_kind(const RfqCellSet& s, int i, int mode, const Table3D* table = nullptr,
                           const StaticTableGeometry& geom = {});

// The mode of a cell: 8 for a regular cell with any of A03..A32 not 0, else 2.
int rfq_cell_mode(const RfqCell& c);

// Evaluates a kind without the aperture (listings, apertures, tests).
inline bool rfq_kind_field(const RfqCellKind& k, double x, double y, double z, Vec3& E) {
  return std::visit([&](const auto& f) { return f.field(x, y, z, E); }, k);
}

// The tolerance of the cell ends: z within 1e-6 cm outside [0, L] is taken
// at the end.
inline constexpr double kRfqZTolerance = 1e-6;

// Field source of one cell for FieldAt: z range, the ellipse of the step's
// vane aperture (half axes ax, ay; on or outside it: lost, E = 0), then the
// kind's field times cos(rf_phase + t). A z outside the cell (beyond the
// tolerance) gives no field and raises z_bad, which the driver turns into
// the run's stop after the particle loop; so does a transverse coordinate
// that is not a number, through xy_bad (without it the field is evaluated
// and comes out NaN).
template <class Kind>
struct RfqSource {
  Kind kind;
  double L = 0.0, ax = 0.0, ay = 0.0, rf_phase = 0.0;
  std::atomic<bool>* z_bad = nullptr;
  std::atomic<bool>* xy_bad = nullptr;

  // What every particle of a step shares (the regular cells' cos kz, sin kz).
  void prepare_step(double z0, double h) {
    if constexpr (requires { kind.prepare_step(z0, h); }) kind.prepare_step(z0, h);
  }

  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    E = {0.0, 0.0, 0.0};
    B = {0.0, 0.0, 0.0};
    double zz = z;
    if (zz < 0.0 && zz >= -kRfqZTolerance) zz = 0.0;
    if (zz > L && zz <= L + kRfqZTolerance) zz = L;
    if (!(zz >= 0.0 && zz <= L)) {
      if (z_bad) z_bad->store(true, std::memory_order_relaxed);
      return true;
    }
    const double u = x / ax;
    const double v = y / ay;
    const double q = u * u + v * v;
    if (!(q < 1.0)) {
      if (q >= 1.0) return false;  // on or outside the vanes
      if (xy_bad) {
        xy_bad->store(true, std::memory_order_relaxed);
        return true;
      }
    }
    const bool inside = kind.field(x, y, zz, E);
    const double ct = std::cos(rf_phase + t);
    for (double& e : E) e *= ct;
    return inside;
  }
};

// The RFQ's field in field_at (element type 9): the current cell of the
// current RFQ with the current aperture and RF phase. A z outside the cell
// stops the run.
bool rfq_field_at(ElementsContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B);

// A point outside its cell: the log.dat line and the run's stop.
[[noreturn]] void rfq_z_out_of_range(ElementsContext& sim);

// A particle whose x or y is not a number reached cell i of the RFQ read
// from `file`: the run's stop naming both.
[[noreturn]] void rfq_point_not_finite(const std::string& file, int i);

// The RFQ's run-time state that field_at reads (the cell kind of the cell
// being run and the aperture of the step), set by the driver.
struct RfqRunCell {
  RfqCellKind kind = RfqFieldFree{};
  double L = 0.0, ax = 0.0, ay = 0.0;
};

}  // namespace linac
