// The corrector statistics over seeds read back from co_monitor.dat against
// hand-computed rms values and correlations, and the files that void them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "control/error_seed_loop.hpp"
#include "corrections/correction_service.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

// Two sections; the second (cdump 5) steered with one corrector per plane
// of limits 5 and 4 mrad.
struct StatsRun {
  testing::TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  explicit StatsRun(const std::string& co_monitor) {
    sim->units.set_directory(dir.path());
    testing::write_file(dir / "co_monitor.dat", co_monitor);
    CorrStudy& cs = sim->corr_study;
    cs.n_sections = 2;
    cs.corr_section[2][kCsCdump] = 5;
    cs.corr_section[2][kCsNx] = 1;
    cs.corr_section[2][kCsNy] = 1;
    cs.corr_section[2][kCsSteered] = 1;
    cs.corr_limit[2][1] = 5.0;
    cs.corr_limit[2][2] = 4.0;
    sim->units.open(kUnitBpMonitor, "bp_monitor.dat");
    sim->units.open(kUnitLog, "log.dat");
    corrector_statistics(*sim);
    sim->units.close_all();
  }
  std::vector<std::string> lines(const char* name) const { return testing::read_lines(dir / name); }
};

// Seeds 1..3 with strengths (x, y) = (1, 2), (3, 0), (2, -2) mrad:
// means 2 and 0, variances (1 + 1 + 0)/2 = 1 and (4 + 0 + 4)/2 = 4,
// covariance (-2 + 0 + 0)/2 = -1: rms 1 and 2, correlation -0.5.
const std::string kThreeSeeds = " 1\n 1\n 2\n 1.0 2.0\n 2\n 1\n 2\n 3.0 0.0\n 3\n 1\n 2\n 2.0 -2.0\n";

TEST(CorrectorStatistics, RmsAndCorrelationsOverThreeSeeds) {
  StatsRun run(kThreeSeeds);
  const std::vector<std::string> want = {
      "  SECTION#  2" + std::string(13 + 8, ' ') + " correction for CDUMP#  5",
      "  ",
      " !**Correlation matrix for correctors",
      std::string(13, ' ') + " CorrLim,mrad " + std::string(4, ' ') + " rmsCorrStr,mrad" + std::string(4, ' ') +
          " correlation coefficients ",
      "   corrX #01      5.000000         1.000000      1.0000     -0.5000",
      "   corrY #01      4.000000         2.000000     -0.5000      2.0000",
      "  ",
  };
  EXPECT_EQ(run.lines("bp_monitor.dat"), want);
  EXPECT_TRUE(run.lines("log.dat").empty());
}

TEST(CorrectorStatistics, FilesThatVoidTheStatistics) {
  struct Case {
    const char* name;
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"cut inside the third seed", kThreeSeeds.substr(0, kThreeSeeds.rfind(" 2.0 -2.0")),
       " corrector statistics not written: co_monitor.dat ends inside the block of seed 3 (strengths of "
       "section 2 missing)"},
      {"cut after the third seed's number", kThreeSeeds.substr(0, kThreeSeeds.rfind(" 1\n 2\n 2.0 -2.0")),
       " corrector statistics not written: co_monitor.dat ends inside the block of seed 3 (section 1 missing)"},
      {"one seed", " 1\n 1\n 2\n 1.0 2.0\n",
       " corrector statistics not written: 1 seed(s) in co_monitor.dat; an rms over seeds needs at least 2"},
      {"identical seeds: rms 0, correlation 0", " 1\n 1\n 2\n 1.0 2.0\n 2\n 1\n 2\n 1.0 2.0\n", ""},
  };
  for (const auto& c : cases) {
    StatsRun run(c.text);
    if (c.message.empty()) {
      const auto l = run.lines("bp_monitor.dat");
      ASSERT_EQ(l.size(), 7u) << c.name;
      EXPECT_EQ(l[4], "   corrX #01      5.000000         0.000000      0.0000      0.0000") << c.name;
      EXPECT_EQ(l[5], "   corrY #01      4.000000         0.000000      0.0000      0.0000") << c.name;
      continue;
    }
    EXPECT_EQ(run.lines("bp_monitor.dat"), std::vector<std::string>{c.message}) << c.name;
    EXPECT_EQ(run.lines("log.dat"), std::vector<std::string>{c.message}) << c.name;
  }
}

}  // namespace
}  // namespace linac
