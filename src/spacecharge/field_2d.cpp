// The 2-D space-charge field as the field evaluation adds it.
#include <cmath>

#include "common/sim.hpp"
#include "spacecharge/interpolate.hpp"
#include "transport/field_at.hpp"

namespace linac {

ScField2d sc_field_2d_source(const Sim& sim) {
  if (sim.config.IFLAG2D == 1 && sim.current.scur >= kScurMin)
    return {&sim.sc_grid, &sim.transport.step};
  return {};
}

void add_sc_field_2d(const ScField2d& sc, double xl, double yl, double z, Vec3& E) {
  const StepGeometry& s = *sc.step;
  Vec3 Es;
  if (s.bend_invR == 0.0) {
    sc_field_2d_at(*sc.grid, xl, yl, Es);
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

}  // namespace linac
