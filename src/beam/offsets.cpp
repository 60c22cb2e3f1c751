#include "beam/offsets.hpp"

#include "beam/phase_groups.hpp"
#include "beam/beam_context.hpp"

namespace linac {

double shift_speed_by_energy(double beta, double dW, double amu_kev) {
  return speed_of_energy(kinetic_energy_kev(beta, amu_kev) + dW, amu_kev);
}

void shift_beam_by_q(BeamContext& sim) {
  ParticleArrays& p = sim.particles;
  const InitialOffsets& o = sim.offsets;
  const double amu_kev = sim.ref.amu_kev;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const double dw = sim.ref.w0 * o.DWW00[iq];
    const int n = sim.config.NPAT[iq];
#pragma omp parallel for schedule(static)
    for (int i = 0; i <= n; ++i) {
      if (p.status[iq][i] < 0) continue;
      p.beta[iq][i] = shift_speed_by_energy(p.beta[iq][i], dw, amu_kev);
      p.x[iq][i] += o.X00[iq];
      p.xp[iq][i] += o.XP00[iq];
      p.y[iq][i] += o.Y00[iq];
      p.yp[iq][i] += o.YP00[iq];
      p.phase[iq][i] += o.PH00[iq];
    }
  }
}

void shift_beam(BeamContext& sim, const SeedOffset& d) {
  ParticleArrays& p = sim.particles;
  const double amu_kev = sim.ref.amu_kev;
  for (int iq = 1; iq <= sim.config.NQTOT; ++iq) {
    const int n = sim.config.NPAT[iq];
#pragma omp parallel for schedule(static)
    for (int i = 0; i <= n; ++i) {
      if (p.status[iq][i] < 0) continue;
      p.x[iq][i] += d[0];
      p.xp[iq][i] += d[1];
      p.y[iq][i] += d[2];
      p.yp[iq][i] += d[3];
      p.phase[iq][i] += d[4];
      p.beta[iq][i] = shift_speed_by_energy(p.beta[iq][i], d[5], amu_kev);
    }
  }
}

}  // namespace linac
