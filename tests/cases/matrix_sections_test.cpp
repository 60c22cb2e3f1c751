// End-to-end cases of the matrix sections (tests/cases/matrix_sections):
// updat and matrx lines around drifts, matrix quads and a matrix solenoid,
// the section matrices against the analytic lens matrices, the periodic
// Twiss parameters of a FODO cell against the thin-lens formulas, the
// effective solenoid, the bad-input stops and the thread identity of the
// FODO example's matrix.dat.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>

#include <fmt/format.h>

#include "case_harness.hpp"
#include "elements/rf_gap_fixture.hpp"
#include "common/constants.hpp"
#include "matrices/section_matrix.hpp"
#include "platform/fatal.hpp"
#include "transport/lens_matrices.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;

constexpr double kW = 1000.0;  // keV/u
constexpr double kDegRad = 3.14159265358979323846 / 180.0;
constexpr double kLambdaBar = 29979.2458 / 100.0 / (2.0 * 3.14159265358979323846);  // cm, 100 MHz

const std::vector<Placed> kBeam = {{0.01, 0, 0, 0}, {-0.01, 0, 0, 0}, {0, 0, 0.01, 0}, {0, 0, -0.01, 0}};

struct SectionRun {
  std::unique_ptr<CaseRun> run;
  Matrix6 R(int iq) const {
    Matrix6 M;
    const auto& s = run->sim->matrx.section_matrix[static_cast<std::size_t>(iq)];
    for (int j = 1; j <= 6; ++j)
      for (int i = 1; i <= 6; ++i) M(i, j) = s[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)];
    return M;
  }
  std::string listing() const { return run->file("matrix.dat"); }
};

// `tables` writes the field tables and other inputs of the lattice into the
// scratch directory before the inputs are read.
SectionRun run_section(const std::string& lattice, const char* case_dir = "cases/matrix_sections",
                       const std::function<void(const CaseRun&)>& tables = {}) {
  SectionRun r{std::make_unique<CaseRun>(case_dir)};
  testing::write_file(r.run->dir / "sclinac.dat", lattice + "stop\n");
  if (tables) {
    r.run->sim->units.set_directory(r.run->dir.path());
    tables(*r.run);
  }
  r.run->read_inputs();
  r.run->place_beam(1, kBeam);
  r.run->place_beam(2, kBeam);
  r.run->run_nominal_pass();
  return r;
}

// A lens matrix of the rad units (x', y' rad, phase rad, dW/W) in the
// matrix units (mrad, deg, %).
Matrix6 to_matrix_units(const Matrix6& M) {
  const double u[6] = {1.0, 1000.0, 1.0, 1000.0, 180.0 / 3.14159265358979323846, 100.0};
  Matrix6 R;
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 6; ++i) R(i, j) = M(i, j) * u[i - 1] / u[j - 1];
  return R;
}

LensDesign design() { return {kW, kAmuKev, kLambdaBar}; }

double design_beta() { return beta_from_kinetic_energy(kW, kAmuKev); }

TEST(MatrixSections, DriftSectionIsTheDriftMatrix) {
  // 50 cm: R12 = R34 = 0.05 cm/mrad and R56 = -(L/lambdabar)/((gamma+1)
  // beta gamma) (180/pi)/100 = -6.473622 deg/%. The transverse push is
  // linear, so the central differences are exact to rounding; the phase
  // goes as 1/beta, whose central difference errs by (5/8)(P6/100)^2
  // relative at P6 = 0.1 %, i.e. 6e-7.
  const SectionRun s = run_section("1 updat 0.1 1.0 0.1 1.0 1.0 0.1\n1 drift 50.0 5.0 5.0\n1 matrx\n");
  for (int iq = 1; iq <= 2; ++iq) {
    const Matrix6 R = s.R(iq);
    for (int i = 1; i <= 4; ++i)
      for (int j = 1; j <= 4; ++j) {
        const double want = (i == j) ? 1.0 : ((i == 1 && j == 2) || (i == 3 && j == 4)) ? 0.05 : 0.0;
        EXPECT_NEAR(R(i, j), want, 1e-12) << iq << " " << i << j;
      }
    EXPECT_NEAR(R(5, 6), -6.473622, 1e-6 * 6.473622);
    EXPECT_NEAR(R(5, 5), 1.0, 1e-12);
    EXPECT_NEAR(R(6, 6), 1.0, 1e-12);
  }
  // Every plane of a drift has half trace 1: no periodic solution.
  const std::string text = s.listing();
  std::size_t n = 0;
  for (std::size_t p = text.find(" cosmu >1 "); p != std::string::npos; p = text.find(" cosmu >1 ", p + 1)) ++n;
  EXPECT_EQ(n, 6u);  // three planes for each of the two charge states
  EXPECT_EQ(text.find("NaN"), std::string::npos);
}

TEST(MatrixSections, QuadSectionsAreTheLensProduct) {
  // Thin and thick matrix quads between drifts: the transverse block of the
  // section equals the product of the lens matrices; the symplectic form
  // has unit block determinants and M^T J M = J.
  struct Case {
    double Lf;
  } cases[] = {{0.1}, {10.0}};
  for (const Case& c : cases) {
    const double B = 1500.0, a = 2.0;
    const std::string q = "-1 quad " + std::to_string(B) + " " + std::to_string(c.Lf) + " " +
                          std::to_string(c.Lf) + " 2.0\n";
    const std::string qd = "-1 quad " + std::to_string(-B) + " " + std::to_string(c.Lf) + " " +
                           std::to_string(c.Lf) + " 2.0\n";
    const SectionRun s = run_section("1 updat 0.1 1.0 0.1 1.0 1.0 0.1\n1 drift 30.0 5.0 5.0\n" + q +
                                     "1 drift 40.0 5.0 5.0\n" + qd + "1 matrx\n");
    for (int iq = 1; iq <= 2; ++iq) {
      const double qa = iq == 1 ? 1.0 : 0.5;
      const double G = B * 1e-4 / a;
      Matrix6 M = drift_matrix(30.0, design());
      matmul6_left(quad_matrix(qa, G, c.Lf, c.Lf, design_beta(), design()), M);
      matmul6_left(drift_matrix(40.0, design()), M);
      matmul6_left(quad_matrix(qa, -G, c.Lf, c.Lf, design_beta(), design()), M);
      const Matrix6 want = to_matrix_units(M);
      const Matrix6 R = s.R(iq);
      for (int i = 1; i <= 4; ++i)
        for (int j = 1; j <= 4; ++j)
          EXPECT_NEAR(R(i, j), want(i, j), 1e-10) << "Lf " << c.Lf << " state " << iq << " " << i << j;
      const double gm1 = kW / kAmuKev;
      const double bg = std::sqrt(gm1 * (gm1 + 2.0));
      const SectionEnds e{bg, bg, gm1, gm1, 2.0 * 3.14159265358979323846 * 0.1};
      const Matrix6 Ms = symplectic_form(R, e);
      const auto d = block_determinants(Ms);
      EXPECT_NEAR(d[0], 1.0, 1e-12);
      EXPECT_NEAR(d[1], 1.0, 1e-12);
      const Matrix6 K = symplecticity_matrix(Ms);
      for (int i = 1; i <= 4; ++i)
        for (int j = 1; j <= 4; ++j) {
          const double J = (j == i + 1 && i % 2 == 1) ? 1.0 : (i == j + 1 && j % 2 == 1) ? -1.0 : 0.0;
          EXPECT_NEAR(K(i, j), J, 1e-12) << i << j;
        }
    }
  }
}

// FODO cell from the QF centre, focal length f = 100 cm at Q/A 1 and
// 1000 keV/u (P1 = +-2880.255 G at 2 cm), quad spacing 100 cm.
// The pole-tip field scales as 1/Lf so that f = 1/(k^2 Lf) stays 100 cm.
std::string fodo(double Lf) {
  const auto num = [](double v) { return std::to_string(v); };
  const double d = 100.0 - Lf;
  const std::string B = num(2880.255 / Lf);
  return "1 updat 0.1 1.0 0.1 1.0 1.0 0.1\n-1 quad " + B + " " + num(Lf / 2) + " " + num(Lf / 2) +
         " 2.0\n1 drift " + num(d) + " 5.0 5.0\n-1 quad -" + B + " " + num(Lf) + " " + num(Lf) +
         " 2.0\n1 drift " + num(d) + " 5.0 5.0\n-1 quad " + B + " " + num(Lf / 2) + " " + num(Lf / 2) +
         " 2.0\n1 matrx\n";
}

TEST(MatrixSections, FodoCellPeriodicTwiss) {
  // Thin lens: cos mu = 1 - L^2/(2 f^2) = 0.5, betX = 2L(1 + sin(mu/2))/sin
  // mu = 346.410, betY = 2L(1 - sin(mu/2))/sin mu = 115.470 cm/rad, alpha
  // = 0. The thick lens departs from it in proportion to Lf (3.3e-3 in
  // cos mu at 1 cm): the gap at 0.1 cm is a tenth of that at 1 cm.
  double gap[2] = {0, 0};
  const double Lfs[2] = {1.0, 0.1};
  for (int k = 0; k < 2; ++k) {
    const SectionRun s = run_section(fodo(Lfs[k]));
    const Matrix6 R = s.R(1);
    const double gm1 = kW / kAmuKev;
    const double bg = std::sqrt(gm1 * (gm1 + 2.0));
    const SectionEnds e{bg, bg, gm1, gm1, 2.0 * 3.14159265358979323846 * 0.1};
    const Matrix6 M = symplectic_form(R, e);
    const PlaneTwiss x = periodic_twiss(M(1, 1), M(1, 2), M(2, 1), M(2, 2), 0);
    const PlaneTwiss y = periodic_twiss(M(3, 3), M(3, 4), M(4, 3), M(4, 4), 1);
    ASSERT_TRUE(x.stable && y.stable);
    gap[k] = x.cosmu - 0.5;
    const double sh = std::sin(3.14159265358979323846 / 6.0), sm = std::sin(3.14159265358979323846 / 3.0);
    EXPECT_NEAR(x.beta * 1000.0 * bg, 200.0 * (1.0 + sh) / sm, 0.2 * Lfs[k] + 1e-3);
    EXPECT_NEAR(y.beta * 1000.0 * bg, 200.0 * (1.0 - sh) / sm, 0.8 * Lfs[k] + 1e-3);
    EXPECT_NEAR(x.alpha, 0.0, 1e-9);
    EXPECT_NEAR(y.alpha, 0.0, 1e-9);
    if (k == 0) {
      // The listing at 1 cm shows the exact product to its digits.
      const std::string t = s.listing();
      EXPECT_NE(t.find("     cosmu   0.50333     sinmu   0.86409\n      muX      59.78   deg\n"
                       "     betX     0.34651D+03  cm/rad\n"),
                std::string::npos)
          << t;
      EXPECT_NE(t.find("     betY     0.11621D+03  cm/rad\n"), std::string::npos);
      // Periodic ellipse: sm before = sm after in the transverse blocks.
      Matrix6 U;
      unit_matrix6(U);
      U(1, 1) = x.beta, U(1, 2) = U(2, 1) = -x.alpha, U(2, 2) = x.gamma;
      U(3, 3) = y.beta, U(3, 4) = U(4, 3) = -y.alpha, U(4, 4) = y.gamma;
      Matrix6 V = U;
      sigma_transform(V, M);
      for (int i = 1; i <= 4; ++i)
        for (int j = 1; j <= 4; ++j) EXPECT_NEAR(V(i, j), U(i, j), 1e-9) << i << j;
    }
  }
  EXPECT_NEAR(gap[0], 3.3e-3, 0.2e-3);
  EXPECT_NEAR(gap[1] / gap[0], 0.1, 0.01);
}

// Largest |K - J| over the rows and columns first..last of K = M^T J M.
double symplectic_defect(const Matrix6& K, int first, int last) {
  double worst = 0.0;
  for (int i = first; i <= last; ++i)
    for (int j = first; j <= last; ++j) {
      const double J = (j == i + 1 && i % 2 == 1) ? 1.0 : (i == j + 1 && j % 2 == 1) ? -1.0 : 0.0;
      worst = std::max(worst, std::abs(K(i, j) - J));
    }
  return worst;
}

SectionEnds design_ends() {
  const double gm1 = kW / kAmuKev;
  const double bg = std::sqrt(gm1 * (gm1 + 2.0));
  return {bg, bg, gm1, gm1, 2.0 * 3.14159265358979323846 * 0.1};
}

TEST(MatrixSections, MatrixSolenoidEffectiveParameters) {
  // A matrix solenoid of field B, length L and effective length Lf alone in
  // its section: d = (L - Lf)/2, Heff = Lf and Beff = B for every charge
  // state, and the matrix turned back by the state's Larmor angle is
  // block-diagonal.
  const double B = 3000.0, L = 30.0, Lf = 20.0;
  const SectionRun s = run_section("1 updat 0.1 1.0 0.1 1.0 1.0 0.1\n0 sol 3000.0 30.0 20.0 5.0\n1 matrx\n");
  const double theta = s.run->sim->history.larmor_angle[2];
  const double brho = kRigidityGcmPerKeV * std::sqrt(kW / kAmuKev * (kW / kAmuKev + 2.0)) * kAmuKev;
  EXPECT_NEAR(theta, B * Lf / (2.0 * brho), 1e-12);
  for (int iq = 1; iq <= 2; ++iq) {
    const double th = theta * (iq == 1 ? 1.0 : 0.5);
    const Matrix6 R = s.R(iq);
    const EffectiveSolenoid e = effective_solenoid(R, th, L, Lf, B);
    ASSERT_TRUE(e.ok);
    EXPECT_NEAR(e.d, (L - Lf) / 2.0, 1e-9);
    EXPECT_NEAR(e.Heff, Lf, 1e-9);
    EXPECT_NEAR(e.Beff, B, 1e-9 * B);
    Matrix6 A = R;
    matmul6_left(rotation_matrix(-th), A);
    for (int i = 1; i <= 2; ++i)
      for (int j = 3; j <= 4; ++j) {
        EXPECT_NEAR(A(i, j), 0.0, 1e-10) << iq;
        EXPECT_NEAR(A(j, i), 0.0, 1e-10) << iq;
      }
    EXPECT_LT(symplectic_defect(symplecticity_matrix(symplectic_form(A, design_ends())), 1, 6), 1e-12) << iq;
  }
  const std::string t = s.listing();
  EXPECT_NE(t.find(" Effective parameters of the solenoid for TRACE3D\n Dsol=        30.000  cm\n"
                   " Beff=      3000.000  Gs\n Ddrift=       5.000  cm\n Heff=        20.000  cm\n"),
            std::string::npos)
      << t;
}

TEST(MatrixSections, TableSolenoidTendsToTheHardEdgeEquivalent) {
  // On-axis field B0 exp(-z^2 / 2 sigma^2), sigma = 5 cm, in the middle of a
  // 60 cm section (the field at the ends is exp(-18) of the peak). The hard
  // edge of the same field integral and the same integral of B^2 is
  // Heff = 2 sqrt(pi) sigma = 17.7245 cm long with Beff = B0 / sqrt(2); for
  // a finite turn theta the fitted Heff is shorter and Beff higher by
  // theta^2/94 (6.6e-4 at theta = 0.25 rad, from the exact thick-lens
  // matrix of the Gaussian profile), a quarter of that at half the field.
  // B0 is set for theta = 0.25 rad at Q/A 1; the Q/A 1/2 state turns by
  // half of it, and the second run halves the field.
  // The element interpolates the field linearly between the samples (h =
  // 0.1 cm): that keeps the field integral (trapezoid rule, exact here to
  // rounding) but lowers the integral of B^2 by h^2 int B'^2 / 6 = h^2 /
  // (12 sigma^2) = 3.3e-5 of it, so the limits are Heff = 2 sqrt(pi) sigma
  // (1 + h^2/12 sigma^2) and Beff = B0 / (sqrt(2) (1 + h^2/12 sigma^2)).
  constexpr double kSigma = 5.0, kLen = 60.0, kH = kLen / 600;
  const double pi = 3.14159265358979323846;
  const double interp = 1.0 + kH * kH / (12.0 * kSigma * kSigma);
  const double heff0 = 2.0 * std::sqrt(pi) * kSigma * interp;
  const double beff0 = 1.0 / (std::sqrt(2.0) * interp);  // over B0
  const double flux = std::sqrt(2.0 * pi) * kSigma;  // field integral over B0, cm
  const double brho = kRigidityGcmPerKeV * std::sqrt(kW / kAmuKev * (kW / kAmuKev + 2.0)) * kAmuKev;
  const double b_full = 2.0 * brho * 0.25 / flux;
  const auto tables = [&](const CaseRun& r) {
    std::vector<double> samples(601);
    for (int i = 0; i <= 600; ++i)
      samples[static_cast<std::size_t>(i)] =
          analytic::gaussian_solenoid_axis(1.0, kSigma, i * kLen / 600 - kLen / 2);
    write_solenoid_table(r.sim->units, "solenoid.#01", samples);
  };
  double dev_heff[2][2], dev_beff[2][2], heff[2][2], beff[2][2];
  for (int level = 0; level < 2; ++level) {
    const double B0 = level == 0 ? b_full : b_full / 2.0;
    const SectionRun s = run_section(
        fmt::format("1 updat 0.01 0.1 0.01 0.1 1.0 0.1\n1 sol {:.10f} 60.0 0.0 5.0 0.0 600\n1 matrx\n", B0),
        "cases/matrix_sections_table", tables);
    // The table's effective length (a spline quadrature over the 0.1 cm
    // steps of the reference path, O((h/sigma)^4)) and the design turn.
    EXPECT_NEAR(s.run->sim->ref.eff_len, flux, 1e-7 * flux);
    const double theta = s.run->sim->history.larmor_angle[2];
    EXPECT_NEAR(theta, B0 * flux / (2.0 * brho), 1e-6 * theta);
    for (int iq = 1; iq <= 2; ++iq) {
      SCOPED_TRACE(::testing::Message() << "level " << level << " state " << iq);
      const double th = theta * (iq == 1 ? 1.0 : 0.5);
      const Matrix6 R = s.R(iq);
      const EffectiveSolenoid e = effective_solenoid(R, th, kLen, flux, B0);
      ASSERT_TRUE(e.ok);
      const int k = iq - 1;
      heff[level][k] = e.Heff;
      beff[level][k] = e.Beff / B0;
      dev_heff[level][k] = 1.0 - e.Heff / heff0;
      dev_beff[level][k] = e.Beff / (B0 * beff0) - 1.0;
      const double want = th * th / 94.0;
      EXPECT_NEAR(dev_heff[level][k], want, 0.05 * want);
      EXPECT_NEAR(dev_beff[level][k], want, 0.05 * want);
      // Turned back by the state's own angle the matrix has no x-y coupling,
      // and its symplectic form keeps M^T J M = J, both to the error of the
      // differences and of the integration (~1e-7 at these steps).
      Matrix6 A = R;
      matmul6_left(rotation_matrix(-th), A);
      for (int i = 1; i <= 2; ++i)
        for (int j = 3; j <= 4; ++j) {
          EXPECT_NEAR(A(i, j), 0.0, 1e-6) << i << j;
          EXPECT_NEAR(A(j, i), 0.0, 1e-6) << j << i;
        }
      EXPECT_LT(symplectic_defect(symplecticity_matrix(symplectic_form(A, design_ends())), 1, 6), 1e-6);
    }
    if (level == 0) {
      const std::string t = s.listing();
      EXPECT_NE(t.find(" Heff=        17.713  cm\n"), std::string::npos) << t;
    }
  }
  for (int k = 0; k < 2; ++k) {
    // The deviation goes as theta^2: a quarter at half the field; the
    // Richardson extrapolation (4 f(theta/2) - f(theta)) / 3 removes it and
    // lands on the hard-edge limit, up to the theta^4 term (below 1e-6 at
    // 0.25 rad).
    EXPECT_NEAR(dev_heff[0][k] / dev_heff[1][k], 4.0, 0.1) << k;
    EXPECT_NEAR(dev_beff[0][k] / dev_beff[1][k], 4.0, 0.1) << k;
    EXPECT_NEAR((4.0 * heff[1][k] - heff[0][k]) / 3.0, heff0, 2e-6 * heff0) << k;
    EXPECT_NEAR((4.0 * beff[1][k] - beff[0][k]) / 3.0, beff0, 2e-6 * beff0) << k;
  }
}

// A section holding one RF gap: Gaussian field E0 exp(-z^2/2 sigma^2) on
// the axis from an RF table spanning +-5 sigma, run 30 deg before the crest
// (fi_in.dat); the design particle is state 1 (Q/A 1) at 1000 keV/u.
struct GapSection {
  double E0;     // V/cm
  double sigma;  // cm
  double P[6];   // updat steps
};

SectionRun run_gap_section(const GapSection& g) {
  const testing::GapSpec spec{g.E0, g.sigma, 10.0 * g.sigma, 2.0};
  const std::string lattice =
      fmt::format("1 updat {} {} {} {} {} {}\n1 cav {} 1.0 1.0 0.0 400\n1 matrx\n", g.P[0], g.P[1],
                  g.P[2], g.P[3], g.P[4], g.P[5], spec.L);
  return run_section(lattice, "cases/matrix_sections_table", [&](const CaseRun& r) {
    testing::write_gap_table(*r.sim, spec);
    testing::write_file(r.dir / "fi_in.dat", "-30.0\n");
  });
}

// The thin gap of state 1 as the listing derives it.
ThinGap state1_gap(const SectionRun& s) {
  const Sim& sim = *s.run->sim;
  const ReferenceHistory& h = sim.history;
  const double W_in = h.ref_W_in[2], W_out = h.ref_W_out[2];
  const double gm1 = W_out / kAmuKev;
  return thin_gap(s.R(1), sim.elements.elem_pos[3] - sim.elements.elem_pos[1], W_in, W_out,
                  std::sqrt(gm1 * (gm1 + 2.0)), kLambdaBar, kAmuKev);
}

TEST(MatrixSections, CavitySectionIsSymplecticWithItsThinGapView) {
  // The linearised gap keeps x, y and the longitudinal plane apart, and
  // each block is area-preserving in (x, beta gamma x') and (omega t,
  // gamma - 1): the symplectic form has block determinants 1 and M^T J M =
  // J to the error of the central differences. That error comes from the
  // cos(phase) of the field: (2 deg)^2/6 = 2e-4 at most, falling 4x when
  // the steps halve. E0 = 20 kV/cm, sigma = 1 cm: about 39 keV/u gained.
  double defect[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    const double f = k == 0 ? 1.0 : 0.5;
    SCOPED_TRACE(f);
    const SectionRun s =
        run_gap_section({20000.0, 1.0, {0.1 * f, 1.0 * f, 0.1 * f, 1.0 * f, 2.0 * f, 0.2 * f}});
    const ReferenceHistory& h = s.run->sim->history;
    const double gi = h.ref_W_in[2] / kAmuKev, go = h.ref_W_out[2] / kAmuKev;
    const SectionEnds e{std::sqrt(gi * (gi + 2.0)), std::sqrt(go * (go + 2.0)), gi, go,
                        2.0 * 3.14159265358979323846 * 0.1};
    const Matrix6 M = symplectic_form(s.R(1), e);
    for (double d : block_determinants(M)) EXPECT_NEAR(d, 1.0, 2e-4 * f * f);
    defect[k] = symplectic_defect(symplecticity_matrix(M), 1, 6);
    EXPECT_LT(defect[k], 2e-4 * f * f);
    // The thin-gap view: G21 = R21 (the half drifts change neither row 2
    // nor column 1), dW = ETL cos Ph and Z = ETL sin Ph.
    const ThinGap g = state1_gap(s);
    EXPECT_NEAR(g.G(2, 1), s.R(1)(2, 1), 1e-14 * std::abs(s.R(1)(2, 1)));
    EXPECT_NEAR(g.dW, g.ETL * std::cos(g.Ph * kDegRad), 1e-12 * g.ETL);
    EXPECT_NEAR(g.Z, g.ETL * std::sin(g.Ph * kDegRad), 1e-12 * g.ETL);
    EXPECT_NEAR(g.dW, h.ref_W_out[2] - h.ref_W_in[2], 1e-12 * g.dW);
  }
  EXPECT_NEAR(defect[0] / defect[1], 4.0, 0.4);
}

TEST(MatrixSections, CavityThinGapPhaseIsThePhaseFromTheCrest) {
  // The thin-gap phase Ph = atan2(Z, dW), Z from the transverse kick R21,
  // against the design particle's phase from the crest, phi = -acos(dW /
  // crest gain) (-30 deg to the resolution of the crest search, 360/1500
  // deg). Two departures, both analytic:
  // - the gap table holds the electric field alone, while the thin-gap
  //   formula counts the magnetic force of the RF field that cancels beta^2
  //   of the electric kick: the kick is gamma^2 times the thin-gap one and
  //   tan Ph = gamma_m^2 tan phi (0.053 deg at 1000 keV/u);
  // - the velocity changes inside the gap: the kick falls short by about
  //   (dW/W)/(sigma/beta lambdabar) (4 % at 20 kV/cm, as an independent
  //   integration of the same field gives too), in proportion to the field.
  // So Ph - atan(gamma_m^2 tan phi) falls 10x per 10x weaker field, and a
  // weak short gap gives Ph = atan(gamma_m^2 tan phi).
  const double fields[3] = {20000.0, 2000.0, 200.0};
  double dev[3];
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(fields[k]);
    const SectionRun s = run_gap_section({fields[k], 0.25, {0.1, 1.0, 0.1, 1.0, 1.0, 0.1}});
    const ThinGap g = state1_gap(s);
    const double phi = -std::acos(g.dW / s.run->sim->rf.cav_energy_gain);
    EXPECT_NEAR(phi / kDegRad, -30.0, 0.5 * 360.0 / 1500.0);
    const double gm = 1.0 + g.W_m / kAmuKev;
    dev[k] = g.Ph - std::atan(gm * gm * std::tan(phi)) / kDegRad;
  }
  EXPECT_GT(dev[0], 0.0);  // the kick falls short: |Ph| < |phi|
  EXPECT_NEAR(dev[0] / dev[1], 10.0, 1.0);
  EXPECT_NEAR(dev[1] / dev[2], 10.0, 1.0);
  EXPECT_LT(std::abs(dev[2]), 0.02);
}

TEST(MatrixSections, PhaseChainCarriesTheReferencePhaseThroughTheSection) {
  // Inside an iflag_chain chain the particle phases are not measured from
  // the design particle at element boundaries: updat and matrx carry the
  // reference phases of the previous position like a drift, and the test
  // particles start at that phase +- the phase step. The chain opens at 30
  // deg; the 20 cm drift before updat adds 20/(beta lambdabar) rad. Outside
  // a chain the section starts at phase 0. Either way the section matrix of
  // the 50 cm drift is the same.
  const double beta = design_beta();
  const double phase_in = 30.0 * kDegRad + 20.0 / (beta * kLambdaBar);
  const double step = 1.0 * kDegRad;  // P5 = 1 deg
  const std::string section = "1 updat 0.1 1.0 0.1 1.0 1.0 0.1\n1 drift 50.0 5.0 5.0\n1 matrx\n";
  const struct Case {
    bool chain;
    std::string lattice;
  } cases[] = {
      {true, "1 prmtr iflag_chain=30\n1 drift 20.0 5.0 5.0\n" + section + "1 prmtr iflag_chain=0\n"},
      {false, "1 drift 20.0 5.0 5.0\n" + section},
  };
  Matrix6 R[2];
  for (int c = 0; c < 2; ++c) {
    SCOPED_TRACE(cases[c].chain ? "in a chain" : "outside a chain");
    const Case& k = cases[c];
    const SectionRun s = run_section(k.lattice);
    const ReferenceHistory& h = s.run->sim->history;
    const int u = k.chain ? 3 : 2;  // position of updat; matrx is u + 2
    const double phase0 = k.chain ? phase_in : 0.0;
    EXPECT_NEAR(h.ref_phase_out[u], phase0, 1e-12);
    EXPECT_EQ(h.elem_rf_phase[u], k.chain ? h.elem_rf_phase[u - 1] : 0.0);
    // The drift in the section advances the phase by 50/(beta lambdabar);
    // matrx keeps what the drift left.
    const double phase_end = k.chain ? phase0 + 50.0 / (beta * kLambdaBar) : 0.0;
    EXPECT_NEAR(h.ref_phase_out[u + 2], phase_end, 1e-11);
    EXPECT_EQ(h.elem_rf_phase[u + 2], k.chain ? h.elem_rf_phase[u + 1] : 0.0);
    R[c] = s.R(1);
  }
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) EXPECT_NEAR(R[0](i, j), R[1](i, j), 1e-9 * std::max(1.0, std::abs(R[1](i, j)))) << i << j;

  // Where the test particles start: a section opened by updat and ended
  // before anything moves them.
  for (const bool chain : {true, false}) {
    SCOPED_TRACE(chain ? "in a chain" : "outside a chain");
    const SectionRun s = run_section(std::string(chain ? "1 prmtr iflag_chain=30\n" : "") +
                                     "1 drift 20.0 5.0 5.0\n1 updat 0.1 1.0 0.1 1.0 1.0 0.1\n");
    const Sim& sim = *s.run->sim;
    const double phase0 = chain ? phase_in : 0.0;
    for (int iq = 1; iq <= 2; ++iq) {
      const int base = sim.config.NPAT[iq];
      for (int j = 1; j <= kSectionTestParticles; ++j) {
        const double want = j == 5 ? phase0 - step : j == 11 ? phase0 + step : phase0;
        EXPECT_NEAR(sim.particles.phase[iq][base + j], want, 1e-12) << iq << " slot " << j;
      }
    }
  }
}

TEST(MatrixSections, StepsFromTheBeamAndZeroSteps) {
  // Steps left at 0 take the rms sizes of the arriving beam and are
  // written back into the line. The four rays at x, y = +-0.01 cm have a
  // spread in x and y only: the other steps stay 0, log.dat names them,
  // their columns are 0 and their planes list " zero step ".
  const SectionRun s = run_section("1 updat 0.0 0.0 0.0 0.0 0.0 0.0\n1 drift 50.0 5.0 5.0\n1 matrx\n");
  const Sim& sim = *s.run->sim;
  const auto& P = sim.elements.elem_par[1];
  EXPECT_GT(P[1], 0.0);
  EXPECT_EQ(P[1], sim.stats.element_stats[0].x_rms);
  EXPECT_EQ(P[3], sim.stats.element_stats[0].y_rms);
  for (int k : {2, 4, 5, 6}) EXPECT_EQ(P[k], 0.0) << k;
  const Matrix6 R = s.R(1);
  EXPECT_NEAR(R(1, 1), 1.0, 1e-12);
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(R(i, 2), 0.0);
  const std::string log = s.run->file("log.dat");
  for (const char* c : {"in x';", "in y';", "in phase;", "in dW/W;"})
    EXPECT_NE(log.find(std::string(" updat at lattice line 1: no step and no beam spread ") + c), std::string::npos) << c;
  const std::string t = s.listing();
  EXPECT_NE(t.find("   X-plane \n  zero step \n"), std::string::npos);
  EXPECT_NE(t.find("   P-plane \n  zero step \n"), std::string::npos);
  EXPECT_EQ(t.find("NaN"), std::string::npos);
  EXPECT_EQ(t.find("Inf"), std::string::npos);
}

TEST(MatrixSections, BadInputsStopNamingTheLine) {
  struct Case {
    const char* lattice;
    int npat;
    const char* text;
  } cases[] = {
      {"1 drift 10.0 5.0 5.0\n3 matrx\n", 4, " matrx at lattice line 2 (section 3)"},
      {"1 updat 0.1 1.0 0.1 1.0 1.0 0.1\n1 matrx\n", kParticleSlots - 13, " updat at lattice line 1: charge state 1"},
  };
  for (const Case& c : cases) {
    CaseRun run("cases/matrix_sections");
    testing::write_file(run.dir / "sclinac.dat", std::string(c.lattice) + "stop\n");
    run.read_inputs();
    std::vector<Placed> beam(static_cast<std::size_t>(c.npat), Placed{0, 0, 0, 0});
    run.place_beam(1, beam);
    run.place_beam(2, kBeam);
    try {
      run.run_nominal_pass();
      ADD_FAILURE() << c.lattice << " ran";
    } catch (const FatalStop& stop) {
      EXPECT_EQ(stop.lines().at(0).rfind(c.text, 0), 0u) << stop.lines().at(0);
    }
  }
}

TEST(MatrixSections, ErrorStudyListsEverySeed) {
  // The FODO example with two error seeds (IFLAG_CORR = 2, NRZ = 2) and an
  // updat line without steps: matrix.dat holds the nominal listing and one
  // per seed, all in the one file; no errors are drawn for the quads, so
  // with the steps of the first pass kept in the line every seed repeats
  // the nominal matrix.
  testing::TempDir dir;
  testing::copy_example("fodo_matrix", dir.path());
  std::string v = testing::read_file(dir.path() / "velmo.dat");
  v.replace(v.find("NPAT = 12000"), 12, "NPAT = 500");
  v.replace(v.find("IFLAG_DIS = 1"), 13, "IFLAG_DIS = 1, IFLAG_CORR = 2, NRZ = 2");
  testing::write_file(dir.path() / "velmo.dat", v + "&CORRECT IFLAG_VRAND=1 /\n");
  std::string l = testing::read_file(dir.path() / "sclinac.dat");
  const std::size_t u = l.find("1 updat");
  l.replace(u, l.find('\n', u) - u, "1 updat");
  testing::write_file(dir.path() / "sclinac.dat", l);
  ASSERT_EQ(testing::run_program(dir.path()), 0) << testing::read_file(dir / "screen.txt");
  const std::string t = testing::read_file(dir / "matrix.dat");
  std::vector<std::string> listings;
  for (std::size_t p = t.find("     Charge"); p != std::string::npos;) {
    const std::size_t q = t.find("     Charge", p + 1);
    listings.push_back(t.substr(p, q == std::string::npos ? std::string::npos : q - p));
    p = q;
  }
  ASSERT_EQ(listings.size(), 3u);
  EXPECT_NE(listings[0].find("  X-plane "), std::string::npos);
  // Compared without the empty lines that separate the calls.
  for (auto& x : listings)
    while (!x.empty() && x.back() == '\n') x.pop_back();
  EXPECT_EQ(listings[1], listings[0]);
  EXPECT_EQ(listings[2], listings[0]);
}

TEST(MatrixSections, FodoExampleMatrixListingIsThreadIndependent) {
  // The example's beam of 12000 particles takes the parallel paths of the
  // element loops; the 13 test particles ride in them, so matrix.dat must
  // be the same byte for byte with 1 and 4 threads.
  std::string out[2];
  for (int r = 0; r < 2; ++r) out[r] = testing::run_example("fodo_matrix", r == 0 ? 1 : 4, {"matrix.dat"})[0];
  EXPECT_NE(out[0].find("  X-plane "), std::string::npos);
  EXPECT_TRUE(out[0] == out[1]) << "matrix.dat differs between 1 and 4 threads";
}

}  // namespace
}  // namespace linac
