// The pure routines of the matrix sections against closed forms: the drift
// in matrix units, periodic Twiss parameters of known 2 x 2 blocks, the
// effective solenoid of a hard-edge solenoid between drifts, the thin RF
// gap, and the matrix.dat records of one charge state of a drift section.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/constants.hpp"
#include "matrices/matrx.hpp"
#include "matrices/section_matrix.hpp"
#include "transport/lens_matrices.hpp"

namespace linac {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLambdaBar = 29979.2458 / 100.0 / (2.0 * kPi);  // cm at 100 MHz, harm 1

TEST(SectionMatrix, EnergyAndSpeedConversionsInvertEachOther) {
  for (double W : {1.0, 1000.0, 4692.696299165396, 1e6}) {
    const double beta = beta_from_kinetic_energy(W, kAmuKev);
    const double g = 1.0 + W / kAmuKev;
    EXPECT_NEAR(beta, std::sqrt(1.0 - 1.0 / (g * g)), 1e-15 / std::min(1.0, beta));
    EXPECT_NEAR(kinetic_energy_from_beta(beta, kAmuKev), W, 1e-13 * W);
  }
}

TEST(SectionMatrix, DriftMatrixInMatrixUnits) {
  // 50 cm at 1000 keV/u: R56 = -(L/lambdabar)/((gamma+1) beta gamma)
  // (180/pi)/100 = -6.473622 deg/%.
  const double gamma = 1.0 + 1000.0 / kAmuKev;
  const Matrix6 M = drift_matrix6(50.0, gamma, kLambdaBar);
  EXPECT_NEAR(kLambdaBar, 47.71345, 1e-5);
  EXPECT_DOUBLE_EQ(M(1, 2), 0.05);
  EXPECT_DOUBLE_EQ(M(3, 4), 0.05);
  EXPECT_NEAR(M(5, 6), -6.473622, 1e-6);
  EXPECT_EQ(M(2, 1), 0.0);
  const auto d = block_determinants(M);
  for (double v : d) EXPECT_DOUBLE_EQ(v, 1.0);
}

TEST(SectionMatrix, PeriodicTwissOfKnownBlocks) {
  // The block of a lattice with phase advance mu, beta and alpha:
  // (cos + alpha sin, beta sin; -gamma sin, cos - alpha sin).
  struct Case {
    double mu_deg, beta, alpha;
    int plane;
    double listed_mu;  // degrees
  } cases[] = {
      {60.0, 3.0, 0.5, 0, 60.0},
      {300.0, 3.0, -0.2, 1, 300.0},  // sin mu < 0: beyond 180 deg in x and y
      {60.0, 3.0, 0.0, 2, 300.0},    // in P a positive sin mu lists 360 - mu
  };
  for (const Case& c : cases) {
    const double m = c.mu_deg * kPi / 180.0, s = std::sin(m), co = std::cos(m);
    const double g = (1.0 + c.alpha * c.alpha) / c.beta;
    // The block is written with beta > 0 and the sign of sin mu; listing
    // conventions then pick the quadrant.
    const PlaneTwiss t = periodic_twiss(co + c.alpha * s, c.beta * s, -g * s, co - c.alpha * s, c.plane);
    ASSERT_TRUE(t.stable);
    EXPECT_NEAR(t.cosmu, co, 1e-14);
    EXPECT_NEAR(t.beta, c.beta, 1e-12);
    EXPECT_NEAR(t.alpha, c.alpha, 1e-12);
    EXPECT_NEAR(t.gamma, g, 1e-12);
    EXPECT_NEAR(t.mu_deg, c.listed_mu, 1e-10);
  }
  // Half traces of 1 (a drift) and within 1e-9 of it are not periodic.
  EXPECT_FALSE(periodic_twiss(1.0, 0.5, 0.0, 1.0, 0).stable);
  EXPECT_FALSE(periodic_twiss(1.0 - 4e-10, 0.5, -1e-9, 1.0 - 4e-10, 0).stable);
  EXPECT_FALSE(periodic_twiss(NAN, 0.5, 0.0, 1.0, 0).stable);
  EXPECT_TRUE(periodic_twiss(0.999, 0.5, -0.003998, 0.999, 0).stable);
}

TEST(SectionMatrix, EffectiveSolenoidOfHardEdgeSolenoid) {
  // The lens solenoid of body length Lf inside L: d = (L - Lf)/2, Heff =
  // Lf, Beff = B, for any Larmor angle, in matrix units.
  const LensDesign d{1000.0, kAmuKev, kLambdaBar};
  const double beta = beta_from_kinetic_energy(1000.0, kAmuKev);
  for (double B : {500.0, 3000.0, -8000.0}) {
    const Matrix6 S = sol_matrix(1.0, B, 30.0, 20.0, beta, d);
    Matrix6 R = S;
    R(2, 1) *= 1000.0;  // rad/cm -> mrad/cm
    const double bg = beta / std::sqrt(1.0 - beta * beta);
    const double theta = 20.0 * B / (2.0 * kRigidityGcmPerKeV * bg * kAmuKev);
    const EffectiveSolenoid e = effective_solenoid(R, theta, 30.0, 20.0, B);
    ASSERT_TRUE(e.ok) << B;
    EXPECT_NEAR(e.d, 5.0, 1e-9);
    EXPECT_NEAR(e.Heff, 20.0, 1e-9);
    EXPECT_NEAR(e.Beff, B, 1e-9 * std::abs(B));
  }
  Matrix6 I;
  unit_matrix6(I);
  EXPECT_FALSE(effective_solenoid(I, 0.0, 30.0, 20.0, 1000.0).ok);  // R21 = 0
}

TEST(SectionMatrix, ThinGapFromSectionMatrix) {
  // G21 = R21 (the half drifts change neither row 2 nor column 1); dW =
  // ETL cos Ph and Z = ETL sin Ph; the half drifts at their own energies
  // take the drift terms off a pure drift exactly when the energy is
  // unchanged.
  const double L = 20.0, Win = 1000.0, Wout = 1100.0;
  Matrix6 R = drift_matrix6(L, 1.0 + Win / kAmuKev, kLambdaBar);
  R(2, 1) = -0.7;
  R(4, 3) = -0.7;
  const double bg_out = std::sqrt(Wout / kAmuKev * (Wout / kAmuKev + 2.0));
  const ThinGap g = thin_gap(R, L, Win, Wout, bg_out, kLambdaBar, kAmuKev);
  EXPECT_EQ(g.G(2, 1), R(2, 1));
  EXPECT_NEAR(g.dW, 100.0, 1e-12);
  EXPECT_NEAR(g.ETL * std::cos(g.Ph * kPi / 180.0), g.dW, 1e-10);
  EXPECT_NEAR(g.ETL * std::sin(g.Ph * kPi / 180.0), g.Z, 1e-10);
  EXPECT_GT(g.Z, 0.0);  // a focusing section (R21 < 0) has Z > 0
  const ThinGap d = thin_gap(drift_matrix6(L, 1.0 + Win / kAmuKev, kLambdaBar), L, Win, Win, 0.05,
                             kLambdaBar, kAmuKev);
  EXPECT_EQ(d.ETL, 0.0);
  EXPECT_EQ(d.Ph, 0.0);  // no kick and no energy gain: phase 0, not NaN
  Matrix6 I;
  unit_matrix6(I);
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) EXPECT_NEAR(d.G(i, j), I(i, j), 1e-15);
}

TEST(SectionMatrix, CentralDifferencesAndZeroSteps) {
  // Outputs linear in the inputs: X(+-) = +-step * column; a zero step
  // gives a zero column, never a division by zero.
  std::array<std::array<double, 6>, 6> minus{}, plus{};
  const std::array<double, 6> steps{0.1, 1.0, 0.0, 1.0, 2.0, 0.1};
  for (int j = 0; j < 6; ++j)
    for (int i = 0; i < 6; ++i) {
      const double col = 1.0 + i + 10.0 * j;
      plus[j][i] = steps[j] * col;
      minus[j][i] = -steps[j] * col;
    }
  const Matrix6 R = section_matrix_from_differences(minus, plus, steps);
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 6; ++i)
      EXPECT_NEAR(R(i, j), j == 3 ? 0.0 : 1.0 + (i - 1) + 10.0 * (j - 1), 1e-13) << i << j;
}

TEST(SectionMatrix, ListingOfOneDriftSectionState) {
  // A 50 cm drift at 1000 keV/u, one charge state. Lines written by hand
  // from the record layout: two empty lines, the charge (A12,F8.2), the
  // length (A25,F12.4,A3), the matrix by columns (R12 first on line 2),
  // the thin-lens block, then " cosmu >1 " for every plane.
  SectionListing s;
  s.L = 50.0;
  s.W_in = s.W_out = 1000.0;
  s.ends.gm1_in = s.ends.gm1_out = 1000.0 / kAmuKev;
  s.ends.bg_in = s.ends.bg_out = std::sqrt(s.ends.gm1_in * (s.ends.gm1_in + 2.0));
  s.ends.omega_ns = 2.0 * kPi * 0.1;
  s.wavelength_2pi = kLambdaBar;
  s.amu_kev = kAmuKev;
  const Matrix6 R = drift_matrix6(50.0, 1.0 + s.ends.gm1_in, kLambdaBar);
  const std::vector<std::string> got = state_listing(s, 7.0, 40.0, R, 0.0).take_records();
  const std::vector<std::string> head = {
      "",
      "",
      "     Charge     7.00",
      "    Length of the section     50.0000 cm",
      "",
      "   nonsymplectic  matrix",
      "    1.0000    0.0000    0.0000    0.0000    0.0000    0.0000",
      "    0.0500    1.0000    0.0000    0.0000    0.0000    0.0000",
      "    0.0000    0.0000    1.0000    0.0000    0.0000    0.0000",
      "    0.0000    0.0000    0.0500    1.0000    0.0000    0.0000",
      "    0.0000    0.0000    0.0000    0.0000    1.0000    0.0000",
      "    0.0000    0.0000    0.0000    0.0000   -6.4736    1.0000",
      "",
      "   nonsymplectic  matrix after rotation",
  };
  ASSERT_GE(got.size(), head.size() + 6);
  for (std::size_t k = 0; k < head.size(); ++k) EXPECT_EQ(got[k], head[k]) << k;
  const std::vector<std::string> thin = {
      "",
      "   nonsymplectic thin lens for RF gap",
      "   1000.0000000000000     ",
      "   1000.0000000000000     ",
      "   1000.0000000000000     ",
      "   0.0000000000000000     ",
      "   0.0000000000000000     ",
      "    1.0000    0.0000    0.0000    0.0000    0.0000    0.0000",
  };
  for (std::size_t k = 0; k < thin.size(); ++k) EXPECT_EQ(got[head.size() + 6 + k], thin[k]) << k;
  const std::vector<std::string> planes = {"", "", "   X-plane ", "  cosmu >1 ",
                                           "", "", "   Y-plane ", "  cosmu >1 ",
                                           "", "", "   P-plane ", "  cosmu >1 ",
                                           "  sm before"};
  const std::size_t p0 = got.size() - 13 - planes.size();
  for (std::size_t k = 0; k < planes.size(); ++k) EXPECT_EQ(got[p0 + k], planes[k]) << k;
  EXPECT_EQ(got[got.size() - 7], "  sm after");
}

}  // namespace
}  // namespace linac
