// Shared pieces of the lockstep-push tests: bitwise comparison, a charge
// state of particles spread over the aperture with two unusable states, and
// the seven coordinates of a slot.
#pragma once

#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "run/sim.hpp"

namespace linac::testing {

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

// Charge state 1 of n particles on a Lissajous pattern of half-widths
// (xw, yw), phases up to phase_w, all at z0; slot 7 moves at the speed of
// light and slot 11 has no x, so the push must refuse both.
inline void fill_spread_state(Sim& s, int n, double xw, double yw, double phase_w, double z0) {
  ParticleArrays& p = s.particles;
  for (int i = 0; i < n; ++i) {
    const double u = std::sin(1.37 * i), v = std::cos(0.91 * i);
    p.x[1][i] = xw * u;
    p.xp[1][i] = 0.05 * v;
    p.y[1][i] = yw * v;
    p.yp[1][i] = -0.04 * u;
    p.phase[1][i] = phase_w * u * v;
    p.beta[1][i] = 0.05 + 0.02 * v;
    p.qa[1][i] = 0.1 + 0.2 * (i % 3);
    p.z[1][i] = z0;
  }
  p.beta[1][7] = 1.0;
  p.x[1][11] = std::nan("");
}

// x, x', y, y', phase, beta, z of slot i of charge state iq.
inline std::array<double, 7> slot_state(const ParticleArrays& p, int i, int iq = 1) {
  return {p.x[iq][i], p.xp[iq][i], p.y[iq][i], p.yp[iq][i], p.phase[iq][i], p.beta[iq][i], p.z[iq][i]};
}

// Every coordinate of slots 0..n-1 of charge state iq the same bit for bit.
inline void expect_same_slot_states(const ParticleArrays& a, const ParticleArrays& b, int n,
                                    const std::string& what, int iq = 1) {
  for (int i = 0; i < n; ++i) {
    const auto sa = slot_state(a, i, iq);
    const auto sb = slot_state(b, i, iq);
    for (int j = 0; j < 7; ++j)
      EXPECT_TRUE(same_bits(sa[j], sb[j])) << what << " slot " << i << " value " << j;
  }
}

}  // namespace linac::testing
