// rms.dat rows along a drift channel with the plots on (tests/cases/rms_drift).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "beam/plots.hpp"
#include "case_harness.hpp"

namespace linac {
namespace {

TEST(RmsDrift, RowsFollowTheDriftLawOfTheEntranceMoments) {
  testing::CaseRun run("cases/rms_drift");
  std::filesystem::copy_file(std::filesystem::path(LINAC_TEST_DATA_DIR) / "cases/rms_drift/graph.cfg",
                             run.dir / "graph.cfg");
  run.sim->screen.redirect(run.screen);
  run.read_inputs();
  std::vector<testing::Placed> beam;
  for (int i = 1; i <= 8; ++i)
    beam.push_back({0.05 * i - 0.2, 1e-3 * ((i * 5) % 8) - 3e-3, 0.01 * i, -2e-4 * i});
  run.place_beam(1, beam);
  Sim& s = *run.sim;
  // Sample moments of x and x' at the entrance, the reference included
  // (denominator N - 1, as the statistics take them).
  std::vector<std::pair<double, double>> pts{{0.0, 0.0}};
  for (const auto& b : beam) pts.emplace_back(b.x, b.xp);
  double mx = 0, mp = 0;
  for (const auto& [x, p] : pts) mx += x, mp += p;
  mx /= pts.size(), mp /= pts.size();
  double s11 = 0, s12 = 0, s22 = 0;
  for (const auto& [x, p] : pts) s11 += (x - mx) * (x - mx), s12 += (x - mx) * (p - mp), s22 += (p - mp) * (p - mp);
  const double d = static_cast<double>(pts.size() - 1);
  s11 /= d, s12 /= d, s22 /= d;
  auto rms_x = [&](double z) { return std::sqrt(s11 + 2 * z * s12 + z * z * s22); };

  // The first picture (no rows), then the pass.
  std::istringstream none;
  s.viewer.redirect(none, false);
  s.state.ipos = s.config.iel_first - 1;
  plot_windows_setup(s);
  plot_step(s, 0.0);
  run.run_nominal_pass();

  // The last element's step statistics: z = 50 + 20 k / 7.
  for (int k = 0; k <= 7; ++k) {
    const double z = 50.0 + 20.0 * k / 7.0;
    EXPECT_NEAR(s.stats.step_stats[static_cast<std::size_t>(k)].v[1], rms_x(z), 1e-12 * rms_x(z)) << k;
  }
  const auto lines = run.lines("rms.dat");
  ASSERT_EQ(lines.size(), 2u + 12u);
  for (std::size_t r = 2; r < lines.size(); ++r) {
    ASSERT_EQ(lines[r].size(), 180u) << lines[r];
    const double z = std::stod(lines[r].substr(0, 18));
    const double x = std::stod(lines[r].substr(18, 18));
    // 0.ddddd E+ee: half a unit in the fifth digit of the mantissa (z is
    // printed the same way; its rounding moves rms x by far less).
    const double unit = std::pow(10.0, std::floor(std::log10(x)) + 1.0) * 1e-5;
    EXPECT_NEAR(x, rms_x(z), 0.5 * unit + std::abs(s12 + z * s22) / rms_x(z) * 0.5e-5 * std::pow(10.0, std::floor(std::log10(z)) + 1.0))
        << "row " << r << ": " << lines[r];
  }
  EXPECT_EQ(lines.back().substr(0, 18), "       0.70000E+02");
  EXPECT_EQ(lines[2].substr(0, 18), "       0.12500E+02");  // step 1 of the first drift
}

}  // namespace
}  // namespace linac
