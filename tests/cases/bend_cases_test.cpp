// End-to-end case of the bending magnet: examples/bend_drifts run by the
// program at 1 and 4 threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "case_harness.hpp"

namespace linac {
namespace {

// out.dat, coord.dat, lost.dat and log.dat are identical byte for byte: each
// particle's push is the same arithmetic whatever thread runs it, and the
// losses are recorded in (step, slot) order. The magnet's gap removes the
// vertical tails, so lost.dat holds records of the magnet, and log.dat
// holds its body field B = beta gamma / (Q/A K R) with K = e/(m_u c).
// log.dat is compared without its two clock lines (task begin and end).
TEST(BendCases, ThreadIdentityOfTheBendExample) {
  const std::vector<std::string> files{"out.dat", "coord.dat", "lost.dat", "log.dat"};
  std::vector<std::string> out[2] = {testing::run_example("bend_drifts", 1, files),
                                     testing::run_example("bend_drifts", 4, files)};
  for (auto& o : out) o[3] = testing::without_stamps(o[3]);
  for (std::size_t f = 0; f < files.size(); ++f) {
    EXPECT_GT(out[0][f].size(), 0u) << files[f];
    EXPECT_TRUE(out[0][f] == out[1][f]) << files[f] << " differs between 1 and 4 threads";
  }
  std::istringstream lost(out[0][2]);
  int in_magnet = 0;
  for (std::string rec; std::getline(lost, rec);)
    if (rec.find(" bmag ") != std::string::npos) ++in_magnet;
  EXPECT_GT(in_magnet, 100);
  const std::string& log = out[0][3];
  const std::size_t at = log.find(" bf,G , p,MeV/c ,betgam");
  ASSERT_NE(at, std::string::npos);
  std::istringstream line(log.substr(at + 24));
  double bf = 0.0, p = 0.0, bg = 0.0;
  line >> bf >> p >> bg;
  const double gamma = 1000.0 / 931494.32 + 1.0;
  const double betgam = std::sqrt(gamma * gamma - 1.0);
  EXPECT_NEAR(bg, betgam, 1e-12);
  EXPECT_NEAR(bf, betgam / (8.0 / 40.0) / 0.0032184034535 / 100.0 * 1e4, 1e-9);
}

}  // namespace
}  // namespace linac
