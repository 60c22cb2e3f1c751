// The x-x' histogram of the live beam: cells, projections and the mean and
// rms Twiss lines of log.dat for a beam placed by hand, and the bin counts
// and ranges it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "beam/plots.hpp"
#include "common/unit_numbers.hpp"
#include "run/sim.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::TempDir;

struct HistRun {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  HistRun() {
    set_start_values(*sim);
    sim->units.set_directory(dir.path());
    sim->units.open(kUnitLog, "log.dat");
    BeamParams& b = sim->beam;
    b.NBINX = 4;
    b.NBINY = 2;
    b.XHIST = 2.0;  // mm
    b.YHIST = 1.0;  // mrad
  }
  // Particle i of state iq at (X mm, X' mrad).
  void put(int iq, int i, double X, double XP, std::int32_t status = kLive) {
    ParticleArrays& p = sim->particles;
    p.x[iq][i] = X / 10.0;
    p.xp[iq][i] = XP / 1000.0;
    p.status[iq][i] = status;
  }
  std::vector<std::string> lines(const std::string& name) {
    sim->units.close_all();
    return testing::read_lines(dir / name);
  }
};

// Cells of 1 mm x 1 mrad: x in [-2,-1), [-1,0), [0,1), [1,2]; x' in [-1,0),
// [0,1]. The counted points (mm, mrad) A(-1.5,-0.5), B(1.5,0.5),
// C(-0.5,0.5), D(0.5,-0.5), E(2,1) on the upper border (last cells),
// F(-2,-1) on the lower border fall in the cells (0,0): A F, (1,1): C,
// (2,0): D, (3,1): B E. Their means are 0; sums of squares over N - 1 = 5:
// s11 = (2.25+2.25+0.25+0.25+4+4)/5 = 2.6 mm^2, s22 = (4*0.25+1+1)/5 = 0.6
// mrad^2, s12 = (0.75+0.75-0.25-0.25+2+2)/5 = 1 mm mrad; eps = sqrt(2.6*0.6
// - 1) = sqrt(0.56) mm mrad, alpha = -s12/eps, beta = s11/eps mm/mrad.
TEST(XxpHistogram, HandPlacedBeamGivesItsCellsProjectionsAndTwiss) {
  HistRun r;
  Sim& s = *r.sim;
  s.config.NQTOT = 2;
  s.config.NPAT[1] = 4;
  s.config.NPAT[2] = 3;
  s.npat.ntest[1] = 1;
  r.put(1, 0, -0.5, 0.5);        // C, the reference particle counts
  r.put(1, 1, -1.5, -0.5);       // A
  r.put(1, 2, 3.0, 0.0);         // outside in x
  r.put(1, 3, 0.5, 0.5, -1);     // lost
  r.put(1, 4, 2.0, 1.0);         // E
  r.put(1, 5, 0.5, 0.5);         // test particle after the beam: not counted
  r.put(2, 0, 1.5, 0.5);         // B
  r.put(2, 1, 0.5, -0.5);        // D
  r.put(2, 2, 0.0, -1.5);        // outside in x'
  r.put(2, 3, -2.0, -1.0);       // F
  write_xxp_histogram(s);
  const auto cells = r.lines("hist.dat");
  const std::vector<std::string> want_cells{
      "     -1.5000     -0.5000         2", "     -1.5000      0.5000         0",
      "     -0.5000     -0.5000         0", "     -0.5000      0.5000         1",
      "      0.5000     -0.5000         1", "      0.5000      0.5000         0",
      "      1.5000     -0.5000         0", "      1.5000      0.5000         2"};
  EXPECT_EQ(cells, want_cells);
  EXPECT_EQ(r.lines("hist1.dat"), (std::vector<std::string>{"     -1.5000         2", "     -0.5000         1",
                                                            "      0.5000         1", "      1.5000         2"}));
  EXPECT_EQ(r.lines("hist2.dat"), (std::vector<std::string>{"     -0.5000         3", "      0.5000         3"}));
  const auto log = r.lines("log.dat");
  ASSERT_EQ(log.size(), 2u);
  // (A6,1PE14.6,A6,1PE14.6) and (3(A8,1PE14.6)): 7 significant digits.
  ASSERT_EQ(log[0].size(), 40u);
  EXPECT_EQ(log[0].substr(0, 6), " Xavr=");
  EXPECT_EQ(log[0].substr(20, 6), " Yavr=");
  EXPECT_NEAR(std::stod(log[0].substr(6, 14)), 0.0, 1e-12);
  EXPECT_NEAR(std::stod(log[0].substr(26, 14)), 0.0, 1e-12);
  ASSERT_EQ(log[1].size(), 66u);
  EXPECT_EQ(log[1].substr(0, 8), " EpsRMS=");
  EXPECT_EQ(log[1].substr(22, 8), " AlpRMS=");
  EXPECT_EQ(log[1].substr(44, 8), " BetRMS=");
  const double eps = std::sqrt(0.56);
  EXPECT_NEAR(std::stod(log[1].substr(8, 14)), eps, 1e-6 * eps);
  EXPECT_NEAR(std::stod(log[1].substr(30, 14)), -1.0 / eps, 1e-6 / eps);
  EXPECT_NEAR(std::stod(log[1].substr(52, 14)), 2.6 / eps, 1e-6 * 2.6 / eps);
}

TEST(XxpHistogram, BinCountsAndRangesOutsideTheirLimitsStopTheRun) {
  struct Case {
    std::int32_t nbinx, nbiny;
    double xhist, yhist;
    const char* message;
  } cases[] = {
      {0, 2, 1.0, 1.0, " velmo.dat, group TRAN: NBINX = 0; the x-x' histogram needs 1..1000 bins"},
      {4, 1001, 1.0, 1.0, " velmo.dat, group TRAN: NBINY = 1001; the x-x' histogram needs 1..1000 bins"},
      {4, 2, 0.0, 1.0, " velmo.dat, group TRAN: XHIST = 0; the x-x' histogram needs a half range above 0 mm"},
      {4, 2, 1.0, -3.0, " velmo.dat, group TRAN: YHIST = -3; the x-x' histogram needs a half range above 0 mrad"},
  };
  for (const Case& c : cases) {
    HistRun r;
    BeamParams& b = r.sim->beam;
    b.NBINX = c.nbinx;
    b.NBINY = c.nbiny;
    b.XHIST = c.xhist;
    b.YHIST = c.yhist;
    EXPECT_EQ(testing::fatal_message([&] { write_xxp_histogram(*r.sim); }), c.message);
    EXPECT_FALSE(std::filesystem::exists(r.dir / "hist.dat"));
  }
}

}  // namespace
}  // namespace linac
