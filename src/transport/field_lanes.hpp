// The field at W points at once for the lockstep push (push_lanes_z): the
// element field of each active lane, then the unit conversion of all lanes
// together, laid out by component and lane so the conversion and the
// equations of motion that follow run on vector registers. Each lane gets
// exactly the operations of FieldAt::operator() in the same order, so the
// values are bit for bit those of one evaluation at a time.
#pragma once

#include <cmath>

#include "transport/field_at.hpp"

namespace linac {

// Any field callable: one evaluation per active lane. Inactive lanes get
// zero field and inside = false.
template <int W, class Field>
inline void field_lanes(const Field& field, const double* x, const double* y, const double* z,
                        const double* t, const bool* active, double (&E)[3][W],
                        double (&B)[3][W], bool* inside) {
  for (int l = 0; l < W; ++l) {
    Vec3 e{0.0, 0.0, 0.0};
    Vec3 b{0.0, 0.0, 0.0};
    inside[l] = active[l] && field(x[l], y[l], z[l], t[l], e, b);
    for (int c = 0; c < 3; ++c) {
      E[c][l] = e[c];
      B[c][l] = b[c];
    }
  }
}

// A FieldAt: the source per lane, the conversion to E/c and B in tesla for
// all lanes at once.
// A source with element_field_lanes<W>(x, y, z, active, E, B, inside)
// evaluates all lanes in one call (fields without time dependence); one
// whose field depends on the phase takes the phases t after z.
template <class Source, int W>
concept LaneSource = requires(const Source& s, const double* p, const bool* a, double (&F)[3][W],
                              bool* in) { s.template element_field_lanes<W>(p, p, p, a, F, F, in); };
// The same for a field that depends on the RF phase t of each lane:
// element_field_lanes<W>(x, y, z, t, active, E, B, inside).
template <class Source, int W>
concept TimedLaneSource =
    requires(const Source& s, const double* p, const bool* a, double (&F)[3][W], bool* in) {
      s.template element_field_lanes<W>(p, p, p, p, a, F, F, in);
    };
template <class Source, int W>
concept AnyLaneSource = LaneSource<Source, W> || TimedLaneSource<Source, W>;

template <int W, class Source>
inline void field_lanes(const FieldAt<Source>& field, const double* x, const double* y,
                        const double* z, const double* t, const bool* active, double (&E)[3][W],
                        double (&B)[3][W], bool* inside) {
  if constexpr (AnyLaneSource<Source, W>) {
    double xl[W];
    double yl[W];
    double rl[W];
    // Branch-free loops: they run on vector registers.
    for (int l = 0; l < W; ++l) rl[l] = std::sqrt(x[l] * x[l] + y[l] * y[l]);
    for (int l = 0; l < W; ++l) {
      const bool shift = rl[l] < kAxisShift;
      xl[l] = shift ? kAxisShift : x[l];
      yl[l] = shift ? 0.0 : y[l];
    }
    if constexpr (TimedLaneSource<Source, W>)
      field.source.template element_field_lanes<W>(xl, yl, z, t, active, E, B, inside);
    else
      field.source.template element_field_lanes<W>(xl, yl, z, active, E, B, inside);
    if (field.sc2d.grid != nullptr) {
      for (int l = 0; l < W; ++l) {
        if (!active[l]) continue;
        Vec3 e{E[0][l], E[1][l], E[2][l]};
        add_sc_field_2d(field.sc2d, xl[l], yl[l], z[l], e);
        for (int c = 0; c < 3; ++c) E[c][l] = e[c];
      }
    }
  } else {
    for (int l = 0; l < W; ++l) {
      Vec3 e{0.0, 0.0, 0.0};
      Vec3 b{0.0, 0.0, 0.0};
      inside[l] = false;
      if (active[l]) {
        double xl = x[l];
        double yl = y[l];
        if (std::sqrt(xl * xl + yl * yl) < kAxisShift) {
          xl = kAxisShift;
          yl = 0.0;
        }
        inside[l] = field.source.element_field(xl, yl, z[l], t[l], e, b);
        if (field.sc2d.grid != nullptr) add_sc_field_2d(field.sc2d, xl, yl, z[l], e);
      }
      for (int c = 0; c < 3; ++c) {
        E[c][l] = e[c];
        B[c][l] = b[c];
      }
    }
  }
  // A source without electric (magnetic) field gives +0 in every lane, which
  // the conversion keeps: it is left out unless the space-charge field was
  // added.
  bool convert_E = true;
  bool convert_B = true;
  if constexpr (AnyLaneSource<Source, W>) {
    if constexpr (requires { Source::kNoElectricField; })
      convert_E = !Source::kNoElectricField || field.sc2d.grid != nullptr;
    if constexpr (requires { Source::kNoMagneticField; }) convert_B = !Source::kNoMagneticField;
  }
  if (convert_B)
    for (int c = 0; c < 3; ++c)
      for (int l = 0; l < W; ++l) B[c][l] = B[c][l] / kGaussPerTesla;
  if (convert_E)
    for (int c = 0; c < 3; ++c)
      for (int l = 0; l < W; ++l) E[c][l] = E[c][l] * kVoltPerCmScale / kSpeedOfLightSi;
}

// Whether the points of W lanes lie inside the aperture of `field`, as
// field_lanes tells it (its field not wanted).
template <int W, class Field>
inline void aperture_lanes(const Field& field, const double* x, const double* y, const double* z,
                           const double* t, const bool* active, bool* inside) {
  double E[3][W];
  double B[3][W];
  field_lanes<W>(field, x, y, z, t, active, E, B, inside);
}
// The drift: without an aperture every point is inside. With half sizes of
// ten times the axis shift or more, a point within kAxisShift of the axis
// is well inside both where it is and where field_lanes moves it, so the
// test of the point where it is (without the shift and its root) gives the
// same verdict.
template <int W>
inline void aperture_lanes(const FieldAt<DriftAperture>& field, const double* x, const double* y,
                           const double* z, const double* t, const bool* active, bool* inside) {
  const DriftAperture& ap = field.source;
  if (field.sc2d.grid == nullptr) {
    if (ap.b == 0.0) {
      for (int l = 0; l < W; ++l) inside[l] = active[l];
      return;
    }
    if (ap.a >= 10.0 * kAxisShift && std::abs(ap.b) >= 10.0 * kAxisShift) {
      double E[3][W];
      double B[3][W];
      ap.element_field_lanes<W>(x, y, z, active, E, B, inside);
      return;
    }
  }
  double E[3][W];
  double B[3][W];
  field_lanes<W>(field, x, y, z, t, active, E, B, inside);
}

}  // namespace linac
