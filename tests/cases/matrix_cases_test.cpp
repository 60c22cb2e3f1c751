// End-to-end cases of the elements by transfer matrix and the point
// elements (tests/cases/matrix_lenses): the Larmor rotation of a matrix
// solenoid, the matrix quad against the Enge quad of the same line, and a
// slit and a filter read from the lattice.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "case_harness.hpp"
#include "transport/lens_matrices.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;

constexpr double kW = 4692.696299165396;  // keV/u, beta = 0.1
constexpr double kRay = 0.01;             // cm

struct Rays {
  std::array<std::array<double, 4>, 5> v{};
};

Rays run_rays(const std::string& lattice, const std::vector<Placed>& beam) {
  CaseRun run("cases/matrix_lenses");
  testing::write_file(run.dir / "sclinac.dat", lattice + "stop\n");
  run.read_inputs();
  run.place_beam(1, beam);
  run.run_nominal_pass();
  Rays r;
  const ParticleArrays& p = run.sim->particles;
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(p.status[1][i], kLive) << lattice;
    r.v[i] = {p.x[1][i], p.xp[1][i], p.y[1][i], p.yp[1][i]};
  }
  return r;
}

const std::vector<Placed> kAxisRays = {
    {kRay, 0, 0, 0}, {-kRay, 0, 0, 0}, {0, 0, kRay, 0}, {0, 0, -kRay, 0}};

double betagamma() {
  const double g = kW / kAmuKev + 1.0;
  return std::sqrt(g * g - 1.0);
}

TEST(MatrixCases, SolenoidTurnsRaysByTheLarmorAngle) {
  const Rays r = run_rays("0 sol 2000.0 20.0 20.0 5.0\n", kAxisRays);
  const double brho = kRigidityGcmPerKeV * betagamma() * kAmuKev / 0.5;
  const double theta = 2000.0 * 20.0 / (2.0 * brho);
  const double c = std::cos(theta), s = std::sin(theta);
  // x0 cos(theta) (cos(theta), -sin(theta)); the y ray alike, turned.
  EXPECT_NEAR(r.v[1][0], kRay * c * c, 1e-12 * kRay);
  EXPECT_NEAR(r.v[1][2], -kRay * c * s, 1e-12 * kRay);
  EXPECT_NEAR(r.v[3][0], kRay * c * s, 1e-12 * kRay);
  EXPECT_NEAR(r.v[3][2], kRay * c * c, 1e-12 * kRay);
  EXPECT_NEAR(r.v[2][0], -r.v[1][0], 1e-18);
}

TEST(MatrixCases, MatrixQuadMatchesTheEngeQuad) {
  const Rays field = run_rays("0 quad 10.0 34.0 10.0 2.0 0 40\n", kAxisRays);
  const Rays matrix = run_rays("-1 quad 10.0 34.0 10.0 2.0\n", kAxisRays);
  const double k = std::sqrt(0.5 * kForceK * (10.0 / 2.0 / 1e4) / betagamma());
  auto m21 = [](const Rays& r) { return (r.v[1][1] - r.v[2][1]) / (2.0 * kRay); };
  auto m43 = [](const Rays& r) { return (r.v[3][3] - r.v[4][3]) / (2.0 * kRay); };
  const double thick = k * std::sin(k * 10.0);
  EXPECT_NEAR(-m21(matrix), thick, 1e-10 * thick);
  EXPECT_NEAR(m43(matrix), k * std::sinh(k * 10.0), 1e-10 * thick);
  EXPECT_NEAR(m21(field), m21(matrix), 5e-5 * thick);
  EXPECT_NEAR(m43(field), m43(matrix), 5e-5 * thick);
}

TEST(MatrixCases, SlitAndFilterFromTheLattice) {
  CaseRun run("cases/matrix_lenses");
  testing::write_file(run.dir / "sclinac.dat",
                      "0 drift 10.0 0.0 0.0 4\n0 slit 0.5 -0.5\n0 filtr 0.5 0.0 0.0\nstop\n");
  run.read_inputs();
  run.place_beam(1, {{0.1, 0, 0, 0}, {0.4, 0, 0.4, 0}, {0, 0, -0.2, 0}, {0.0, 0.0, 0.6, 0.0}});
  run.run_nominal_pass();
  const auto lost = run.lines("lost.dat");
  ASSERT_EQ(lost.size(), 3u);  // the header and slots 2 and 4
  EXPECT_EQ(lost[1].substr(0, 10), "   2  slit");
  EXPECT_EQ(lost[2].substr(0, 10), "   2  slit");
  const auto log = run.lines("log.dat");
  std::size_t mark = 0;
  while (mark < log.size() && log[mark] != "           !* FILTR *! ") ++mark;
  ASSERT_LT(mark + 11, log.size());
  EXPECT_EQ(log[mark + 1], "QdesignOld      1.0000");
  EXPECT_EQ(log[mark + 9], "   NPAT     after the filter         3");
}

}  // namespace
}  // namespace linac
