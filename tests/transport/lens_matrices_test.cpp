// Transfer matrices of the hard-edge lenses against physics nobody here
// wrote: symplecticity, the Larmor rotation of a solenoid, the thick-lens
// quadrupole, a solenoid of half a cyclotron turn, the drift limits, and
// the composition D(d) A D(d) of a lens with fringe drifts.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/constants.hpp"
#include "transport/lens_matrices.hpp"
#include "transport/push_z.hpp"

namespace linac {
namespace {

constexpr double kLambda = 29979245800.0 / 100e6;  // 100 MHz, cm

LensDesign design(double w0) { return {w0, kAmuKev, kLambda / kTwoPi}; }

double beta_of(double w) {
  const double g = w / kAmuKev + 1.0;
  return std::sqrt(1.0 - 1.0 / (g * g));
}

double betagamma_of(double w) {
  const double g = w / kAmuKev + 1.0;
  return std::sqrt(g * g - 1.0);
}

// Largest |entry| of the transverse 4 x 4 block.
double transverse_scale(const Matrix6& M) {
  double m = 0.0;
  for (int i = 1; i <= 4; ++i)
    for (int j = 1; j <= 4; ++j) m = std::max(m, std::abs(M(i, j)));
  return m;
}

// Largest |(M^T J M - J)(i, j)| of the transverse block, J = diag(J2, J2)
// with J2 = (0, 1; -1, 0).
double symplectic_defect(const Matrix6& M) {
  auto J = [](int i, int j) {
    if ((i == 1 && j == 2) || (i == 3 && j == 4)) return 1.0;
    if ((i == 2 && j == 1) || (i == 4 && j == 3)) return -1.0;
    return 0.0;
  };
  double worst = 0.0;
  for (int i = 1; i <= 4; ++i)
    for (int j = 1; j <= 4; ++j) {
      double s = 0.0;
      for (int k = 1; k <= 4; ++k)
        for (int l = 1; l <= 4; ++l) s += M(k, i) * J(k, l) * M(l, j);
      worst = std::max(worst, std::abs(s - J(i, j)));
    }
  return worst;
}

// Determinant by Gaussian elimination with partial pivoting.
double det6(Matrix6 A) {
  double det = 1.0;
  for (int c = 1; c <= 6; ++c) {
    int piv = c;
    for (int r = c + 1; r <= 6; ++r)
      if (std::abs(A(r, c)) > std::abs(A(piv, c))) piv = r;
    if (A(piv, c) == 0.0) return 0.0;
    if (piv != c) {
      for (int k = 1; k <= 6; ++k) std::swap(A(c, k), A(piv, k));
      det = -det;
    }
    det *= A(c, c);
    for (int r = c + 1; r <= 6; ++r) {
      const double f = A(r, c) / A(c, c);
      for (int k = c; k <= 6; ++k) A(r, k) -= f * A(c, k);
    }
  }
  return det;
}

double max_diff(const Matrix6& A, const Matrix6& B) {
  double worst = 0.0;
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) worst = std::max(worst, std::abs(A(i, j) - B(i, j)));
  return worst;
}

Matrix6 product(const Matrix6& A, const Matrix6& B) {
  Matrix6 P;
  matmul6(A, B, P);
  return P;
}

TEST(LensMatrices, SymplecticWithUnitDeterminant) {
  // Rounding of a product of entries of size m is about m^2 * 1e-16; the
  // cases keep m of order 10, so 1e-12 holds with the scale factor near 1.
  const double energies[] = {10.0, 1000.0, 1e6};       // keV/u
  const double sol_fields[] = {1000.0, -3000.0, 1e-10};  // G
  const double pole_tips[] = {5000.0, -2000.0, 1e-6};  // G, a = 2 cm
  const double qas[] = {0.5, -0.25};
  const double lengths[][2] = {{10.0, 10.0}, {14.0, 10.0}};  // L, Lf
  for (double W : energies)
    for (double qa : qas)
      for (const auto& len : lengths)
        for (int f = 0; f < 3; ++f) {
          const double beta = beta_of(W);
          const std::string label = "W " + std::to_string(W) + " qa " + std::to_string(qa) + " L " +
                                    std::to_string(len[0]) + " field " + std::to_string(f);
          const Matrix6 ms[] = {
              sol_matrix(qa, sol_fields[f], len[0], len[1], beta, design(W)),
              quad_matrix(qa, pole_tips[f] * 1e-4 / 2.0, len[0], len[1], beta, design(W)),
              rotation_matrix(sol_fields[f] * 1e-3)};
          for (const Matrix6& M : ms) {
            const double scale = std::max(1.0, transverse_scale(M));
            ASSERT_TRUE(std::isfinite(scale)) << label;
            EXPECT_LT(symplectic_defect(M), 1e-12 * scale * scale) << label;
            EXPECT_NEAR(det6(M), 1.0, 1e-12 * scale * scale) << label;
          }
        }
}

TEST(LensMatrices, SolenoidTurnsByTheLarmorAngle) {
  // B = 1000 G, L = Lf = 20 cm, proton at 1 MeV/u: B rho = 144012.75 G cm,
  // theta = B Lf / (2 B rho) = 0.0694383 rad.
  const double W = 1000.0;
  const double brho = kRigidityGcmPerKeV * betagamma_of(W) * kAmuKev;
  EXPECT_NEAR(brho, 144012.75, 0.01);
  const double theta = 1000.0 * 20.0 / (2.0 * brho);
  EXPECT_NEAR(theta, 0.0694383, 5e-8);
  const Matrix6 M = sol_matrix(1.0, 1000.0, 20.0, 20.0, beta_of(W), design(W));
  // (x0, 0, 0, 0) leaves at x0 cos(theta) (cos(theta), -sin(theta)): the
  // position turned by -theta, pulled in by the focusing cos(theta); the
  // slopes -x0 sin(theta) / Rb times (cos(theta), -sin(theta)).
  const double x0 = 0.7;
  const double c = std::cos(theta), s = std::sin(theta);
  const double Rb = 2.0 * brho / 1000.0;
  EXPECT_NEAR(M(1, 1) * x0, x0 * c * c, 1e-12);
  EXPECT_NEAR(M(3, 1) * x0, -x0 * c * s, 1e-12);
  EXPECT_NEAR(M(2, 1) * x0, -x0 * s * c / Rb, 1e-12);
  EXPECT_NEAR(M(4, 1) * x0, x0 * s * s / Rb, 1e-12);
  EXPECT_NEAR(std::atan2(M(3, 1), M(1, 1)), -theta, 1e-12);

  // Half a turn (theta = pi) with L = Lf: the transverse block is the unit
  // matrix.
  const double B_pi = kPi * 2.0 * brho / 20.0;
  const Matrix6 Mpi = sol_matrix(1.0, B_pi, 20.0, 20.0, beta_of(W), design(W));
  for (int i = 1; i <= 4; ++i)
    for (int j = 1; j <= 4; ++j) EXPECT_NEAR(Mpi(i, j), i == j ? 1.0 : 0.0, 1e-12) << i << j;
}

TEST(LensMatrices, VanishingStrengthIsADrift) {
  // A field of 1e-10 G (the floor of a sol line with P1 = 0) and Q/A = 0
  // (the limits sin(t)/t -> 1, sinh(t)/t -> 1) give the drift of length L
  // for a particle at the design energy, never a NaN. The floor of a quad
  // line, a pole tip of 1e-10 T, still focuses: it departs from the drift
  // by about (k L)^2.
  const double W = 1000.0;
  const double beta = beta_of(W);
  const Matrix6 D = drift_matrix(30.0, design(W));
  const double d56 = -(30.0 / (kLambda / kTwoPi)) / ((W / kAmuKev + 2.0) * betagamma_of(W));
  EXPECT_EQ(D(1, 2), 30.0);
  EXPECT_EQ(D(3, 4), 30.0);
  EXPECT_NEAR(D(5, 6), d56, 1e-14 * std::abs(d56));
  const Matrix6 exact[] = {sol_matrix(0.25, 1e-10, 30.0, 20.0, beta, design(W)),
                           sol_matrix(0.0, 2000.0, 30.0, 20.0, beta, design(W)),
                           quad_matrix(0.0, 0.25, 30.0, 20.0, beta, design(W))};
  for (const Matrix6& M : exact) EXPECT_LT(max_diff(M, D), 1e-12);
  const double G = 1e-10 / 2.0;
  const double k = std::sqrt(G * kForceK * 0.25 / betagamma_of(W));
  const Matrix6 weak = quad_matrix(0.25, G, 30.0, 20.0, beta, design(W));
  EXPECT_LT(max_diff(weak, D), 30.0 * (k * 30.0) * (k * 30.0));
  EXPECT_GT(max_diff(weak, D), 0.0);
}

TEST(LensMatrices, ThickQuadrupole) {
  // P1 = 5000 G, a = 2 cm (G = 0.25 T/cm), L = Lf = 10 cm, proton at
  // 1 MeV/u: k = sqrt(G K / (beta gamma)) = 0.1317557 1/cm, phi = 1.317557.
  const double W = 1000.0;
  const double G = 5000.0 * 1e-4 / 2.0;
  const double k = std::sqrt(G * kForceK / betagamma_of(W));
  EXPECT_NEAR(k, 0.1317557, 1e-7);
  const double phi = 10.0 * k;
  const Matrix6 M = quad_matrix(1.0, G, 10.0, 10.0, beta_of(W), design(W));
  struct Entry {
    int i, j;
    double formula, printed;
  } entries[] = {{1, 1, std::cos(phi), 0.2505409},       {2, 2, std::cos(phi), 0.2505409},
                 {1, 2, std::sin(phi) / k, 7.347733},    {2, 1, -k * std::sin(phi), -0.1275535},
                 {3, 3, std::cosh(phi), 2.001039},       {4, 4, std::cosh(phi), 2.001039},
                 {3, 4, std::sinh(phi) / k, 13.15503},   {4, 3, k * std::sinh(phi), 0.2283656}};
  for (const auto& e : entries) {
    EXPECT_NEAR(M(e.i, e.j), e.formula, 1e-12 * std::abs(e.formula)) << e.i << e.j;
    EXPECT_NEAR(M(e.i, e.j), e.printed, 5e-7 * std::abs(e.printed)) << e.i << e.j;
  }
  EXPECT_EQ(M(1, 3), 0.0);
  EXPECT_EQ(M(3, 1), 0.0);

  // A negative gradient or a negative Q/A exchanges the planes.
  const Matrix6 swaps[] = {quad_matrix(1.0, -G, 10.0, 10.0, beta_of(W), design(W)),
                           quad_matrix(-1.0, G, 10.0, 10.0, beta_of(W), design(W))};
  for (const Matrix6& S : swaps)
    for (int i = 1; i <= 2; ++i)
      for (int j = 1; j <= 2; ++j) {
        EXPECT_EQ(S(i, j), M(i + 2, j + 2));
        EXPECT_EQ(S(i + 2, j + 2), M(i, j));
      }
}

TEST(LensMatrices, FringeDriftsComposeWithTheBody) {
  // L = 14, Lf = 10 equals D(2) A D(2), with A the lens of L = Lf = 10 for
  // the particle and D the drift at the design energy; the particle is off
  // the design energy so that the phase rows of D and A differ.
  const double W = 1000.0;
  const double beta = beta_of(1010.0);
  const Matrix6 D = drift_matrix(2.0, design(W));
  const Matrix6 sol_body = sol_matrix(0.5, 3000.0, 10.0, 10.0, beta, design(W));
  const Matrix6 quad_body = quad_matrix(0.5, 0.2, 10.0, 10.0, beta, design(W));
  EXPECT_LT(max_diff(sol_matrix(0.5, 3000.0, 14.0, 10.0, beta, design(W)),
                     product(product(D, sol_body), D)),
            1e-13);
  EXPECT_LT(max_diff(quad_matrix(0.5, 0.2, 14.0, 10.0, beta, design(W)),
                     product(product(D, quad_body), D)),
            1e-13);
  // The solenoid body is the rotation by theta times the focusing block.
  const double theta = 10.0 * 3000.0 * 0.5 /
                       (2.0 * kRigidityGcmPerKeV * beta / std::sqrt(1.0 - beta * beta) * kAmuKev);
  const Matrix6 R = rotation_matrix(theta);
  Matrix6 focus = product(rotation_matrix(-theta), sol_body);
  EXPECT_NEAR(focus(1, 3), 0.0, 1e-15);
  EXPECT_NEAR(focus(1, 1), std::cos(theta), 1e-15);
  EXPECT_LT(max_diff(product(R, focus), sol_body), 1e-15);
}

TEST(LensMatrices, RotationTurnsPositionsAndSlopesAlike) {
  const double t = 0.3;
  const Matrix6 R = rotation_matrix(t);
  EXPECT_EQ(R(1, 1), std::cos(t));
  EXPECT_EQ(R(1, 3), std::sin(t));
  EXPECT_EQ(R(2, 4), std::sin(t));
  EXPECT_EQ(R(3, 1), -std::sin(t));
  EXPECT_EQ(R(4, 2), -std::sin(t));
  EXPECT_EQ(R(5, 5), 1.0);
  EXPECT_EQ(R(6, 6), 1.0);
  EXPECT_EQ(R(5, 6), 0.0);
  EXPECT_LT(max_diff(product(R, rotation_matrix(-t)), [] {
              Matrix6 u;
              unit_matrix6(u);
              return u;
            }()),
            1e-15);
}

}  // namespace
}  // namespace linac
