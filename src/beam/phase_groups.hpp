// Phase wrapping, grouping of the charge states by charge, mean phases per
// charge state and group, and the six statistics coordinates of a particle.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/constants.hpp"
#include "common/records.hpp"

namespace linac {

struct BeamContext;

// Charge states grouped by equal charge (charges within 1e-4 form a group).
struct ChargeGroups {
  std::array<double, kMaxChargeStates + 1> q_group{};               // distinct charges, ascending
  std::array<std::int32_t, kMaxChargeStates + 1> group_of_state{};  // group of each state, 0 = none
  std::int32_t n_groups = 0;
  // Bracket of the charge last located: (k, k) inside group k, (k, k+1)
  // between groups k and k+1, (1, 0) below the first, (n_groups, 0) above
  // the last.
  std::int32_t group_lo = 0, group_hi = 0;
};

// Phase origins and mean phases of the charge states and groups (and the
// per-state counts, which the beam statistics reuse for their own counts).
// qstate_phase_origin is the one centre about which the statistics wrap the
// phases of each state: avg_phase_by_q fills it with the states' mean
// phases, the RFQ's beam preparation then replaces it with whole multiples
// of 2 pi (each state's bucket), the statistics clear it while IRIARFQ = 0,
// the filter re-centres about it and the beam-state file keeps it.
struct QstatePhases {
  std::array<double, kMaxChargeStates + 1> qstate_count{};         // particles counted per state
  std::array<double, kMaxChargeStates + 1> qstate_phase_origin{};  // phase origin per state, rad
  std::array<double, kMaxChargeStates + 1> group_mean_phase{};     // count-weighted mean per group, rad
};

// The six statistics coordinates: x (cm), x' (rad), y (cm), y' (rad),
// phase - phase_origin (rad, not wrapped) and dW/W about w_origin.
using Vec6 = std::array<double, 6>;

// Reduces x in place into [-pi, pi) by whole turns and returns it, in
// constant time for any finite x. A non-finite x is returned unchanged (no
// turn count exists for it). A phase already inside [-pi, pi), the usual
// case in the particle loops, is returned as it is without a library call
// (the reduction leaves it unchanged too: its turn count is 0).
inline double phase_wrap_2pi(double& x);
// The reduction itself, for a phase outside [-pi, pi).
double phase_reduce_2pi(double& x);

// The value r with -pi h <= r < pi h that differs from x by a whole number
// of periods 2 pi h, h = nharm; h = 0 returns x.
inline double phase_wrap_harm(double x, std::int32_t nharm);
double phase_wrap_harm(const BeamContext& sim, double x);

// Rebuilds the charge groups from QQ of states 1..NQTOT (QQ of every state
// becomes its group's charge) and locates the charge q.
void group_charge_states(BeamContext& sim, double q);

// Per-state mean phase of the particles within half_width (rad) of the
// state's reference particle (phase distance wrapped at the bunch period)
// and inside the energy acceptance, into qstate_phase_origin (0 for a state
// without counted particles); group means weighted by counts.
void avg_phase_by_q(BeamContext& sim, double half_width);

// Kinetic energy per nucleon in keV/u of a particle with speed beta.
inline double kinetic_energy_kev(double beta, double amu_kev, double* gamma_out = nullptr);
// Speed beta = sqrt(1 - 1/gamma^2), gamma = 1 + w/amu, of the kinetic energy
// per nucleon w (keV/u).
inline double speed_of_energy(double w, double amu_kev);

// The statistics coordinates of particle i of state iq about the origins
// w_origin (keV/u) and phase_origin (rad). The particle's gamma is left in
// gamma_s of the reference block.
void particle_vector6(BeamContext& sim, std::int32_t i, std::int32_t iq, Vec6& v);

// The same coordinates without touching any record (for the particle loops).
inline void particle_coords6(const ParticleArrays& p, std::int32_t i, std::int32_t iq,
                             double amu_kev, double w_origin, double phase_origin, Vec6& v);

// |x| < pi means a turn count of 0 only while 2 pi is exactly twice pi.
static_assert(kTwoPi == 2.0 * kPi);
inline double phase_wrap_2pi(double& x) {
  if (x >= -kPi && x < kPi) return x;
  return phase_reduce_2pi(x);
}

// r = x - 2 pi h floor((x + pi h) / (2 pi h)). Where 0 <= x + pi h < 2 pi h
// (as rounded) the quotient is below 1 even after rounding (the largest
// such sum is one unit of the last place below 2 pi h), the floor is 0 and
// r = x - 0 = x: the particle loops skip the division there.
inline double phase_wrap_harm(double x, std::int32_t nharm) {
  if (nharm == 0) return x;
  const double h = static_cast<double>(nharm);
  const double period = kTwoPi * h;
  const double t = x + kPi * h;
  if (t >= 0.0 && t < period) return x;
  return x - period * std::floor(t / period);
}

inline double kinetic_energy_kev(double beta, double amu_kev, double* gamma_out) {
  const double gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  if (gamma_out) *gamma_out = gamma;
  return (gamma - 1.0) * amu_kev;
}

inline double speed_of_energy(double w, double amu_kev) {
  const double gamma = 1.0 + w / amu_kev;
  return std::sqrt(1.0 - 1.0 / (gamma * gamma));
}

inline void particle_coords6(const ParticleArrays& p, std::int32_t i, std::int32_t iq,
                             double amu_kev, double w_origin, double phase_origin, Vec6& v) {
  const double w = kinetic_energy_kev(p.beta[iq][i], amu_kev);
  v[0] = p.x[iq][i];
  v[1] = p.xp[iq][i];
  v[2] = p.y[iq][i];
  v[3] = p.yp[iq][i];
  v[4] = p.phase[iq][i] - phase_origin;
  v[5] = (w - w_origin) / w_origin;
}

// dW/W about w_origin (keV/u) of the n particles with speeds beta[0..n-1],
// each with the arithmetic of particle_coords6 (so the same bits). A loop of
// its own without branches: the square roots and divisions of successive
// particles overlap in the processor instead of waiting on each other.
inline void energy_deviations(const double* beta, int n, double amu_kev, double w_origin, double* dww) {
  int k = 0;
#if defined(__SSE2__)
  // Two particles per instruction (the packed square root and division are
  // the same IEEE operations as the scalar ones).
  const __m128d one = _mm_set1_pd(1.0), amu = _mm_set1_pd(amu_kev), w0 = _mm_set1_pd(w_origin);
  for (; k + 1 < n; k += 2) {
    const __m128d b = _mm_loadu_pd(beta + k);
    const __m128d gamma = _mm_div_pd(one, _mm_sqrt_pd(_mm_sub_pd(one, _mm_mul_pd(b, b))));
    const __m128d w = _mm_mul_pd(_mm_sub_pd(gamma, one), amu);
    _mm_storeu_pd(dww + k, _mm_div_pd(_mm_sub_pd(w, w0), w0));
  }
#endif
  for (; k < n; ++k) dww[k] = (kinetic_energy_kev(beta[k], amu_kev) - w_origin) / w_origin;
}

}  // namespace linac
