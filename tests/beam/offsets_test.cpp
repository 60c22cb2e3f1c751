#include <gtest/gtest.h>

#include <cmath>

#include "beam/offsets.hpp"
#include "run/sim.hpp"

namespace linac {
namespace {

double energy_kev(double beta, double amu_kev) {
  return (1.0 / std::sqrt(1.0 - beta * beta) - 1.0) * amu_kev;
}
double speed_of(double w, double amu_kev) {
  const double g = 1.0 + w / amu_kev;
  return std::sqrt(1.0 - 1.0 / (g * g));
}

// Two states: state 1 slots 0..3 with slot 2 lost and one test particle
// (slot 4); state 2 slots 0..1.
struct OffsetFixture : ::testing::Test {
  std::unique_ptr<Sim> sim = make_sim();
  void SetUp() override {
    Sim& s = *sim;
    set_start_values(s);
    s.ref.w0 = 500.0;
    s.config.NQTOT = 2;
    s.config.NPAT[1] = 3;
    s.config.NPAT[2] = 1;
    s.npat.ntest[1] = 1;
    for (int iq = 1; iq <= 2; ++iq)
      for (int i = 0; i <= 4; ++i) {
        s.particles.x[iq][i] = 0.1 * i;
        s.particles.xp[iq][i] = -0.001 * i;
        s.particles.y[iq][i] = 0.2 * i + iq;
        s.particles.yp[iq][i] = 0.002 * i;
        s.particles.phase[iq][i] = 0.05 * i - 0.1;
        s.particles.beta[iq][i] = speed_of(480.0 + 10.0 * i, s.ref.amu_kev);
      }
    s.particles.status[1][2] = kLost;
    s.particles.status[1][4] = 3;  // test particle tag
  }
};

TEST_F(OffsetFixture, ZeroOffsetsLeaveBeamUnchangedUpToRounding) {
  Sim& s = *sim;
  const double b = s.particles.beta[1][1];
  shift_beam_by_q(s);
  shift_beam(s, SeedOffset{});
  EXPECT_EQ(s.particles.x[1][1], 0.1);
  EXPECT_EQ(s.particles.phase[2][1], -0.05);
  // The speed goes through W = (gamma - 1) m and back: gamma - 1 carries a
  // relative rounding of about eps/(gamma - 1), and so does beta^2.
  const double gm1 = energy_kev(b, s.ref.amu_kev) / s.ref.amu_kev;
  EXPECT_NEAR(s.particles.beta[1][1], b, b * 8.0 * 2.2e-16 / gm1);
}

TEST_F(OffsetFixture, InjectionOffsetsPerStateMoveLiveBeamAndReference) {
  Sim& s = *sim;
  s.offsets.X00[1] = 0.3;
  s.offsets.XP00[1] = 0.001;
  s.offsets.Y00[2] = -0.2;
  s.offsets.YP00[2] = 0.004;
  s.offsets.PH00[2] = 0.5;
  s.offsets.DWW00[1] = 0.01;  // 1 %: +0.01 w0 keV/u
  shift_beam_by_q(s);
  const auto& p = s.particles;
  // State 1: reference and beam slots 0, 1, 3 moved; lost slot 2 and test slot 4 not.
  for (int i : {0, 1, 3}) {
    EXPECT_DOUBLE_EQ(p.x[1][i], 0.1 * i + 0.3) << i;
    EXPECT_DOUBLE_EQ(p.xp[1][i], -0.001 * i + 0.001) << i;
    EXPECT_NEAR(energy_kev(p.beta[1][i], s.ref.amu_kev), 480.0 + 10.0 * i + 5.0, 1e-7) << i;
    EXPECT_DOUBLE_EQ(p.y[1][i], 0.2 * i + 1) << i;  // state 2's offsets do not reach state 1
  }
  for (int i : {2, 4}) {
    EXPECT_EQ(p.x[1][i], 0.1 * i) << i;
    EXPECT_EQ(p.beta[1][i], speed_of(480.0 + 10.0 * i, s.ref.amu_kev)) << i;
  }
  for (int i : {0, 1}) {
    EXPECT_DOUBLE_EQ(p.y[2][i], 0.2 * i + 2 - 0.2);
    EXPECT_DOUBLE_EQ(p.yp[2][i], 0.002 * i + 0.004);
    EXPECT_DOUBLE_EQ(p.phase[2][i], 0.05 * i - 0.1 + 0.5);
    EXPECT_EQ(p.x[2][i], 0.1 * i);
  }
}

TEST_F(OffsetFixture, SeedOffsetIsTheSameForEveryState) {
  Sim& s = *sim;
  shift_beam(s, SeedOffset{0.01, -0.002, 0.03, 0.004, -0.2, 2.5});
  const auto& p = s.particles;
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i <= s.config.NPAT[iq]; ++i) {
      if (p.status[iq][i] < 0) continue;
      EXPECT_DOUBLE_EQ(p.x[iq][i], 0.1 * i + 0.01);
      EXPECT_DOUBLE_EQ(p.xp[iq][i], -0.001 * i - 0.002);
      EXPECT_DOUBLE_EQ(p.y[iq][i], 0.2 * i + iq + 0.03);
      EXPECT_DOUBLE_EQ(p.yp[iq][i], 0.002 * i + 0.004);
      EXPECT_DOUBLE_EQ(p.phase[iq][i], 0.05 * i - 0.1 - 0.2);
      EXPECT_NEAR(energy_kev(p.beta[iq][i], s.ref.amu_kev), 482.5 + 10.0 * i, 1e-7);
    }
  EXPECT_EQ(p.x[1][2], 0.2);
  EXPECT_EQ(p.x[1][4], 0.4);
}

}  // namespace
}  // namespace linac
