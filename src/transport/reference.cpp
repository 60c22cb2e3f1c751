#include "transport/reference.hpp"

#include <fmt/format.h>

#include "numerics/spline.hpp"
#include "platform/fatal.hpp"
#include "transport/seams.hpp"

namespace linac {

void ref_path_straight(TransportContext& sim, double L) {
  StepGeometry& g = sim.transport.step;
  g.exit_nz = 1.0;
  g.exit_nx = 0.0;
  g.exit_px = 0.0;
  g.exit_pz = L;
  RefPath& path = sim.ref_path;
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

void ref_path_ends(TransportContext& sim) {
  RefPath& path = sim.ref_path;
  const int ipos = sim.state.ipos;
  path(0, kRefPhase) = 0.0;
  path(0, kRefW) = sim.history.ref_W_in[ipos];
  path(sim.ref.nstep, kRefPhase) = sim.history.ref_phase_out[ipos];
  path(sim.ref.nstep, kRefW) = sim.history.ref_W_out[ipos];
  sim.ref.w0 = sim.history.ref_W_out[ipos];
}

void reference_cannot_reach(const TransportContext& sim, double z, double z_end, const State6& Y) {
  fatal({fmt::format(" {}: the design particle cannot reach z = {} cm of the element", 
                     element_label(sim, sim.state.ipos), z_end),
         fmt::format(" it stands at z = {} cm with beta = {} (stopped, reflected or not finite)", z,
                     Y[5])},
        true);
}

void reference_solenoid(TransportContext& sim, std::span<const double> z, std::span<const double> Bz,
                        double beta_exit) {
  ReferenceBlock& r = sim.ref;
  const int ipos = sim.state.ipos;
  if (std::abs(r.field1) < 1e-10) {
    r.eff_len = 0.0;
    sim.history.larmor_angle[ipos] = 0.0;
  } else {
    CubicSpline sp;
    DCSINT(sim, static_cast<std::int32_t>(z.size()), z, Bz, sp);
    r.eff_len = DCSITG(sim, 0.0, r.elem_len, sp.nintv(), sp) / (r.field1 * 1e-4);
    // Rigidity in G cm; 3.3356409072875977 is 1/0.299792458 in single precision.
    const double gamma = 1.0 / std::sqrt(1.0 - beta_exit * beta_exit);
    const double brho = 3.3356409072875977 * r.amu_kev * beta_exit * gamma / (r.QDESIGN / r.ADESIGN);
    sim.history.larmor_angle[ipos] = r.eff_len / (2.0 * brho / r.field1);
  }
  r.gamma_s = sim.history.ref_W_in[ipos] / r.amu_kev + 1.0;
  r.beta_s = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
}

void ref_particle_element(TransportContext& sim) { ref_particle_element(sim, SimField{&sim}); }

}  // namespace linac
