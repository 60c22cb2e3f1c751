// The correction files byte for byte from small hand-made tables: the
// out_wq.dat and out_phq.dat lines of a final pass, and the detailed
// bp_monitor.dat report of a section fitted three times. Every expected line
// is laid out by hand from its format: Iw, Fw.d and Dw.d right-aligned in w
// columns (Dw.d as 0.ddddd followed by D and a signed two-digit exponent),
// Aw right-aligned or cut to its first w characters, nX blanks, and a
// list-directed record as one blank followed by its text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "control/error_seed_loop.hpp"
#include "corrections/correction_steps.hpp"
#include "platform/format.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

std::string b(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

TEST(FinalPassLines, DeviationsAboveHalfAreWrittenAsZero) {
  testing::TempDir dir;
  auto sim = make_sim();
  sim->units.set_directory(dir.path());
  sim->units.open(kUnitOutWq, "out_wq.dat");
  sim->units.open(kUnitOutPhq, "out_phq.dat");
  Sim& s = *sim;
  s.config.NQTOT = 3;
  s.ref.w0 = 1000.0;  // keV/u after the element
  const std::int32_t k = 4;
  s.state.ipos = k;
  s.elements.elem_name[k] = "cav";
  s.elements.elem_pos[k] = 123.4567;  // cm: 1.235 m
  auto& q = s.stats.qstate_centroids;
  q[1][6] = 1010.0;  // +1 %
  q[2][6] = 1500.0;  // +50 % exactly: still written
  q[3][6] = 400.0;   // -60 %: written as 0
  q[4][6] = 1010.0;  // a state above NQTOT: 0 whatever its record holds
  q[1][5] = 0.5;     // rad: 28.6479 deg
  q[2][5] = -0.01;   // -0.572958 deg
  q[4][5] = 0.3;
  s.stats.element_stats[k].w_mean = 0.995;  // MeV/u: beam average -0.5 %
  s.beam_moments.centroid[5] = kPi / 4.0;   // 45 deg
  FormatCache fc;
  write_final_pass_lines(s, k, fc);
  s.units.close_all();

  // (A6,F15.3,6D15.5): the 5-character keyword "cav  " right-aligned in 6,
  // the position in m, then six values.
  const std::string head = " cav  " + b(10) + "1.235";
  const std::string zero = b(4) + "0.00000D+00";
  EXPECT_EQ(testing::read_lines(dir.path() / "out_wq.dat"),
            std::vector<std::string>{head + b(4) + "0.10000D+01" + b(4) + "0.50000D+02" + zero + zero + zero +
                                     b(3) + "-0.50000D+00"});
  EXPECT_EQ(testing::read_lines(dir.path() / "out_phq.dat"),
            std::vector<std::string>{head + b(4) + "0.28648D+02" + b(3) + "-0.57296D+00" + zero + zero + zero +
                                     b(4) + "0.45000D+02"});
}

// Section 2 (cdump 5) of the first seed with one corrector per plane
// (limits 5 and 4 mrad), one monitor, two equations and three fits.
TEST(CorrectionReport, SectionFittedThreeTimes) {
  testing::TempDir dir;
  auto sim = make_sim();
  sim->units.set_directory(dir.path());
  sim->units.open(kUnitBpMonitor, "bp_monitor.dat");
  Sim& s = *sim;
  CorrStudy& cs = s.corr_study;
  s.state.iseed = 1;
  s.scan.cur_cdump = 5;
  s.corr.MONERR = 3;
  s.corr.ncorr = 2;
  cs.n_x = 1;
  cs.n_y = 1;
  cs.n_mon = 1;
  cs.n_eq = 2;
  cs.corr_name[1] = " corrX #01";
  cs.corr_name[2] = " corrY #01";
  cs.corr_limit[2][1] = 5.0;
  cs.corr_limit[2][2] = 4.0;
  // The equations of the last fit.
  cs.resp[1][1] = 0.5;
  cs.rhs[1] = -0.25;
  cs.resp[2][2] = -1.25;
  cs.rhs[2] = 0.125;
  // Responses per unit of normalised strength: 2.5 cm and 5 mrad for the
  // 5 mrad limit are 0.5 cm/mrad and 1 mrad/mrad.
  cs.mon_read_t[1][1][1] = {0.0, 2.5, 0.005, 0.0, 0.0};
  cs.mon_read_t[1][1][2] = {0.0, 0.0, 0.0, -2.0, 0.002};
  // Beam emittances 2.5 and 0.5 mm mrad.
  s.beam_moments.eps_rms[1] = 0.0025;
  s.beam_moments.eps_rms[2] = 0.0005;
  // Corrected monitor readings over the three fits: V(x, x) = (14 - 36/3)/2
  // = 1 cm^2, V(x', x') = 8e-6/2 = 4e-6, V(x, x') = 2e-3/2 = 1e-3, so
  // ex_mon = sqrt(4e-6 - 1e-6) = 1.7321e-3 cm rad; V(y, y) = 1 and
  // V(y', y') = 0 give ey_mon = 0.
  cs.mon_sum[1] = {0.0, 6.0, 0.0, 0.0, 0.0};
  cs.mon_prod[1][1][1] = 14.0;
  cs.mon_prod[1][2][2] = 8e-6;
  cs.mon_prod[1][1][2] = cs.mon_prod[1][2][1] = 2e-3;
  cs.mon_prod[1][3][3] = 2.0;
  // Strengths (1, 2), (3, 0), (2, -2) mrad: rms 1 and 2, covariance -1,
  // correlation -0.5.
  cs.corr_sum[2][1] = 6.0;
  cs.corr_sum[2][2] = 0.0;
  cs.corr_prod[2][1][1] = 14.0;
  cs.corr_prod[2][2][2] = 8.0;
  cs.corr_prod[2][1][2] = cs.corr_prod[2][2][1] = -2.0;
  cs.mon_read0[1][1] = {0.0, 0.1, 0.002, -0.2, 0.0};
  cs.mon_after[1] = {0.0, 0.0001, -0.0005, 0.00004, 0.0};
  cs.corr_value[1] = 2.0;
  cs.corr_value[2] = -2.0;
  write_correction_report(s, 2);
  s.units.close_all();

  const std::string stars = b(29) + std::string(14, '*');  // list-directed: one blank + 28 blanks
  const std::string mon = " mon #01  ";
  const std::vector<std::string> want = {
      stars,
      b(28) + " * Seed#" + "    1" + " *",
      stars,
      "  SECTION#  2" + b(13) + b(8) + " correction for CDUMP#" + "  5",
      " No. of XCorr= " + std::string(" 1") + " No. of YCorr= " + " 1" + b(4) + "No. of Mon=" + " 1",
      "",
      "  !** Equation Ax=b  matrix A   and   vector b",
      // (2F15.8,8X,F15.8): the repeat count is the number of correctors.
      b(5) + "0.50000000" + b(5) + "0.00000000" + b(8) + b(5) + "0.25000000",
      b(5) + "0.00000000" + b(4) + "-1.25000000" + b(8) + b(4) + "-0.12500000",
      "",
      " !** Transfer functions   ",
      b(30) + " R12[cm/mrad]" + "       R22[ ]" + " R32[cm/mrad]" + "       R42[ ]",
      "    Mon# 1   due to  corrX #01" + b(7) + "0.5000" + b(7) + "1.0000" + b(7) + "0.0000" + b(7) + "0.0000",
      b(30) + " R14[cm/mrad]" + "       R24[ ]" + " R34[cm/mrad]" + "       R44[ ]",
      "    Mon# 1  due to   corrY #01" + b(7) + "0.0000" + b(7) + "0.0000" + b(6) + "-0.5000" + b(7) + "0.5000",
      "",
      " !** unnormalized RMS emittances of the beam and monitors",
      b(10) + "   ex_beam,mm*mrad" + "   ey_beam,mm*mrad" + "    ex_mon,mm*mrad" + "    ey_mon,mm*mrad",
      // (A10,4D18.5)
      mon + b(7) + "0.25000D+01" + b(7) + "0.50000D+00" + b(7) + "0.17321D+01" + b(7) + "0.00000D+00",
      "",
      " !**Correlation matrix for correctors",
      b(13) + " CorrLim,mrad " + b(3) + "  rmsCorrErr,mrad" + b(4) + " correlation coefficients ",
      // (A12,F14.6,F17.6,2F12.4)
      "   corrX #01" + b(6) + "5.000000" + b(9) + "1.000000" + b(6) + "1.0000" + b(5) + "-0.5000",
      "   corrY #01" + b(6) + "4.000000" + b(9) + "2.000000" + b(5) + "-0.5000" + b(6) + "2.0000",
      "",
      " !**Monitors Before Correction ",
      b(10) + "       X[cm]    X'[mrad]       Y[cm]    Y'[mrad]   ",
      mon + b(6) + "0.1000" + b(6) + "2.0000" + b(5) + "-0.2000" + b(6) + "0.0000",
      "",
      " !**Monitors After Correction ",
      b(10) + "       X[cm]    X'[mrad]       Y[cm]    Y'[mrad]   ",
      mon + b(6) + "0.0001" + b(5) + "-0.5000" + b(6) + "0.0000" + b(6) + "0.0000",
      "",
      " !**Strengths of the Correctors ",
      b(12) + "    CorrLim[mrad]" + "    CorrStr[mrad]",
      "   corrX #01" + b(11) + "5.0000" + b(11) + "2.0000",
      "   corrY #01" + b(11) + "4.0000" + b(10) + "-2.0000",
      b(19) + std::string(41, '*'),
      b(19) + std::string(41, '*'),
      b(50),
      b(50),
      b(50),
      b(20) + "   !* OUTPUT FOR ALL SEEDS *! ",
      b(50),
  };
  const auto got = testing::read_lines(dir.path() / "bp_monitor.dat");
  ASSERT_EQ(got.size(), want.size()) << testing::read_file(dir.path() / "bp_monitor.dat");
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "line " << i + 1;
}

TEST(CorrectionReport, SectionWithoutCorrectionEndsAfterItsHeader) {
  testing::TempDir dir;
  auto sim = make_sim();
  sim->units.set_directory(dir.path());
  sim->units.open(kUnitBpMonitor, "bp_monitor.dat");
  sim->state.iseed = 12;
  sim->scan.cur_cdump = 0;
  sim->corr.MONERR = 2;
  write_correction_report(*sim, 1);
  sim->units.close_all();
  const std::string stars = b(29) + std::string(14, '*');
  EXPECT_EQ(testing::read_lines(dir.path() / "bp_monitor.dat"),
            (std::vector<std::string>{stars, b(28) + " * Seed#   12 *", stars,
                                      "  SECTION#  1" + b(21) + " correction for CDUMP#  0"}));
}

}  // namespace
}  // namespace linac
