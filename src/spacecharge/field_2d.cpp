// The 2-D space-charge field as the field evaluation adds it, and the
// space-charge routines that the transport drivers call through their hooks.
#include <cmath>

#include "spacecharge/interpolate.hpp"
#include "spacecharge/sc_context.hpp"
#include "spacecharge/space_charge.hpp"
#include "transport/field_at.hpp"

namespace linac {

namespace {

// Adds the field at (xl, yl) of the element frame, z from the entrance (cm),
// in V/cm.
void add_field_2d(const ScField2d& sc, double xl, double yl, double z, Vec3& E) {
  const StepGeometry& s = *sc.step;
  Vec3 Es;
  if (s.bend_invR == 0.0) {
    if (s.step_nx == 0.0 && s.xref == 0.0) {
      // A step along the element axis.
      sc_field_2d_at(*sc.grid, xl, yl, Es);
    } else {
      // A straight step of a curved path (the exit straight of a bend): the
      // distance from the step's reference line and the unit vector across
      // it, (n_z, -n_x) in the (x, z) plane of the element frame.
      const double xt = s.step_nz * (xl - s.xref) - s.step_nx * (z - s.zref);
      sc_field_2d_at(*sc.grid, xt, yl, Es);
      Es[2] = -s.step_nx * Es[0];
      Es[0] = s.step_nz * Es[0];
    }
  } else {
    // Radial distance from the reference radius of the bend, and the unit
    // vector of the local radius in the (x, z) plane.
    const double R = 1.0 / s.bend_invR;
    const double dx = xl - s.bend_xc;
    const double dz = z - s.bend_zc;
    const double rho = std::sqrt(dx * dx + dz * dz);
    double xr = rho - std::abs(R);
    double ux = dx / rho;
    double uz = dz / rho;
    if (R > 0.0) {
      xr = -xr;
      ux = -ux;
      uz = -uz;
    }
    sc_field_2d_at(*sc.grid, xr, yl, Es);
    Es[2] = uz * Es[0];
    Es[0] = ux * Es[0];
  }
  for (int k = 0; k < 3; ++k) E[k] = E[k] + Es[k];
}

// The hooks are installed by the space-charge context itself, so the
// transport context they receive is always one.
const SpaceChargeContext& sc_context(const TransportContext& t) {
  return static_cast<const SpaceChargeContext&>(t);
}
SpaceChargeContext& sc_context(TransportContext& t) { return static_cast<SpaceChargeContext&>(t); }

ScField2d field_2d_source(const TransportContext& t) {
  const SpaceChargeContext& sim = sc_context(t);
  if (sim.config.IFLAG2D == 1 && sim.current.scur >= kScurMin)
    return {&sim.sc_grid, &sim.transport.step, &add_field_2d};
  return {};
}

}  // namespace

SpaceChargeContext::SpaceChargeContext() {
  hooks.space_charge = [](TransportContext& t, int k) { space_charge(sc_context(t), k); };
  hooks.sc_kick = [](TransportContext& t, double ds) { sc_kick(sc_context(t), ds); };
  hooks.sc_field_2d = &field_2d_source;
}

}  // namespace linac
