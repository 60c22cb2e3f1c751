// The reference of the current element: its path cut into the integration
// steps (ref_path rows 0..nstep) and the design particle's phase and energy
// along it, with the reference history of every position (entrance and exit
// energy, exit phase, element phase) that wtmp.dat lists.
#pragma once

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "transport/integrate_z.hpp"

namespace linac {

// Rows 0..nstep of a straight element of length L (cm) and its exit plane
// z = L.
void ref_path_straight(TransportContext& sim, double L);

// The reference of an element without length whose driver has set
// ref_phase_out(ipos) and ref_W_out(ipos).
void ref_path_ends(TransportContext& sim);

// Message for a design particle that cannot reach the end z of a row.
[[noreturn]] void reference_cannot_reach(const TransportContext& sim, double z, double z_end,
                                         const State6& Y);

// Effective length and Larmor angle of a field-table solenoid from its
// on-axis field Bz (T) sampled at the row ends z (cm): eff_len := integral
// of the spline through the samples over [0, elem_len] / (field1 1e-4), and
// larmor_angle(ipos) := eff_len field1 / (2 Brho) with the rigidity Brho
// (G cm) of the design particle of speed beta_exit; both 0 when |field1| <
// 1e-10 G (no field to scale by). gamma_s and beta_s are left at the
// entrance values.
void reference_solenoid(TransportContext& sim, std::span<const double> z, std::span<const double> Bz,
                        double beta_exit);

// Largest design-particle sub-step that changes the kinetic energy by
// about 10 % in a longitudinal field Ez (E/c in T): 0.1 (gamma - 1) /
// (|Q/A| K (|Ez| + 1e-5)), cm. The magnitude of Q/A keeps the step positive
// for negative design charges.
inline double reference_max_step(double gamma, double qa, double Ez) {
  return 0.1 * (gamma - 1.0) / (std::abs(qa) * kForceK * (std::abs(Ez) + 1e-5));
}

// Pushes the design particle (Q/A = QDESIGN/ADESIGN, on axis, entrance
// energy ref_W_in(ipos)) through the current element along the rows of
// ref_path, in sub-steps that change its energy by at most about 10 %; fills
// the phase and energy columns of every row and sets ref_phase_out(ipos),
// ref_W_out(ipos) and w0. Space charge does not act on it. A design particle
// that cannot reach the end of a row (stopped, reflected, non-finite) stops
// the run with a message naming the element.
template <class Tracked>
void ref_particle_element(TransportContext& sim, const Tracked& field) {
  ReferenceBlock& r = sim.ref;
  RefPath& path = sim.ref_path;
  const int ipos = sim.state.ipos;
  const double scur_saved = sim.current.scur;
  sim.current.scur = 0.0;

  double phase0 = 0.0;
  if (sim.state.iflag_chain == 1)
    phase0 = (sim.state.itype == 9) ? sim.history.ref_phase_out[ipos]
                                    : sim.history.ref_phase_out[ipos - 1];
  const double W_in = sim.history.ref_W_in[ipos];
  r.gamma_s = W_in / r.amu_kev + 1.0;
  const double beta0 = std::sqrt(1.0 - 1.0 / (r.gamma_s * r.gamma_s));
  r.beta_s = beta0;
  path(0, kRefPhase) = phase0;
  path(0, kRefW) = W_in;

  State6 Y{0.0, 0.0, 0.0, 0.0, phase0, beta0};
  r.qa_push = r.QDESIGN / r.ADESIGN;
  double z = 0.0;
  for (int k = 1; k <= r.nstep; ++k) {
    const double z_end = path(k, kRefZ);
    sim.transport.step.exit_pz = z_end;
    while (z <= z_end - 1e-6) {
      double h = z_end - z;
      rk4_z(sim, field, z, 0.0, Y);  // field probe at the start of the sub-step
      const double Ez = r.last_E[3];
      const double gamma = 1.0 / std::sqrt(1.0 - Y[5] * Y[5]);
      h = std::min(h, reference_max_step(gamma, r.qa_push, Ez));
      const double z_before = z;
      rk4_z(sim, field, z, h, Y);
      if (!state_usable(Y) || !(z > z_before)) {
        sim.current.scur = scur_saved;
        reference_cannot_reach(sim, z, z_end, Y);
      }
    }
    const double gamma = 1.0 / std::sqrt(1.0 - Y[5] * Y[5]);
    path(k, kRefPhase) = Y[4];
    path(k, kRefW) = (gamma - 1.0) * r.amu_kev;
  }
  sim.history.ref_phase_out[ipos] = path(r.nstep, kRefPhase);
  sim.history.ref_W_out[ipos] = path(r.nstep, kRefW);
  r.w0 = sim.history.ref_W_out[ipos];
  if (sim.state.itype == 2 || sim.state.itype == 18) {
    // Field-table solenoids: Bz on the axis at every row end.
    std::vector<double> zs(static_cast<std::size_t>(r.nstep) + 1);
    std::vector<double> bz(zs.size());
    for (int k = 0; k <= r.nstep; ++k) {
      Vec3 E;
      Vec3 B;
      zs[k] = path(k, kRefZ);
      field(0.0, 0.0, zs[k], 0.0, E, B);
      bz[k] = B[2];
    }
    reference_solenoid(sim, zs, bz, Y[5]);
  }
  sim.current.scur = scur_saved;
}

// The design particle through field_at of the current element.
void ref_particle_element(TransportContext& sim);

}  // namespace linac
