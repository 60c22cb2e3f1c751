// Second-order section routines: test-particle offsets, unit factors, the
// polynomial fits and their fort.81 lines, the second-order coefficients
// of a drift (its phase grows with the path length L sqrt(1 + x'^2 +
// y'^2)), and the sigma listing of known 2 x 2 blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "cases/case_harness.hpp"
#include "common/constants.hpp"
#include "control/dispatcher.hpp"
#include "matrices/second_order.hpp"
#include "matrices/section_matrix.hpp"
#include "platform/fatal.hpp"

namespace linac {
namespace {

// The value of the D11.3 field of entry j (1-based) of a T line.
double t_field(const std::string& line, int j) {
  std::string f = line.substr(static_cast<std::size_t>(18 * (j - 1) + 7), 11);
  for (char& ch : f)
    if (ch == 'D') ch = 'E';
  return std::stod(f);
}

TEST(SecondOrder, OffsetVectorAndUnitFactors) {
  const double W = 1000.0;
  const auto V = test_offset_vector(2, 0.003, 6, 0.01, W, kAmuKev);
  EXPECT_EQ(V[1], 0.003);
  EXPECT_EQ(V[0], 0.0);
  EXPECT_DOUBLE_EQ(V[5], beta_from_kinetic_energy(1.01 * W, kAmuKev));
  // k = j counts once; no energy offset leaves the design speed.
  const auto D = test_offset_vector(1, 0.1, 1, 0.1, W, kAmuKev);
  EXPECT_EQ(D[0], 0.1);
  EXPECT_DOUBLE_EQ(D[5], beta_from_kinetic_energy(W, kAmuKev));
  const auto u0 = unit_factors(0, 0.0, 0.0, 0.0);
  EXPECT_DOUBLE_EQ(u0[4], 57.29577951308232);
  // TRANSPORT units: phase deg -> mm through beta lambdabar pi/180 (10 for
  // cm -> mm), dW/W % -> dp/p per mille through 10 gamma/(gamma + 1).
  const auto u1 = unit_factors(1, 0.1, 1.005, 47.71345);
  EXPECT_NEAR(u1[4], -0.1 * 47.71345 * kPi / 180.0 * 10.0, 1e-12);
  EXPECT_DOUBLE_EQ(u1[5], 10.0 * 1.005 / 2.005);
  EXPECT_EQ(second_order_test_count(1), 78);
  EXPECT_EQ(second_order_test_count(2), 90);
}

TEST(SecondOrder, PolynomialFitsAndTheirListing) {
  testing::TempDir dir;
  auto sim = make_sim();
  sim->units.set_directory(dir.path());
  // Cubic data on 5 points (N = 2): the cubic fit is exact.
  std::vector<double> t = {-0.002, -0.001, 0.0, 0.001, 0.002}, y;
  for (double v : t) y.push_back(1.0 + 2.0 * v - 3e3 * v * v + 5e5 * v * v * v);
  const auto c = poly_fit_axis(*sim, t, y, 2, 5);
  EXPECT_NEAR(c[0], 1.0, 1e-12);
  EXPECT_NEAR(c[1], 2.0, 1e-9);
  EXPECT_NEAR(c[2], -3e3, 1e-5);
  EXPECT_NEAR(c[3], 5e5, 1e-2);
  const FitResiduals r = poly_fit_residuals(3, t, y, c, 2);
  EXPECT_LT(r.maxres, 1e-14);
  // Three points (N = 1) of y = t^2: zero residuals at degree 2; degree 3
  // keeps the quadratic. Lines written by hand in (I3,5D14.6,3D15.2):
  // degree 0 is c0 = 2/3 with residuals 1/3, -2/3, 1/3, max 0.67 and
  // sqrt(6/9)/N = 0.82.
  const std::vector<double> t1 = {-1.0, 0.0, 1.0}, y1 = {1.0, 0.0, 1.0};
  poly_fit_axis(*sim, t1, y1, 1, 3);
  sim->units.close_all();
  const auto lines = testing::read_lines(dir.path() / "fort.81");
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], " icr= 2 jcr= 5");
  EXPECT_EQ(lines[5], " icr= 1 jcr= 3");
  EXPECT_EQ(lines[6], "  0  0.666667D+00  0.000000D+00  0.000000D+00  0.000000D+00  0.000000D+00       0.67D+00       0.82D+00       0.00D+00");
  EXPECT_EQ(lines[8], "  2  0.000000D+00  0.000000D+00  0.100000D+01  0.000000D+00  0.000000D+00       0.00D+00       0.00D+00       0.00D+00");
  EXPECT_EQ(lines[9], "  3  0.000000D+00  0.000000D+00  0.100000D+01  0.000000D+00  0.000000D+00       0.00D+00       0.00D+00       0.00D+00");
}

TEST(SecondOrder, DriftCoefficients) {
  // 50 cm drift at 1000 keV/u: x and y are linear in the inputs (T(1,.,.)
  // = T(3,.,.) = 0); the phase is L sqrt(1 + x'^2 + y'^2)/(beta lambdabar),
  // so T(5,2,2) = T(5,4,4) = L/(2 beta lambdabar) (180/pi) 1e-6 deg/mrad^2,
  // up to the next term of the root, relative x'^2 ~ 1e-6 at 1 mrad.
  for (int N : {1, 2}) {
    testing::CaseRun run("cases/matrix_sections");
    testing::write_file(run.dir / "sclinac.dat",
                        "1 updat 0.1 1.0 0.1 1.0 1.0 0.1 " + std::to_string(N) +
                            "\n1 drift 50.0 5.0 5.0\n1 matrx 2\nstop\n");
    run.read_inputs();
    run.sim->handlers.set(HandlerId::updat_cmd, updat_second_order);
    run.sim->handlers.set(HandlerId::matrx_cmd, matrx_second_order);
    run.place_beam(1, {{0.01, 0, 0, 0}});
    run.place_beam(2, {{0.01, 0, 0, 0}});
    run.run_nominal_pass();
    EXPECT_EQ(run.sim->npat.ntest[1], second_order_test_count(N));
    const double beta = beta_from_kinetic_energy(1000.0, kAmuKev);
    const double lb = 29979.2458 / 100.0 / kTwoPi;
    const double t522 = 50.0 / (2.0 * beta * lb) * (180.0 / kPi) * 1e-6;
    const auto lines = run.lines("matrix.dat");
    // The T lines of output 5: line k holds T(5, j, k) for j = 1..k.
    std::size_t p = 0;
    while (p < lines.size() && lines[p] != "  *2ND ORDER TRANSFORM*") ++p;
    ASSERT_LT(p, lines.size());
    const std::string l52 = lines[p + 1 + 4 * 7 + 1];  // i = 5, k = 2
    const std::string l54 = lines[p + 1 + 4 * 7 + 3];  // i = 5, k = 4
    const double got522 = t_field(l52, 2);
    const double got544 = t_field(l54, 4);
    EXPECT_NEAR(got522, t522, 1e-3 * t522) << l52;
    EXPECT_NEAR(got544, t522, 1e-3 * t522) << l54;
    for (int k = 0; k < 6; ++k) {
      // T(1, j, k) and T(3, j, k) print as zero.
      for (int i : {0, 2}) {
        const std::string& l = lines[p + 1 + i * 7 + k];
        for (int j = 1; j <= k + 1; ++j) EXPECT_LT(std::abs(t_field(l, j)), 1e-9) << l;
      }
    }
    EXPECT_NE(run.file("matrix.dat").find("** updat#  1 -> matrx#  1 **"), std::string::npos);
  }
}

TEST(SecondOrder, GridSizeOutsideItsRangeStops) {
  testing::CaseRun run("cases/matrix_sections");
  testing::write_file(run.dir / "sclinac.dat",
                      "1 updat 0.1 1.0 0.1 1.0 1.0 0.1 11\n1 drift 5.0 5.0 5.0\n1 matrx\nstop\n");
  run.read_inputs();
  run.sim->handlers.set(HandlerId::updat_cmd, updat_second_order);
  run.place_beam(1, {{0.01, 0, 0, 0}});
  run.place_beam(2, {{0.01, 0, 0, 0}});
  try {
    run.run_nominal_pass();
    ADD_FAILURE() << "ran";
  } catch (const FatalStop& e) {
    EXPECT_EQ(e.lines().at(0), " updat at lattice line 1: 11 grid points per side (P7 = 11)");
  }
}

TEST(SecondOrder, SigmaPlanes) {
  // sizes sqrt(s11), sqrt(s22); correlation s12/sqrt(s11 s22); emittance
  // sqrt(s11 s22 - s12^2); a plane without spread gives 0, not NaN.
  const SigmaPlane p = sigma_plane(4.0, 0.5 * 2.0 * 3.0, 9.0);
  EXPECT_DOUBLE_EQ(p.size1, 2.0);
  EXPECT_DOUBLE_EQ(p.size2, 3.0);
  EXPECT_DOUBLE_EQ(p.correlation, 0.5);
  EXPECT_DOUBLE_EQ(p.emittance, std::sqrt(36.0 - 9.0));
  const SigmaPlane z = sigma_plane(0.0, 0.0, 0.0);
  EXPECT_EQ(z.correlation, 0.0);
  EXPECT_EQ(z.emittance, 0.0);
  Matrix6 B, I;
  unit_matrix6(I);
  B(1, 1) = 4e-2;  // x rms 0.2 cm
  B(2, 2) = 9e-6;  // x' rms 3 mrad
  B(1, 2) = B(2, 1) = 0.5 * 0.2 * 3e-3;
  const auto rec = sigma_listing_records("drift", 12.5, B, B, I, {1.0, 1.0, 1.0}, I).take_records();
  EXPECT_EQ(rec[0], "**********");
  EXPECT_EQ(rec[1], "     drift      12.500 cm");
  EXPECT_EQ(rec[4], "   s11 [cm  ]     0.2000");
  EXPECT_EQ(rec[5], "   s22 [mrad]     3.0000  0.5000      emi[cm*mrad]     0.5196");
  EXPECT_EQ(rec[7], "   s44 [mrad]     0.0000  0.0000      emi[cm*mrad]     0.0000");
}

}  // namespace
}  // namespace linac
