// The lens channel example (Enge quadrupoles, a field-table solenoid, a
// scraper and a 3-D electrostatic quadrupole, tables written by
// make_field_table, and an ecorr corrector that lists in log.dat) gives the same files, byte for byte, for 1 and 4
// threads: run by the program in z mode, and in time mode in process.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

const char* const kFiles[] = {"out.dat", "coord.dat", "lost.dat", "wtmp.dat", "log.dat"};

// The example's files and its tables in a scratch directory.
void prepare(const testing::TempDir& dir) {
  const std::filesystem::path example =
      std::filesystem::path(LINAC_TEST_DATA_DIR) / ".." / "examples" / "lens_channel";
  for (const auto& e : std::filesystem::directory_iterator(example))
    std::filesystem::copy_file(e.path(), dir.path() / e.path().filename());
  const std::string cmd = "cd '" + dir.path().string() +
                          "' && bash make_tables.sh '" LINAC_MAKE_FIELD_TABLE "' > tables.txt 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << testing::read_file(dir / "tables.txt");
}

void expect_identical(const std::string (&one)[5], const std::string (&four)[5]) {
  // The scraper removes part of the beam.
  EXPECT_GT(std::count(one[2].begin(), one[2].end(), '\n'), 100);
  for (int f = 0; f < 5; ++f) {
    EXPECT_GT(one[f].size(), 0u) << kFiles[f];
    EXPECT_TRUE(one[f] == four[f]) << kFiles[f] << " differs between 1 and 4 threads";
  }
}

TEST(LensChannel, ProgramOutputsDoNotDependOnTheThreadCount) {
  std::string out[2][5];
  for (int r = 0; r < 2; ++r) {
    testing::TempDir dir;
    prepare(dir);
    const std::string cmd = "cd '" + dir.path().string() + "' && OMP_NUM_THREADS=" +
                            (r == 0 ? "1" : "4") + " '" LINAC_PROGRAM "' > screen.txt 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << testing::read_file(dir / "screen.txt");
    for (int f = 0; f < 5; ++f) out[r][f] = testing::without_stamps(testing::read_file(dir / kFiles[f]));
  }
  expect_identical(out[0], out[1]);
}

// The same lattice with every field-map element pushed in time
// (iflag_dudt = 1), 2100 particles per charge state (the particle loop
// still takes its parallel path).
TEST(LensChannel, TimeModeOutputsDoNotDependOnTheThreadCount) {
  std::string out[2][5];
  const int saved = omp_get_max_threads();
  for (int r = 0; r < 2; ++r) {
    testing::TempDir dir;
    prepare(dir);
    std::string velmo = testing::read_file(dir / "velmo.dat");
    const std::string from = "NPAT = 12000, 12000, 12000";
    velmo.replace(velmo.find(from), from.size(), "NPAT = 2100, 2100, 2100");
    testing::write_file(dir / "velmo.dat", velmo);
    auto sim = make_sim();
    std::ostringstream screen;
    sim->screen.redirect(screen);
    sim->units.set_directory(dir.path());
    sim->config.iflag_dudt = 1;
    omp_set_num_threads(r == 0 ? 1 : 4);
    const int status = run_program(*sim);
    omp_set_num_threads(saved);
    ASSERT_EQ(status, 0) << screen.str();
    for (int f = 0; f < 5; ++f) out[r][f] = testing::without_stamps(testing::read_file(dir / kFiles[f]));
  }
  expect_identical(out[0], out[1]);
}

}  // namespace
}  // namespace linac
