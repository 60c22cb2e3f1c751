// The bending magnet (bmag): a circular arc of radius R between two straight
// parts, with rotated, curved edges and Enge fringes. Its geometry is fitted
// to the design particle before the beam moves; the reference trajectory is
// then tabulated step by step, and every particle is pushed in time from
// one step plane to the next and re-expressed in the frame of the reference
// at each plane.
#pragma once

#include <cstdint>

#include "elements/bend_field.hpp"
#include "transport/push_t.hpp"

namespace linac {

struct ElementsContext;

// Time steps one particle may take to settle onto a step plane: the first
// carries it over the step, the others correct the residual distance.
inline constexpr int kPlaneSearchSteps = 20;

// The bmag driver for element line n.
void bmag_element(ElementsContext& sim, std::int32_t n);

// Reads and checks line n (stopping with a message naming the line and the
// value on a step count below 1 or above the path capacity, R <= 0, a zero
// angle or |angle| >= 360 deg, L < |a| R, g <= 0, w <= 0), and fills the
// members of bmag_geom taken from the line and derived from it; elem_len :=
// L, nstep from the line.
void bmag_read_line(ElementsContext& sim, std::int32_t n);

// The ideal geometry of the magnet for |angle|: arc centre, edges and exit
// plane through the ends of the arc.
void bmag_ideal_geometry(ElementsContext& sim);

// Geometry set-up of mode 0 (four reference passes, path length, optional
// fringe listing) and mode 1 (one pass correcting the exit plane).
void bmag_setup_fringe(ElementsContext& sim);
void bmag_setup_simple(ElementsContext& sim);
// Not called by the run. The ideal geometry (for |angle|, not mirrored) and
// one reference pass from the entrance without space charge, whose result
// moves nothing; scur is restored afterwards.
void bmag_setup_ideal(ElementsContext& sim);

// The fringe listing of the current magnet in log.dat.
void bmag_fringe_listing(ElementsContext& sim);

// Reference trajectory into the reference path (columns 0..4, 7..9) with
// the optional trajectory listing; reference phase and energy (columns 5, 6).
void bmag_ref_path(ElementsContext& sim);
void bmag_ref_energy(ElementsContext& sim);

// A step plane: the point of the reference and its direction there.
struct StepPlane {
  double xref = 0.0, zref = 0.0;  // cm
  double nz = 1.0, nx = 0.0;
};

// Pushes slot i (element-frame position and velocity) onto the plane by
// time steps of the magnet's field; true when it is lost: outside the
// aperture, not moving towards the plane, or not within 1e-6 cm of it after
// kPlaneSearchSteps steps. Reads and writes slot i only.
template <class Field>
inline bool bmag_slot_to_plane(const Field& field, const TimeSlotView& p, int i,
                               const StepPlane& pl, double wavelength_2pi) {
  for (int it = 0; it < kPlaneSearchSteps; ++it) {
    const double d = (p.z[i] - pl.zref) * pl.nz + (p.x[i] - pl.xref) * pl.nx;
    const double vn = pl.nz * p.betaz[i] + pl.nx * p.betax[i];
    if (!(vn > 0.0)) return true;
    if (push_slot_t(field, p, i, -d / vn, wavelength_2pi).lost) return true;
    const double d2 = (p.z[i] - pl.zref) * pl.nz + (p.x[i] - pl.xref) * pl.nx;
    if (std::abs(d2) <= kZrefTolerance) return false;
  }
  return true;
}

// Particle (i, iq) onto the plane of the current step; ilost := -1 when lost.
void bmag_step_to_plane(ElementsContext& sim, int i, int iq);

}  // namespace linac
