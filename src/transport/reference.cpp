#include "transport/reference.hpp"

#include <fmt/format.h>

#include "platform/fatal.hpp"
#include "transport/seams.hpp"

namespace linac {

void ref_path_straight(Sim& sim, double L) {
  StepGeometry& g = sim.transport.step;
  g.exit_nz = 1.0;
  g.exit_nx = 0.0;
  g.exit_px = 0.0;
  g.exit_pz = L;
  RefPath& path = sim.transport.ref_path;
  const int nstep = sim.ref.nstep;
  for (int k = 0; k <= nstep; ++k) {
    const double s = k * L / nstep;
    path(k, kRefS) = s;
    path(k, kRefX) = 0.0;
    path(k, kRefZ) = s;
    path(k, kRefDirZ) = 1.0;
    path(k, kRefDirX) = 0.0;
    path(k, kRefInvR) = 0.0;
  }
}

void ref_path_ends(Sim& sim) {
  RefPath& path = sim.transport.ref_path;
  const int ipos = sim.state.ipos;
  path(0, kRefPhase) = 0.0;
  path(0, kRefW) = sim.history.ref_W_in[ipos];
  path(sim.ref.nstep, kRefPhase) = sim.history.ref_phase_out[ipos];
  path(sim.ref.nstep, kRefW) = sim.history.ref_W_out[ipos];
  sim.ref.w0 = sim.history.ref_W_out[ipos];
}

void reference_cannot_reach(const Sim& sim, double z, double z_end, const State6& Y) {
  fatal({fmt::format(" {}: the design particle cannot reach z = {} cm of the element", 
                     element_label(sim, sim.state.ipos), z_end),
         fmt::format(" it stands at z = {} cm with beta = {} (stopped, reflected or not finite)", z,
                     Y[5])},
        true);
}

void reference_solenoid_not_available(const Sim& sim) {
  fatal({fmt::format(" {}: the effective length of a field-table solenoid is not available yet",
                     element_label(sim, sim.state.ipos))},
        true);
}

void ref_particle_element(Sim& sim) { ref_particle_element(sim, SimField{&sim}); }

}  // namespace linac
