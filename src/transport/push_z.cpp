#include <fmt/format.h>

#include "platform/fatal.hpp"
#include "transport/integrate_z.hpp"
#include "transport/seams.hpp"

namespace linac {

bool SimField::operator()(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
  const std::int32_t before = sim->state.ilost;
  sim->state.ilost = 0;
  field_at(*sim, x, y, z, t, E, B);
  const bool inside = sim->state.ilost == 0;
  if (inside) sim->state.ilost = before;
  return inside;
}

SlotView slot_view(TransportContext& sim, int iq) {
  ParticleArrays& p = sim.particles;
  return SlotView{p.x[iq], p.xp[iq], p.y[iq], p.yp[iq], p.phase[iq], p.beta[iq], p.z[iq], p.qa[iq]};
}

int last_slot(const TransportContext& sim, int iq) { return sim.config.NPAT[iq] + sim.npat.ntest[iq]; }

void derivs_z(TransportContext& sim, double z, const State6& Y, State6& dY) {
  derivs_z(sim, SimField{&sim}, z, Y, dY);
}

void rk4_z(TransportContext& sim, double& z, double h, State6& Y) { rk4_z(sim, SimField{&sim}, z, h, Y); }

void push_particle_z(TransportContext& sim, int i, int iq, double h) {
  sim.state.ilost = 0;
  sim.ref.qa_push = sim.particles.qa[iq][i];
  const bool lost =
      push_slot_z(SimField{&sim}, slot_view(sim, iq), i, h, sim.ref.wavelength_2pi);
  if (lost) sim.state.ilost = -1;
}

void integrate_to_element_end(TransportContext& sim, double& z, double& h, State6& Y) {
  const double exit_pz = sim.transport.step.exit_pz;
  if (!(h >= kRk4MinStep))
    fatal({fmt::format(" {}: integration to the element end with step {} cm cannot reach z = {} cm",
                       element_label(sim, sim.state.ipos), h, exit_pz)},
          true);
  do {
    rk4_z(sim, z, h, Y);
  } while (z < exit_pz);
  h = exit_pz - z;
  rk4_z(sim, z, h, Y);
}

}  // namespace linac
