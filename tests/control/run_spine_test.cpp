#include <gtest/gtest.h>

#include <filesystem>

#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "platform/fatal.hpp"
#include "input_fixture.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::run_binary_in;
using testing::TaskRun;
using testing::TempDir;
using testing::write_file;

LocalTime march_5_2009() { return LocalTime{2009, 3, 5, 7, 4, 3}; }

TEST(Stamp, LayoutForFixedDate) {
  EXPECT_EQ(date_time_string(LocalTime{2008, 4, 28, 14, 5, 9}), "Apr 28,2008,14:05:09     ");
  EXPECT_EQ(stamp_record(" Task begin at  ", march_5_2009()),
            "  Task begin at  Mar 05,2009,07:04:03     ");
  EXPECT_EQ(stamp_record(" Task end at  ", march_5_2009()),
            "    Task end at  Mar 05,2009,07:04:03     ");
}

// The smallest task directory: parameter file and a two-drift lattice.
void write_minimal_task(const TempDir& dir) {
  write_file(dir / "velmo.dat", testing::kVelmoMin);
  write_file(dir / "sclinac.dat", "1 drift 10 2 2\n2 drift 5 2 2\nstop\n");
}

// A whole task whose clock reads March 5, 2009, 07:04:03.
struct StampedRun : TaskRun {
  StampedRun() { sim->clock.set_source(march_5_2009); }
};

TEST(ProgramRun, MinimalTaskWritesStampsStandingFilesAndLinacDat) {
  StampedRun run;
  write_minimal_task(run.dir);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  for (const char* f : {"out.dat", "coord.dat", "lost.dat", "log.dat", "wtmp.dat", "linac.dat"})
    EXPECT_TRUE(std::filesystem::exists(run.dir / f)) << f;
  const auto log = run.lines_of("log.dat");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "  Task begin at  Mar 05,2009,07:04:03     ");
  EXPECT_EQ(log[1], "    Task end at  Mar 05,2009,07:04:03     ");
  EXPECT_EQ(run.screen.str(), log[0] + "\n" + log[1] + "\n");
  const auto lost = run.lines_of("lost.dat");
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].size(), 313u);
  EXPECT_EQ(lost[0].substr(0, 10), "n_el  name");
  const Sim& sim = *run.sim;
  EXPECT_EQ(sim.config.iel_last, 2);
  EXPECT_EQ(sim.elements.elem_pos[2], 15.0);
  // After the pass w0 is the reference particle's energy, taken back from
  // its speed: gamma - 1 = 1.07e-3 carries a relative rounding of about
  // eps/(gamma - 1) = 2e-13.
  EXPECT_NEAR(sim.ref.w0, 1000.0, 1000.0 * 1e-12);
}

TEST(ProgramRun, EmptyDirectoryStopsForTheMissingParameterFile) {
  StampedRun run;
  EXPECT_NE(run.go(), 0);
  EXPECT_EQ(run.screen.str(),
            "  Task begin at  Mar 05,2009,07:04:03     \n"
            " velmo.dat not found in the working directory: the run needs its parameter file\n");
  // The standing files were opened before the read and are closed whole.
  EXPECT_EQ(run.lines_of("log.dat"),
            std::vector<std::string>{"  Task begin at  Mar 05,2009,07:04:03     "});
  EXPECT_EQ(run.lines_of("lost.dat").size(), 1u);
}

TEST(ProgramRun, FatalStopFlushesFilesAndGivesNonZeroStatus) {
  TaskRun run;
  const int status = run.run([](ControlContext& s) {
    s.units.open(30, "log.dat");
    s.units.write(30, "first record");
    s.units.write(77, "to a unit never opened");
    fatal(std::vector<std::string>{" line one", " line two"}, true);
  });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(run.screen.str(), " line one\n line two\n");
  const auto log = run.lines_of("log.dat");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], " line two");
  EXPECT_EQ(run.lines_of("fort.77").at(0), "to a unit never opened");
}

TEST(ProgramRun, BinaryRunsAMinimalTaskAndStopsInAnEmptyDirectory) {
  {
    TempDir dir;
    write_minimal_task(dir);
    ASSERT_EQ(run_binary_in(dir), 0);
    const auto log = read_lines(dir / "log.dat");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].substr(0, 17), "  Task begin at  ");
    EXPECT_EQ(log[1].substr(0, 17), "    Task end at  ");
    EXPECT_EQ(log[0].size(), 42u);
    EXPECT_EQ(read_lines(dir / "linac.dat").size(), 2u);
  }
  {
    TempDir dir;
    EXPECT_NE(run_binary_in(dir), 0);
    const auto screen = read_lines(dir / "screen.txt");
    ASSERT_EQ(screen.size(), 2u);
    EXPECT_NE(screen[1].find("velmo.dat not found"), std::string::npos) << screen[1];
  }
}

TEST(ProgramRun, PlannedStopClosesFilesWithStatusZero) {
  TaskRun run;
  const int status = run.run([](ControlContext& s) {
    s.units.open(30, "log.dat");
    s.units.write(30, "report");
    planned_stop();
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run.screen.str(), "");
  EXPECT_EQ(run.lines_of("log.dat"), std::vector<std::string>{"report"});
}

}  // namespace
}  // namespace linac
