// End-to-end space-charge cases: a cold uniform sphere (3-D model) and
// round continuous beams, cold and KV (2-D model), expanding in a drift
// against their envelope equations, and the space-charge example giving the same files at
// 1 and 4 threads in both models. See the README of each case.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "case_harness.hpp"
#include "common/constants.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;

constexpr double kEps0 = 8.854187817620391e-14;  // F/cm
constexpr double kMuC2 = 931494320.0;            // m_u c^2 / e, V

double rms(const std::vector<double>& v) {
  double m = 0.0, s = 0.0;
  for (double x : v) m += x;
  m /= static_cast<double>(v.size());
  for (double x : v) s += (x - m) * (x - m);
  return std::sqrt(s / static_cast<double>(v.size()));
}

struct Sizes {
  double x, y, z;
};

Sizes beam_sizes(const Sim& s, int n, double to_length) {
  std::vector<double> x, y, z;
  for (int i = 0; i <= n; ++i) {
    if (s.particles.status[1][i] != kLive) continue;
    x.push_back(s.particles.x[1][i]);
    y.push_back(s.particles.y[1][i]);
    z.push_back(s.particles.phase[1][i] * to_length);
  }
  return {rms(x), rms(y), rms(z)};
}

TEST(SpaceChargeCases, ColdUniformSphereExpandsAlongItsEnvelope) {
  CaseRun run("cases/space_charge_ellipsoid");
  run.read_inputs();
  Sim& s = *run.sim;
  const double a0 = 0.5, W = 1000.0;
  const double gamma = W / kAmuKev + 1.0;
  const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
  const double wl2pi = kSpeedOfLightCm / 100e6 / kTwoPi;
  // Quiet start: a lattice of 0.04 cm inside the sphere, slot 0 at its centre.
  const double sp = 0.04;
  std::vector<Placed> beam;
  std::vector<double> zs;
  for (int iz = -13; iz < 13; ++iz)
    for (int iy = -13; iy < 13; ++iy)
      for (int ix = -13; ix < 13; ++ix) {
        const double x = (ix + 0.5) * sp, y = (iy + 0.5) * sp, z = (iz + 0.5) * sp;
        if (x * x + y * y + z * z < a0 * a0) {
          beam.push_back({x, 0.0, y, 0.0});
          zs.push_back(z);
        }
      }
  run.place_beam(1, beam);
  const int n = static_cast<int>(beam.size());
  for (int i = 1; i <= n; ++i) s.particles.phase[1][i] = -zs[static_cast<std::size_t>(i - 1)] / (beta * wl2pi);
  const double Q = 1e-10;  // C
  s.current.qmacro[1] = Q / (n + 1);
  const double to_length = -beta * wl2pi;
  const Sizes before = beam_sizes(s, n, to_length);
  run.run_nominal_pass();
  const Sizes after = beam_sizes(s, n, to_length);

  // Envelope of the uniform spheroid (a = b across, c along, lab).
  const double K3 = 3.0 * Q / (4.0 * kPi * kEps0) / kMuC2 / (beta * beta * gamma * gamma * gamma);
  EXPECT_NEAR(K3, 1.346e-4, 1e-7);
  double a = a0, c = a0, ap = 0.0, cp = 0.0;
  const int steps = 40000;
  const double ds = 40.0 / steps;
  for (int k = 0; k < steps; ++k) {
    const double mz = testing::spheroid_mz(gamma * c / a);
    const double mx = (1.0 - mz) / 2.0;
    ap += K3 * mx / (a * c) * ds;
    cp += K3 * mz / (a * a) * ds;
    a += ap * ds;
    c += cp * ds;
  }
  const double gx = a / a0 - 1.0, gz = c / a0 - 1.0;
  ASSERT_GT(gx, 0.2);
  EXPECT_NEAR(after.x / before.x - 1.0, gx, 0.03 * gx);
  EXPECT_NEAR(after.y / before.y - 1.0, gx, 0.03 * gx);
  EXPECT_NEAR(after.z / before.z - 1.0, gz, 0.03 * gz);
}

TEST(SpaceChargeCases, RoundContinuousBeamFollowsTheKvEnvelope) {
  // a'' = K/a + eps^2/a^3 with K = 2 I/(I0 beta^3 gamma^3): a cold uniform
  // beam (quiet-start lattice), a KV beam of total emittance 2e-3 cm rad
  // (points spread evenly over the 4-D hypersphere, rms x = a/2), and the
  // cold beam fully neutralised (no field: straight lines).
  struct Case {
    const char* what;
    double eps;     // cm rad
    double cneutr;
  } cases[] = {{"cold", 0.0, 0.0}, {"KV", 2e-3, 0.0}, {"neutralised", 0.0, 1.0}};
  for (const Case& c : cases) {
    CaseRun run("cases/space_charge_round_beam");
    run.read_inputs();
    Sim& s = *run.sim;
    s.current.Cneutr = c.cneutr;
    const double a0 = 0.5, W = 1000.0, I = 0.05;
    const double gamma = W / kAmuKev + 1.0;
    const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    std::vector<Placed> beam;
    if (c.eps == 0.0) {
      const double sp = 0.025;
      for (int iy = -21; iy < 21; ++iy)
        for (int ix = -21; ix < 21; ++ix) {
          const double x = (ix + 0.5) * sp, y = (iy + 0.5) * sp;
          if (x * x + y * y < a0 * a0) beam.push_back({x, 0.0, y, 0.0});
        }
    } else {
      std::mt19937_64 gen(41);
      std::normal_distribution<double> d(0.0, 1.0);
      for (int k = 0; k < 20000; ++k) {
        double u[4] = {d(gen), d(gen), d(gen), d(gen)};
        const double r = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2] + u[3] * u[3]);
        beam.push_back({a0 * u[0] / r, c.eps / a0 * u[1] / r, a0 * u[2] / r, c.eps / a0 * u[3] / r});
      }
    }
    run.place_beam(1, beam);
    const int n = static_cast<int>(beam.size());
    s.current.qmacro[1] = I / s.ref.FREQB / (n + 1);
    const Sizes before = beam_sizes(s, n, 1.0);
    run.run_nominal_pass();
    const Sizes after = beam_sizes(s, n, 1.0);
    if (c.cneutr == 1.0) {
      for (int i = 1; i <= n; ++i) {
        const Placed& p = beam[static_cast<std::size_t>(i - 1)];
        ASSERT_EQ(s.particles.xp[1][i], 0.0);
        ASSERT_NEAR(s.particles.x[1][i], p.x, 1e-12);
      }
      continue;
    }
    const double K = 2.0 * I / (31.07e6 * std::pow(beta * gamma, 3));
    double a = a0, ap = 0.0;
    const int steps = 60000;
    const double ds = 60.0 / steps;
    for (int k = 0; k < steps; ++k) {
      ap += (K / a + c.eps * c.eps / (a * a * a)) * ds;
      a += ap * ds;
    }
    const double g = a / a0 - 1.0;
    ASSERT_GT(g, 0.2) << c.what;
    EXPECT_NEAR(after.x / before.x - 1.0, g, 0.02 * g) << c.what;
    EXPECT_NEAR(after.y / before.y - 1.0, g, 0.02 * g) << c.what;
  }
}

TEST(SpaceChargeCases, SameFilesForAnyThreadCount) {
  // The space-charge example run by the program at 1 and 4 threads, in the
  // 3-D model and with IFLAG2D = 1 in the 2-D model: out.dat, coord.dat and
  // lost.dat identical byte for byte.
  const char* files[3] = {"out.dat", "coord.dat", "lost.dat"};
  const std::filesystem::path example =
      std::filesystem::path(LINAC_TEST_DATA_DIR) / ".." / "examples" / "space_charge_drift";
  for (int model = 0; model < 2; ++model) {
    std::string out[2][3];
    for (int r = 0; r < 2; ++r) {
      testing::TempDir dir;
      for (const auto& e : std::filesystem::directory_iterator(example))
        std::filesystem::copy_file(e.path(), dir.path() / e.path().filename());
      if (model == 1) {
        std::string v = testing::read_file(dir.path() / "velmo.dat");
        v.replace(v.find("IGRAPH = 0"), 10, "IGRAPH = 0, IFLAG2D = 1");
        testing::write_file(dir.path() / "velmo.dat", v);
      }
      const std::string cmd = "cd '" + dir.path().string() + "' && OMP_NUM_THREADS=" +
                              (r == 0 ? "1" : "4") + " '" LINAC_PROGRAM "' > screen.txt 2>&1";
      ASSERT_EQ(std::system(cmd.c_str()), 0) << testing::read_file(dir / "screen.txt");
      for (int f = 0; f < 3; ++f) out[r][f] = testing::read_file(dir / files[f]);
    }
    EXPECT_GT(std::count(out[0][2].begin(), out[0][2].end(), '\n'), 50) << "model " << model;
    for (int f = 0; f < 3; ++f)
      EXPECT_TRUE(out[0][f] == out[1][f]) << files[f] << " differs between 1 and 4 threads, model " << model;
  }
}

}  // namespace
}  // namespace linac
