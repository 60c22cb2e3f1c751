// The error-study example: its correction files do not depend on the
// number of threads, and its steering reduces the orbit at the monitors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cases/case_harness.hpp"

namespace linac {
namespace {

TEST(ErrorStudyExample, OutputsAreTheSameAtOneAndFourThreads) {
  const std::vector<std::string> files = {"co_monitor.dat", "ph_monitor.dat", "bp_monitor.dat", "out_wq.dat",
                                          "out_phq.dat",    "out.dat",        "log.dat",        "staterr.dat"};
  std::vector<std::string> out[2];
  for (int r = 0; r < 2; ++r) {
    testing::TempDir dir;
    testing::copy_example("error_study", dir.path());
    const std::string tables = "cd '" + dir.path().string() + "' && bash make_tables.sh '" LINAC_MAKE_FIELD_TABLE
                               "' > tables.txt 2>&1";
    ASSERT_EQ(std::system(tables.c_str()), 0) << testing::read_file(dir / "tables.txt");
    ASSERT_EQ(testing::run_program(dir.path(), r == 0 ? 1 : 4), 0) << testing::read_file(dir / "screen.txt");
    for (const auto& f : files) out[r].push_back(testing::without_stamps(testing::read_file(dir / f)));
  }
  for (std::size_t f = 0; f < files.size(); ++f) {
    EXPECT_GT(out[0][f].size(), 0u) << files[f];
    EXPECT_TRUE(out[0][f] == out[1][f]) << files[f] << " differs between 1 and 4 threads";
  }
  // Every seed steers both FODO sections and retunes the corrector cavity:
  // the statistics over the four seeds list both sections' correctors.
  EXPECT_NE(out[0][2].find("rmsCorrStr,mrad"), std::string::npos);
  EXPECT_NE(out[0][1].find(" dTE00"), std::string::npos);
}

}  // namespace
}  // namespace linac
