#include "transport/push_t.hpp"

#include <fmt/format.h>

#include "platform/fatal.hpp"
#include "transport/integrate_z.hpp"
#include "transport/seams.hpp"

namespace linac {

TimeSlotView time_slot_view(TransportContext& sim, int iq) {
  ParticleArrays& p = sim.particles;
  return TimeSlotView{p.x[iq],     p.xp[iq],    p.y[iq],    p.yp[iq],    p.z[iq],  p.betax[iq],
                      p.betay[iq], p.betaz[iq], p.beta[iq], p.phase[iq], p.qa[iq]};
}

void derivs_t(TransportContext& sim, double t, const State6& Y, State6& dY) {
  derivs_t(sim, SimField{&sim}, t, Y, dY);
}

void rk4_t(TransportContext& sim, double& t, double h, State6& Y) { rk4_t(sim, SimField{&sim}, t, h, Y); }

void ref_to_exit_plane_t(TransportContext& sim, double& t, double h, State6& Y) {
  ref_to_exit_plane_t(sim, SimField{&sim}, t, h, Y);
}

void push_particle_t(TransportContext& sim, int i, int iq, double h) {
  sim.state.ilost = 0;
  sim.ref.qa_push = sim.particles.qa[iq][i];
  const TimeStepResult r =
      push_slot_t(SimField{&sim}, time_slot_view(sim, iq), i, h, sim.ref.wavelength_2pi);
  for (int k = 0; k < 3; ++k) {
    sim.ref.last_E[k + 1] = r.E[k];
    sim.ref.last_B[k + 1] = r.B[k];
  }
  if (r.lost) sim.state.ilost = -1;
}

double time_step(TransportContext& sim, int i, int iq) {
  sim.state.ilost = 0;
  sim.ref.qa_push = sim.particles.qa[iq][i];
  bool lost = false;
  const double T = time_step_slot(SimField{&sim}, time_slot_view(sim, iq), i, sim.ref.step_len,
                                  sim.ref.wavelength_2pi, lost);
  if (lost) sim.state.ilost = -1;
  return T;
}

void advance_to_zref(TransportContext& sim, int i, int iq) {
  if (sim.config.iflag_dudt != 1) {
    push_particle_z(sim, i, iq, sim.ref.step_len);
    return;
  }
  sim.state.ilost = 0;
  sim.ref.qa_push = sim.particles.qa[iq][i];
  const bool lost = advance_slot_to_zref(SimField{&sim}, time_slot_view(sim, iq), i,
                                         sim.transport.step.zref, sim.ref.step_len,
                                         sim.ref.wavelength_2pi);
  sim.state.ilost = lost ? -1 : 0;
}

void exit_plane_not_reached(const TransportContext& sim, const State6& Y, const char* why) {
  fatal({fmt::format(" {}: the design particle cannot reach the exit plane of the element: {}",
                     element_label(sim, sim.state.ipos), why),
         fmt::format(" it stands at x = {} cm, z = {} cm with beta_z = {}", Y[0], Y[2], Y[5])},
        true);
}

}  // namespace linac
