#include "beam/phase_groups.hpp"

#include <cmath>

#include "beam/beam_context.hpp"

namespace linac {

namespace {

constexpr double kChargeTol = 1e-4;  // charges closer than this form one group

}  // namespace

// The IEEE remainder is exact: r = x - n 2 pi with n the nearest integer to
// x / (2 pi), |r| <= pi, in constant time for every finite x (a loop of 2 pi
// steps would run for hours on a phase of 1e28 rad). Only r = +pi lies
// outside [-pi, pi) and moves down one turn to -pi.
double phase_reduce_2pi(double& x) {
  if (!std::isfinite(x)) return x;
  double r = std::remainder(x, kTwoPi);
  if (r >= kPi) r -= kTwoPi;
  x = r;
  return x;
}

double phase_wrap_harm(const BeamContext& sim, double x) { return phase_wrap_harm(x, sim.config.nharm_sc); }

void group_charge_states(BeamContext& sim, double q) {
  ChargeGroups& g = sim.charge_groups;
  RunConfig& c = sim.config;
  const int nq = c.NQTOT;
  g.n_groups = 0;
  g.q_group.fill(0.0);
  for (int iq = 1; iq <= nq; ++iq) g.group_of_state[iq] = 0;
  for (int pass = 1; pass <= nq; ++pass) {
    double m = 1e10;
    for (int iq = 1; iq <= nq; ++iq)
      if (g.group_of_state[iq] == 0 && c.QQ[iq] < m) m = c.QQ[iq];
    if (!(m < 1e9)) continue;
    g.n_groups += 1;
    g.q_group[g.n_groups] = m;
    for (int iq = 1; iq <= nq; ++iq) {
      if (c.QQ[iq] > m - kChargeTol && c.QQ[iq] < m + kChargeTol) {
        c.QQ[iq] = m;
        g.group_of_state[iq] = g.n_groups;
      }
    }
  }
  // Locate q among the groups.
  if (g.n_groups == 0) {
    g.group_lo = g.group_hi = 0;
    return;
  }
  if (q < g.q_group[1] - kChargeTol) {
    g.group_lo = 1;
    g.group_hi = 0;
    return;
  }
  if (q > g.q_group[g.n_groups] + kChargeTol) {
    g.group_lo = g.n_groups;
    g.group_hi = 0;
    return;
  }
  for (int k = 1; k <= g.n_groups; ++k) {
    if (g.q_group[k] - kChargeTol <= q && q <= g.q_group[k] + kChargeTol) {
      g.group_lo = g.group_hi = k;
      return;
    }
  }
  for (int k = 1; k < g.n_groups; ++k) {
    if (g.q_group[k] + kChargeTol < q && q < g.q_group[k + 1] - kChargeTol) {
      g.group_lo = k;
      g.group_hi = k + 1;
      return;
    }
  }
}

void avg_phase_by_q(BeamContext& sim, double half_width) {
  const RunConfig& c = sim.config;
  const ParticleArrays& p = sim.particles;
  QstatePhases& qp = sim.qphase;
  const double amu = sim.ref.amu_kev;
  const double w_origin = sim.ref.w_origin;
  for (int iq = 1; iq <= c.NQTOT; ++iq) {
    double count = 0.0;
    double sum = 0.0;
    const double ref_phase = p.phase[iq][0];
    for (int i = 0; i <= c.NPAT[iq]; ++i) {
      if (p.status[iq][i] < 0) continue;
      const double w = kinetic_energy_kev(p.beta[iq][i], amu);
      const double dww = std::fabs((w - w_origin) / w_origin);
      const double d = phase_wrap_harm(p.phase[iq][i] - ref_phase, c.nharm_sc);
      if (dww < c.DWWACC && std::fabs(d) <= half_width) {
        count += 1.0;
        sum += ref_phase + d;
      }
    }
    qp.qstate_count[iq] = count;
    qp.qstate_phase_origin[iq] = count > 0.0 ? sum / count : 0.0;
  }
  const ChargeGroups& g = sim.charge_groups;
  for (int k = 1; k <= g.n_groups; ++k) {
    double weighted = 0.0;
    double total = 0.0;
    for (int iq = 1; iq <= c.NQTOT; ++iq) {
      if (g.group_of_state[iq] != k) continue;
      weighted += qp.qstate_phase_origin[iq] * qp.qstate_count[iq];
      total += qp.qstate_count[iq];
    }
    // A group without counted particles has no mean phase; 0 like an empty state.
    qp.group_mean_phase[k] = total > 0.0 ? weighted / total : 0.0;
  }
}

void particle_vector6(BeamContext& sim, std::int32_t i, std::int32_t iq, Vec6& v) {
  particle_coords6(sim.particles, i, iq, sim.ref.amu_kev, sim.ref.w_origin, sim.ref.phase_origin, v);
  sim.ref.gamma_s = 1.0 / std::sqrt(1.0 - sim.particles.beta[iq][i] * sim.particles.beta[iq][i]);
}

}  // namespace linac
