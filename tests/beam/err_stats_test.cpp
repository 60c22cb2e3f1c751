// Error-seed statistics: pooling of the seeds' particles per position and
// the emittances staterr.dat lists.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "beam/err_stats.hpp"
#include "run/sim.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::TempDir;

constexpr double kW = 1000.0;   // keV/u
constexpr double kFreq = 1e8;   // Hz

struct Pool {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  explicit Pool(int lines) {
    Sim& s = *sim;
    set_start_values(s);
    s.units.set_directory(dir.path());
    s.config.iel_first = 1;
    s.config.iel_last = lines;
    s.ref.FREQB = kFreq;
    s.ref.harm = 1.0;
    for (int n = 0; n <= lines; ++n) {
      s.history.ref_W_out[n] = kW;
      s.elements.elem_name[n] = "drift";
      s.elements.elem_pos[n] = 10.0 * n;
    }
    err_stat_clear(s);
  }
  // One seed's particles (x, x', y, y', phase, dW/W each) at position p.
  void add(int p, const std::vector<std::array<double, 6>>& v, int moved = 1) {
    Sim& s = *sim;
    ErrStatStep& st = s.stats.err_step;
    st = {};
    for (const auto& q : v) {
      for (int m = 1; m <= 6; ++m) st.step_sum[m] += q[m - 1];
      for (int m = 1; m <= 6; ++m)
        for (int j = 1; j <= 6; ++j) st.step_sumsq[m][j] += q[m - 1] * q[j - 1];
    }
    st.step_count = static_cast<double>(v.size());
    s.state.ipos = p;
    s.state.imoved = moved;
    err_stat_accumulate(s);
  }
  // ex, ey, ez of staterr.dat line n (1-based).
  std::array<double, 3> line(int n) {
    const auto lines = read_lines(dir / "staterr.dat");
    const std::string& l = lines.at(static_cast<std::size_t>(n - 1));
    return {std::stod(l.substr(21, 15)), std::stod(l.substr(36, 15)), std::stod(l.substr(51, 15))};
  }
};

// n = 5 particles: x spread s^2 = 0.025 cm^2 and x' spread 2.5e-6,
// uncorrelated, centred; y and the longitudinal plane likewise.
std::vector<std::array<double, 6>> particle_set(double dx) {
  const double x[5] = {-0.2, -0.1, 0.0, 0.1, 0.2};
  const double xp[5] = {0.001, -0.002, 0.0, 0.002, -0.001};
  std::vector<std::array<double, 6>> v;
  for (int i = 0; i < 5; ++i) v.push_back({x[i] + dx, xp[i], x[i], xp[i], 0.1 * x[i], 10.0 * xp[i]});
  return v;
}

double betgam(double W) {
  const double g = W / kAmuKev + 1.0;
  return std::sqrt(1.0 - 1.0 / (g * g)) * g;
}

TEST(ErrStats, TwoSeedsShiftedInXPoolAboutTheCommonMean) {
  // Pooled about the mean of both seeds: cov11 = 2[(n-1) s^2 + n d^2]/(2n-1),
  // cov22 = 2 (n-1) s'^2 / (2n-1), cov12 = 0.
  const int n = 5;
  const double s2 = 0.025, sp2 = 2.5e-6, d = 0.1;
  Pool pool(1);
  pool.add(1, particle_set(+d));
  pool.add(1, particle_set(-d));
  const auto pe = pooled_emittances(pool.sim->err_acc, 1, kW, kFreq, pool.sim->ref.amu_kev);
  ASSERT_TRUE(pe.found);
  const double c11 = 2.0 * ((n - 1) * s2 + n * d * d) / (2 * n - 1);
  const double c22 = 2.0 * (n - 1) * sp2 / (2 * n - 1);
  EXPECT_NEAR(pe.e[0], std::sqrt(c11 * c22) * 4.0 * betgam(kW) * 1000.0, 1e-12 * pe.e[0]);
  // y is not shifted: both spreads pooled with 2n - 1 in the denominator.
  const double ey_one = std::sqrt(s2 * sp2) * 4.0 * betgam(kW) * 1000.0;
  const double ey = ey_one * 2.0 * (n - 1) / (2 * n - 1);
  EXPECT_NEAR(pe.e[1], ey, 1e-12 * ey);
  // The centroid spread enlarges the pooled emittance beyond either seed's.
  EXPECT_GT(pe.e[0], ey_one);
}

TEST(ErrStats, PositionsThatMovedNothingOrPooledTooFewRepeatThePreviousLine) {
  Pool pool(5);
  Sim& s = *pool.sim;
  pool.add(1, {particle_set(0.0)[0]});             // one particle: nothing to compute
  pool.add(2, particle_set(0.0));
  pool.add(3, {}, 0);                              // a command: copies position 2
  s.ref.harm = 2.0;                                // a harmonic change after position 3
  pool.add(4, particle_set(0.0));
  // Perfectly correlated x' = 3 x: a zero determinant, never the root of a
  // negative rounding.
  std::vector<std::array<double, 6>> line;
  for (double x : {-0.2, -0.1, 0.05, 0.1, 0.3}) line.push_back({x, 3.0 * x, x, 3.0 * x, x, 3.0 * x});
  pool.add(5, line);
  err_stat_write(s);
  const auto lines = read_lines(pool.dir / "staterr.dat");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "   1  drift   10.0000    0.00000E+00    0.00000E+00    0.00000E+00");
  EXPECT_EQ(lines[2].substr(21), lines[1].substr(21));
  // The same particles at harmonic 2: a phase spread in rad of twice the
  // harmonic is half the time, so ez halves; ex and ey stay.
  EXPECT_EQ(lines[3].substr(21, 30), lines[1].substr(21, 30));
  const double amu = s.ref.amu_kev;
  const auto at2 = pooled_emittances(s.err_acc, 2, kW, kFreq, amu);
  const auto at4 = pooled_emittances(s.err_acc, 4, kW, kFreq, amu);
  EXPECT_NEAR(at4.e[2], at2.e[2] / 2.0, 1e-14 * at2.e[2]);
  // The line's determinant vanishes: at most rounding of its moments
  // (x spread 0.037 cm^2, x' spread 9 times that), never a NaN.
  const auto at5 = pooled_emittances(s.err_acc, 5, kW, kFreq, amu);
  const double scale = 3.0 * 0.037 * 4.0 * betgam(kW) * 1000.0;
  for (int k = 0; k < 3; ++k) {
    EXPECT_TRUE(std::isfinite(at5.e[k])) << k;
    EXPECT_LT(at5.e[k], 1e-6 * scale) << k;
  }
}

}  // namespace
}  // namespace linac
