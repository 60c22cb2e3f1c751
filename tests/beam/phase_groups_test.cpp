#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "beam/phase_groups.hpp"
#include "run/sim.hpp"

namespace linac {
namespace {

// Speed of a particle with kinetic energy W (keV/u).
double beta_of(double W) {
  const double g = 1.0 + W / kAmuKev;
  return std::sqrt(1.0 - 1.0 / (g * g));
}

TEST(PhaseWrap2Pi, TableOfValues) {
  struct Case {
    double in, out;
  };
  const Case cases[] = {
      {kPi, -kPi},            // the upper end maps to the lower end
      {-kPi, -kPi},           // the lower end stays
      {7.0, 7.0 - kTwoPi},    // one turn off
      {0.0, 0.0},
      {-7.0, -7.0 + kTwoPi},
      {3.0 * kPi, -kPi},      // 3 pi - 2 pi = pi, which wraps once more
      {20.0, 20.0 - 3.0 * kTwoPi},
  };
  for (const auto& c : cases) {
    double x = c.in;
    const double r = phase_wrap_2pi(x);
    EXPECT_NEAR(r, c.out, 1e-14) << c.in;
    EXPECT_EQ(x, r) << "stored back into the argument";
    EXPECT_GE(r, -kPi);
    EXPECT_LT(r, kPi);
  }
}

TEST(PhaseWrap2Pi, LargeAndNonFiniteArgumentsEnd) {
  for (double big : {1e6, -1e6, 123456.789, 1e12}) {
    double x = big;
    phase_wrap_2pi(x);
    EXPECT_GE(x, -kPi);
    EXPECT_LT(x, kPi);
    // Differs from the argument by whole turns (to the rounding of the turn count).
    const double turns = (big - x) / kTwoPi;
    EXPECT_NEAR(turns, std::round(turns), 1e-6 * std::max(1.0, std::fabs(turns)) + 1e-9) << big;
  }
  // Phases far beyond any turn count a run reaches (a mistyped frequency or
  // coordinate) end at once and land in range.
  for (double huge : {3.7e37, -1e28, 1e300, std::numeric_limits<double>::max(),
                      -std::numeric_limits<double>::max()}) {
    double x = huge;
    phase_wrap_2pi(x);
    EXPECT_GE(x, -kPi) << huge;
    EXPECT_LT(x, kPi) << huge;
  }
  double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(phase_wrap_2pi(inf), std::numeric_limits<double>::infinity());
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(phase_wrap_2pi(nan)));
}

// The turn-by-turn subtraction the wrap stands for, as an independent
// reference over the few turns a run's phases span: a constant-time wrap must
// give the same value there (to the rounding the repeated subtraction adds).
TEST(PhaseWrap2Pi, AgreesWithTurnByTurnSubtraction) {
  for (double x0 = -40.0; x0 <= 40.0; x0 += 0.0731) {
    double ref = x0;
    while (ref >= kPi) ref -= kTwoPi;
    while (ref < -kPi) ref += kTwoPi;
    double x = x0;
    phase_wrap_2pi(x);
    if (std::fabs(x0) <= 4.0 * kPi) {
      EXPECT_EQ(x, ref) << x0;  // one subtraction of 2 pi is exact here
    } else {
      EXPECT_NEAR(x, ref, 1e-14 * std::fabs(x0)) << x0;
    }
  }
}

TEST(PhaseWrapHarm, TableOfValues) {
  struct Case {
    int h;
    double in, out;
  };
  const Case cases[] = {
      {3, 0.0, 0.0},
      {3, 3.0 * kPi, -3.0 * kPi},
      {3, -10.0, -10.0 + 6.0 * kPi},
      {0, 123.4, 123.4},  // h = 0 leaves the argument
      {0, -1e9, -1e9},
      // Harmonics that do not divide 500 keep 0 at 0 and stay within one period.
      {8, 0.0, 0.0},
      {7, 0.0, 0.0},
      {8, 9.0 * kPi, 9.0 * kPi - 16.0 * kPi},
      {1, 7.0, 7.0 - kTwoPi},
  };
  for (const auto& c : cases) EXPECT_NEAR(phase_wrap_harm(c.in, c.h), c.out, 1e-13) << c.h << " " << c.in;
}

TEST(PhaseWrapHarm, RangeAndWholePeriodsForEveryHarmonic) {
  for (int h : {1, 2, 3, 5, 7, 8, 12}) {
    const double period = kTwoPi * h;
    for (double x = -60.0; x <= 60.0; x += 0.37) {
      const double r = phase_wrap_harm(x, h);
      EXPECT_GE(r, -kPi * h);
      EXPECT_LT(r, kPi * h);
      const double turns = (x - r) / period;
      EXPECT_NEAR(turns, std::round(turns), 1e-12) << h << " " << x;
    }
  }
  // Harmonic 1 agrees with the 2 pi wrap.
  for (double x = -15.0; x <= 15.0; x += 0.1) {
    double y = x;
    EXPECT_NEAR(phase_wrap_harm(x, 1), phase_wrap_2pi(y), 1e-13) << x;
  }
}

TEST(ChargeGroups, GroupsByAscendingChargeAndLocates) {
  auto sim = make_sim();
  sim->config.NQTOT = 4;
  sim->config.QQ = {0.0, 2.0, 1.00005, 1.0, 3.0, 0.0, 0.0};
  struct Locate {
    double q;
    int lo, hi;
  };
  const Locate cases[] = {{2.5, 2, 3}, {0.5, 1, 0}, {3.00009, 3, 3}, {4.0, 3, 0},
                          {1.0, 1, 1}, {1.5, 1, 2}, {2.99995, 3, 3}};
  for (const auto& c : cases) {
    sim->config.QQ = {0.0, 2.0, 1.00005, 1.0, 3.0, 0.0, 0.0};
    group_charge_states(*sim, c.q);
    const ChargeGroups& g = sim->charge_groups;
    ASSERT_EQ(g.n_groups, 3);
    EXPECT_EQ(g.q_group[1], 1.0);
    EXPECT_EQ(g.q_group[2], 2.0);
    EXPECT_EQ(g.q_group[3], 3.0);
    EXPECT_EQ(g.group_of_state[1], 2);
    EXPECT_EQ(g.group_of_state[2], 1);
    EXPECT_EQ(g.group_of_state[3], 1);
    EXPECT_EQ(g.group_of_state[4], 3);
    EXPECT_EQ(sim->config.QQ[2], 1.0) << "a state takes its group's charge";
    EXPECT_EQ(sim->config.QQ[1], 2.0);
    EXPECT_EQ(g.group_lo, c.lo) << c.q;
    EXPECT_EQ(g.group_hi, c.hi) << c.q;
  }
}

// State 1: reference at phase 10 rad and a few particles near it; state 2:
// only particles outside the window or the energy acceptance.
class MeanPhase : public ::testing::Test {
 protected:
  void SetUp() override {
    sim = make_sim();
    set_start_values(*sim);
    Sim& s = *sim;
    s.config.NQTOT = 3;
    s.ref.w_origin = 1000.0;
    const double b0 = beta_of(1000.0);
    auto put = [&](int iq, int i, double phase, double W, int status) {
      s.particles.phase[iq][i] = phase;
      s.particles.beta[iq][i] = beta_of(W);
      s.particles.status[iq][i] = status;
    };
    (void)b0;
    s.config.NPAT[1] = 6;
    put(1, 0, 10.0, 1000.0, 0);
    put(1, 1, 10.5, 1010.0, 0);
    put(1, 2, 9.7, 990.0, 0);
    put(1, 3, 10.0 + kTwoPi + 0.1, 1000.0, 0);  // one bunch period later: distance 0.1
    put(1, 4, 12.0, 1000.0, 0);                 // 2 rad away: outside pi/2
    put(1, 5, 10.2, 1300.0, 0);                 // dW/W = 0.3 >= DWWACC
    put(1, 6, 10.3, 1000.0, -1);                // lost
    s.config.NPAT[2] = 2;
    put(2, 0, 1.0, 1500.0, 0);
    put(2, 1, 1.1, 1500.0, 0);
    put(2, 2, 1.2, 1000.0, -1);
    s.config.NPAT[3] = 1;
    put(3, 0, -4.0, 1000.0, 0);
    put(3, 1, -3.0, 1000.0, 0);
    // States 1 and 2 share a charge; state 3 is its own group.
    s.config.QQ = {0.0, 5.0, 5.0, 6.0, 0.0, 0.0, 0.0};
    group_charge_states(s, 5.0);
  }
  std::unique_ptr<Sim> sim;
};

TEST_F(MeanPhase, CountsOnlyParticlesInWindowAndAcceptance) {
  avg_phase_by_q(*sim, kPi / 2.0);
  const QstatePhases& q = sim->qphase;
  EXPECT_EQ(q.qstate_count[1], 4.0);
  EXPECT_NEAR(q.qstate_phase_origin[1], (10.0 + 10.5 + 9.7 + 10.1) / 4.0, 1e-12);
  EXPECT_EQ(q.qstate_count[2], 0.0);
  EXPECT_EQ(q.qstate_phase_origin[2], 0.0);
  EXPECT_EQ(q.qstate_count[3], 2.0);
  EXPECT_NEAR(q.qstate_phase_origin[3], -3.5, 1e-12);
  // Group 1 holds states 1 and 2; the empty state carries no weight.
  EXPECT_NEAR(q.group_mean_phase[1], q.qstate_phase_origin[1], 1e-12);
  EXPECT_NEAR(q.group_mean_phase[2], -3.5, 1e-12);
}

TEST_F(MeanPhase, GroupWithoutCountedParticlesGetsZero) {
  sim->config.QQ = {0.0, 5.0, 7.0, 6.0, 0.0, 0.0, 0.0};
  group_charge_states(*sim, 5.0);
  avg_phase_by_q(*sim, kPi / 2.0);
  // Groups by ascending charge: 5 (state 1), 6 (state 3), 7 (state 2, nothing counted).
  EXPECT_EQ(sim->qphase.group_mean_phase[3], 0.0);
  EXPECT_FALSE(std::isnan(sim->qphase.group_mean_phase[3]));
}

TEST_F(MeanPhase, NarrowWindowKeepsOnlyTheReference) {
  avg_phase_by_q(*sim, 0.05);
  EXPECT_EQ(sim->qphase.qstate_count[1], 1.0);
  EXPECT_EQ(sim->qphase.qstate_phase_origin[1], 10.0);
}

TEST(ParticleVector6, CoordinatesAboutTheOrigins) {
  auto sim = make_sim();
  set_start_values(*sim);
  Sim& s = *sim;
  s.ref.w_origin = 2000.0;
  s.ref.phase_origin = 1.5;
  s.particles.x[2][7] = 0.3;
  s.particles.xp[2][7] = -0.002;
  s.particles.y[2][7] = -0.1;
  s.particles.yp[2][7] = 0.004;
  s.particles.phase[2][7] = 2.0;
  s.particles.beta[2][7] = beta_of(2020.0);
  Vec6 v;
  particle_vector6(s, 7, 2, v);
  EXPECT_EQ(v[0], 0.3);
  EXPECT_EQ(v[1], -0.002);
  EXPECT_EQ(v[2], -0.1);
  EXPECT_EQ(v[3], 0.004);
  EXPECT_EQ(v[4], 0.5);
  EXPECT_NEAR(v[5], 0.01, 1e-10);
  EXPECT_NEAR(s.ref.gamma_s, 1.0 + 2020.0 / kAmuKev, 1e-14);
}

// A phase already inside [-pi, pi) is returned as it is, without the
// library reduction; the reduction itself must give the same bits there (a
// turn count of 0), and just outside the range both end inside it.
TEST(PhaseWrap2Pi, InRangeShortcutEqualsTheReduction) {
  const double below_pi = std::nextafter(kPi, 0.0), above_minus_pi = std::nextafter(-kPi, 0.0);
  for (double x0 : {-kPi, above_minus_pi, -1.0, -0.0, 0.0, 1e-300, 2.5, below_pi}) {
    double fast = x0, reduced = x0;
    phase_wrap_2pi(fast);
    phase_reduce_2pi(reduced);
    EXPECT_EQ(std::signbit(fast), std::signbit(x0)) << x0;
    EXPECT_EQ(fast, x0) << x0;
    EXPECT_EQ(reduced, x0) << x0;
  }
  for (double x0 : {kPi, std::nextafter(kPi, 4.0), std::nextafter(-kPi, -4.0)}) {
    double x = x0;
    phase_wrap_2pi(x);
    EXPECT_GE(x, -kPi) << x0;
    EXPECT_LT(x, kPi) << x0;
    EXPECT_NEAR(std::fabs(x0 - x), kTwoPi, 1e-15) << x0;  // one whole turn
  }
}

// The dW/W of a run of particles (two per instruction where the processor
// has packed operations, the odd last one alone) are the bits the
// one-particle coordinates give, and dW/W = W / w_origin - 1 from the
// energy of each speed.
TEST(EnergyDeviations, SameBitsAsTheParticleCoordinates) {
  auto sim = make_sim();
  set_start_values(*sim);
  Sim& s = *sim;
  const double w0 = 1500.0;
  const int n = 37;  // odd: the last particle goes alone
  for (int i = 0; i < n; ++i) s.particles.beta[1][i] = beta_of(w0 * (1.0 + 0.013 * (i - 18)) + 0.37 * i);
  for (int len : {0, 1, 2, 3, n}) {
    std::vector<double> dww(static_cast<std::size_t>(len) + 1, -7.0);
    energy_deviations(s.particles.beta[1], len, kAmuKev, w0, dww.data());
    for (int i = 0; i < len; ++i) {
      Vec6 v;
      particle_coords6(s.particles, i, 1, kAmuKev, w0, 0.0, v);
      EXPECT_EQ(dww[static_cast<std::size_t>(i)], v[5]) << len << " " << i;
      const double W = w0 * (1.0 + 0.013 * (i - 18)) + 0.37 * i;
      EXPECT_NEAR(dww[static_cast<std::size_t>(i)], W / w0 - 1.0, 1e-9) << i;
    }
    EXPECT_EQ(dww[static_cast<std::size_t>(len)], -7.0) << "nothing written past the run";
  }
}

}  // namespace
}  // namespace linac
