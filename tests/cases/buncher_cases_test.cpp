// End-to-end case of the bunchers (tests/cases/buncher_lines): bunch, mhb
// and mhb4 lines through the lattice files, the dispatcher and the drivers,
// checked against the thin-gap formulas (see the case's README).
#include <gtest/gtest.h>

#include <cmath>

#include "case_harness.hpp"
#include "elements/rf_gap_fixture.hpp"

namespace linac {
namespace {

using testing::CaseRun;

constexpr double kLambdaBar = testing::kRfLambda / kTwoPi;

TEST(BuncherCases, BuncherAndMultiHarmonicBunchersFromTheirLines) {
  const testing::GapSpec g;  // 1000 V/cm, 1 cm, 10 cm, radius 2 cm
  for (int iflag_mhb : {1, 0}) {
    CaseRun run("cases/buncher_lines");
    Sim& s = *run.sim;
    s.units.set_directory(run.dir.path());
    testing::write_gap_table(s, g, 1);
    testing::write_uniform_gap_rz(s, g, 1);
    testing::write_uniform_gap_ems(s, g, 1);
    run.read_inputs();
    s.config.IFLAG_MHB = iflag_mhb;
    run.place_beam(1, {{0.1, 0.001, -0.1, 0.0}, {-0.2, 0.0, 0.05, 0.002},
                       {0.0, -0.002, 0.3, 0.0}, {0.25, 0.001, 0.0, -0.001}});
    run.run_nominal_pass();
    const ReferenceHistory& h = s.history;

    // bunch: the rising crossing, the design energy kept.
    const double beta1 = testing::speed_of_w(h.ref_W_in[1]);
    double crossing = -kPi / 2.0 - g.L / (2.0 * beta1 * kLambdaBar);
    while (crossing < -kPi / 2.0) crossing += kTwoPi;
    EXPECT_NEAR(h.elem_rf_phase[1], crossing, 1e-3) << iflag_mhb;
    EXPECT_NEAR(h.ref_W_out[1], h.ref_W_in[1], 1e-6 * h.ref_W_in[1]) << iflag_mhb;

    // mhb: A = (1, 0.5), h = (1, 2), P5 = 40 deg.
    const double beta2 = testing::speed_of_w(h.ref_W_in[2]);
    const double c2 = g.L / (2.0 * beta2 * kLambdaBar);
    const double rf2 = kPi - 40.0 * kDegToRad;
    const double G1 = testing::harmonic_gain(g, 1, beta2, kLambdaBar);
    const double mhb = G1 * std::cos(rf2 + c2) +
                       0.5 * testing::harmonic_gain(g, 2, beta2, kLambdaBar) * std::cos(2.0 * (rf2 + c2));
    EXPECT_NEAR(h.ref_W_out[2] - h.ref_W_in[2], mhb, 5e-4 * G1) << iflag_mhb;

    // mhb4: P3 = 25 deg, (h, A, p) = (1, 1, 10), (2, 0.4, -35), (3, 0.2, 80),
    // (1, 0, 0); no field with the r-z switch.
    const double beta3 = testing::speed_of_w(h.ref_W_in[3]);
    const double c3 = g.L / (2.0 * beta3 * kLambdaBar);
    const double harm[4][3] = {{1, 1.0, 10.0}, {2, 0.4, -35.0}, {3, 0.2, 80.0}, {1, 0.0, 0.0}};
    double mhb4 = 0.0;
    for (const auto& k : harm)
      mhb4 += k[1] * testing::harmonic_gain(g, k[0], beta3, kLambdaBar) *
              std::sin(k[0] * (k[2] * kDegToRad + 25.0 * kDegToRad + c3));
    const double gain4 = h.ref_W_out[3] - h.ref_W_in[3];
    if (iflag_mhb == 0)
      EXPECT_NEAR(gain4, mhb4, 5e-4 * testing::harmonic_gain(g, 1, beta3, kLambdaBar));
    else
      EXPECT_NEAR(gain4, 0.0, 1e-9);
    EXPECT_DOUBLE_EQ(h.elem_rf_phase[3], 25.0 * kDegToRad);
    const std::string log = run.file("log.dat");
    EXPECT_EQ(log.find("Phase Scanninng for MHB4") != std::string::npos, iflag_mhb == 0)
        << "a scan without a field finds no crossing";
  }
}

}  // namespace
}  // namespace linac
