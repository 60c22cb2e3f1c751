// The field of the element being run at a point of its frame, in the units
// of the equations of motion: E/c and B, both in tesla (E in V/cm times
// 100/299792458, B in G divided by 10000).
//
// Each element type supplies a field source: a small value type whose
// element_field(xl, yl, z, t, E, B) returns the element field in V/cm and G
// with the element's scale factors and RF time dependence applied, and false
// when the point lies outside the element's aperture. FieldAt<Source> wraps a
// source with the rules common to every type (the on-axis shift and the unit
// conversion); the stepping template and the pushers are instantiated on it,
// so the inner particle loop is monomorphic. field_at(sim, ...) is the one
// dynamic entry point, switching on the element type code, for the design
// particle and the other single-particle integrations.
//
// The sources of the table elements (StaticTableSource, RfTableSource,
// Table2DSource, CombSource, SolenoidSource) and the composition with the
// superimposed ebfld field (with_added_fields) are in
// transport/table_fields.hpp.
#pragma once

#include <array>
#include <cmath>

namespace linac {

struct TransportContext;
struct ScGrid;
struct StepGeometry;

using Vec3 = std::array<double, 3>;

// The transverse field of the 2-D space-charge grid, added to the element
// field at every evaluation while it acts (grid == nullptr: it does not).
// Inside a bending magnet (bend_invR of the step not 0) the radial field of
// the grid is applied along the local radius of the bend.
// The grid and its interpolation belong to the space-charge routines, which
// supply `add` (see TransportHooks::sc_field_2d).
struct ScField2d {
  const ScGrid* grid = nullptr;
  const StepGeometry* step = nullptr;
  void (*add)(const ScField2d& sc, double xl, double yl, double z, Vec3& E) = nullptr;
};
// Adds the field at (xl, yl) of the element frame, z from the entrance (cm),
// in V/cm.
inline void add_sc_field_2d(const ScField2d& sc, double xl, double yl, double z, Vec3& E) {
  sc.add(sc, xl, yl, z, E);
}
// The 2-D space-charge field of the run while it acts (IFLAG2D = 1 and
// scur >= 1e-6 mA), else none.
ScField2d sc_field_2d_source(const TransportContext& sim);

// Unit conversions of the equations of motion.
inline constexpr double kVoltPerCmScale = 100.0;       // V/cm -> V/m
inline constexpr double kSpeedOfLightSi = 299792458.0;  // m/s
inline constexpr double kGaussPerTesla = 10000.0;

// Points closer to the axis than this are evaluated at (kAxisShift, 0), cm:
// a field routine never sees r = 0.
inline constexpr double kAxisShift = 1e-6;

template <class Source>
struct FieldAt {
  Source source;
  ScField2d sc2d{};  // attached by the stepping template (with_added_fields)

  // Field at (x, y, z) with RF phase t (rad); false when outside the aperture
  // (the field of that evaluation is still returned).
  bool operator()(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    E = {0.0, 0.0, 0.0};
    B = {0.0, 0.0, 0.0};
    double xl = x;
    double yl = y;
    if (std::sqrt(x * x + y * y) < kAxisShift) {
      xl = kAxisShift;
      yl = 0.0;
    }
    const bool inside = source.element_field(xl, yl, z, t, E, B);
    if (sc2d.grid != nullptr) add_sc_field_2d(sc2d, xl, yl, z, E);
    for (int k = 0; k < 3; ++k) {
      B[k] = B[k] / kGaussPerTesla;
      E[k] = E[k] * kVoltPerCmScale / kSpeedOfLightSi;
    }
    return inside;
  }
};

// The field of a stepping loop with the fields that every element adds
// attached: a FieldAt gets the 2-D space-charge field while it acts; any
// other callable is used as it is.
template <class Field>
Field with_added_fields(const TransportContext&, const Field& f) {
  return f;
}
template <class Source>
FieldAt<Source> with_added_fields(const TransportContext& sim, const FieldAt<Source>& f) {
  FieldAt<Source> g = f;
  g.sc2d = sc_field_2d_source(sim);
  return g;
}

// Elements and commands without a field: zero field, no aperture.
struct NoField {
  static constexpr bool kZeroField = true;  // E = B = +0 at every point
  bool element_field(double, double, double, double, Vec3&, Vec3&) const { return true; }
};

// The drift: no field; the aperture is an ellipse with half axes (a, |b|)
// when b < 0, a rectangle with half sizes (a, b) when b > 0, none when b = 0.
// A point on the boundary is outside.
struct DriftAperture {
  static constexpr bool kZeroField = true;  // E = B = +0 at every point
  static constexpr bool kNoElectricField = true;  // the lanes give +0 for it
  static constexpr bool kNoMagneticField = true;  // the lanes give +0 for it
  double a = 0.0;  // horizontal half size, cm
  double b = 0.0;  // vertical half size, cm; its sign selects the shape

  bool element_field(double xl, double yl, double, double, Vec3&, Vec3&) const {
    if (b < 0.0) {
      const double u = xl / a;
      const double v = yl / b;
      return !(u * u + v * v >= 1.0);
    }
    if (b > 0.0) return !(std::abs(xl / a) >= 1.0 || std::abs(yl / b) >= 1.0);
    return true;
  }
  // The same test for W points at once (active[l]: test lane l), the shape
  // chosen once for all lanes so that the loops run on vector registers.
  template <int W>
  void element_field_lanes(const double* x, const double* y, const double*, const bool* active,
                           double (&E)[3][W], double (&B)[3][W], bool* inside) const {
    for (int c = 0; c < 3; ++c)
      for (int l = 0; l < W; ++l) {
        E[c][l] = 0.0;
        B[c][l] = 0.0;
      }
    if (b < 0.0) {
      for (int l = 0; l < W; ++l) {
        const double u = x[l] / a;
        const double v = y[l] / b;
        inside[l] = active[l] & !(u * u + v * v >= 1.0);
      }
    } else if (b > 0.0) {
      for (int l = 0; l < W; ++l)
        inside[l] = active[l] & !((std::abs(x[l] / a) >= 1.0) | (std::abs(y[l] / b) >= 1.0));
    } else {
      for (int l = 0; l < W; ++l) inside[l] = active[l];
    }
  }
};

// Whether a field source gives E = B = +0 at every point of every step
// (a source marked kZeroField, with no space-charge field added). In such a
// field the push may reuse the force-free parts of the derivative from stage
// to stage (see push_lanes_z).
template <class Field>
inline bool field_is_zero(const Field&) {
  return false;
}
template <class Source>
  requires requires { Source::kZeroField; }
inline bool field_is_zero(const FieldAt<Source>& f) {
  return Source::kZeroField && f.sc2d.grid == nullptr;
}

// The field of the current element (type sim.state.itype) at a point: E and B
// as FieldAt gives them, copies in last_E and last_B of the reference block,
// and ilost := -1 when the point is outside the aperture (never reset here).
// The 2-D space-charge field is added while it acts. A type whose field
// source is not built yet and the superimposed field of an ebfld command
// stop the run with a message.
void field_at(TransportContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B);

// The run context's record of a field evaluation: E and B into last_E and
// last_B of the reference block, ilost := -1 when the point was outside the
// aperture (never reset here).
void note_field_evaluation(TransportContext& sim, bool inside, const Vec3& E, const Vec3& B);

// The fields added to every element's field. The superimposed field of an
// ebfld command needs the table of an ebfld line of this run: switched on
// without one (a restored beam state), the run stops here naming the
// element.
void check_added_fields(const TransportContext& sim);

// True when the element type has no field and no aperture test.
bool type_without_field(int itype);

}  // namespace linac
