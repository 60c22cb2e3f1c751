#include "transport/stepping.hpp"

#include <cmath>

#include <fmt/format.h>

#include "platform/fatal.hpp"
#include "transport/dev_field.hpp"

namespace linac {

void check_step_count(const TransportContext& sim, int n, double nstep) {
  if (!std::isfinite(nstep))
    fatal({fmt::format(" {}: no step count follows from length {} cm and design velocity {}",
                       element_label(sim, n), sim.ref.elem_len, sim.ref.beta_s),
           " give the step count on the element's line"},
          true);
  if (nstep > kMaxSteps)
    fatal({fmt::format(" {}: {:.0f} integration steps, more than the {} steps an element can hold",
                       element_label(sim, n), nstep, kMaxSteps),
           " give the element fewer steps on its line, or split it"},
          true);
}

void record_step_losses(TransportContext& sim, int n, int iq, double s_prev) {
  std::int32_t* status = sim.particles.status[iq];
  double* z = sim.particles.z[iq];
  for (const std::int32_t i : sim.transport.step_losses) {
    status[i] = kLost;
    write_lost_particle(sim, n, i, iq, 0);
    z[i] = s_prev + sim.ref.z_entry;
  }
}

void finish_element(TransportContext& sim, double length, bool field_map) {
  misalign_out(sim);
  stat(sim, sim.ref.nstep);
  exit_element(sim, length, field_map);
}

void exit_element(TransportContext& sim, double length, bool field_map) {
  if (sim.config.IACCEP == 1) {
    stat_acceptance_exit(sim);
    plot_step(sim, length);
    return;
  }
  if (field_map && sim.state.ipass == 1 && sim.state.dev_field > 0) field_extraction_output(sim);
  sim.state.imoved = 1;
  if (sim.config.IGRAPH == 1) plot_step(sim, length);
}

}  // namespace linac
