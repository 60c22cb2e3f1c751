#include "control/acceptance_output.hpp"

#include <vector>

#include "beam/phase_groups.hpp"
#include "control/control_context.hpp"
#include "beam/beam_state.hpp"
#include "platform/format.hpp"
#include "platform/units.hpp"

namespace linac {

static_assert(kAcceptanceHeader.size() == 112);

void write_acceptance_files(ControlContext& sim) {
  // Each file has its own scoped handle: neither can close the other, nor
  // the beam-state file read in between.
  TextOut accepted(sim.units, "accepted.dat");
  TextOut stopped(sim.units, "stopped.dat");
  accepted.write(kAcceptanceHeader);
  stopped.write(kAcceptanceHeader);

  // Final status of every particle at the end of the pass.
  std::vector<std::vector<std::int32_t>> survived(kMaxChargeStates + 1);
  for (std::int32_t iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const std::int32_t* st = sim.particles.status[iq];
    survived[iq].assign(st, st + sim.config.NPAT[iq] + 1);
  }

  State(sim, "ini_dis.dat", "read");

  static const FortranFormat kRow("(8E14.5)");
  const ParticleArrays& p = sim.particles;
  const ReferenceBlock& r = sim.ref;
  for (std::int32_t iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const auto& kept = survived[iq];
    for (std::int32_t i = 0; i <= sim.config.NPAT[iq]; ++i) {
      const double phase = p.phase[iq][i];
      const double dt = phase / kTwoPi / r.FREQB * 1e9;  // ns
      const double dw = kinetic_energy_kev(p.beta[iq][i], r.amu_kev) - r.w_entry;  // keV/u
      const FmtItem row[] = {dt,
                             dw,
                             phase / kDegToRad,
                             dw / r.w_entry,
                             p.x[iq][i],
                             p.xp[iq][i] * 1000.0,
                             p.y[iq][i],
                             p.yp[iq][i] * 1000.0};
      // A slot beyond the kept statuses (the file holds more) keeps its own.
      const std::int32_t final_status =
          static_cast<std::size_t>(i) < kept.size() ? kept[i] : p.status[iq][i];
      write_checked(sim, final_status >= 0 ? accepted : stopped, kRow, row);
    }
  }
}

}  // namespace linac
