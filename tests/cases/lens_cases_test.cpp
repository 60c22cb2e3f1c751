// End-to-end cases of the Enge lenses (tests/cases/lens_quads): the focal
// strength of quad and equad from rays against the thin-lens formula,
// mult and m5 against quad, the push in time against the push in z, the
// one-shot scan factor, and the lines the drivers refuse.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>

#include "case_harness.hpp"
#include "transport/uniform_field.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;
using testing::beta_of_w;

constexpr double kK = 0.0032184034535;
constexpr double kW = 4692.696299165396;  // keV/u, beta = 0.1
constexpr double kRay = 0.01;             // cm

// Final (x, x', y, y', phase) of the four rays of a lattice.
struct Rays {
  std::array<std::array<double, 5>, 5> v{};
};

Rays run_rays(const std::string& lattice, const std::vector<Placed>& beam, int iflag_dudt = 0,
              void (*setup)(ControlContext&) = nullptr) {
  CaseRun run("cases/lens_quads");
  testing::write_file(run.dir / "sclinac.dat", lattice + "stop\n");
  run.read_inputs();
  run.sim->config.iflag_dudt = iflag_dudt;
  if (setup) setup(*run.sim);
  run.place_beam(1, beam);
  run.run_nominal_pass();
  Rays r;
  const ParticleArrays& p = run.sim->particles;
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(p.status[1][i], kLive) << lattice;
    r.v[i] = {p.x[1][i], p.xp[1][i], p.y[1][i], p.yp[1][i], p.phase[1][i]};
  }
  return r;
}

const std::vector<Placed> kAxisRays = {
    {kRay, 0, 0, 0}, {-kRay, 0, 0, 0}, {0, 0, kRay, 0}, {0, 0, -kRay, 0}};

TEST(LensCases, FocalStrengthOfQuadAndEquadMatchesTheThinLens) {
  const double beta = beta_of_w(kW);
  EXPECT_NEAR(beta, 0.1, 1e-12);
  const double gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double qa = 0.5, ap = 2.0, eff_len = 10.0;
  struct Case {
    const char* lattice;
    double k2;  // cm^-2
  } cases[] = {
      {"0 quad 10.0 34.0 10.0 2.0 0 40\n", qa * kK * (10.0 / ap / 1e4) / (beta * gamma)},
      {"0 equad 600.0 34.0 10.0 2.0 40\n",
       qa * kK * (600.0 / (ap * ap) * 100.0 / 299792458.0) / (beta * beta * gamma)},
  };
  EXPECT_NEAR(cases[0].k2, 8.0057e-6, 1e-10);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lattice);
    const Rays r = run_rays(c.lattice, kAxisRays);
    const double m21 = (r.v[1][1] - r.v[2][1]) / (2.0 * kRay);
    const double m43 = (r.v[3][3] - r.v[4][3]) / (2.0 * kRay);
    EXPECT_NEAR(-m21, c.k2 * eff_len, 3e-4 * c.k2 * eff_len);
    EXPECT_NEAR(m43, c.k2 * eff_len, 3e-4 * c.k2 * eff_len);
  }
}

TEST(LensCases, MultipolesWithOnlyAQuadrupoleAreTheQuad) {
  const std::vector<Placed> beam = {
      {0.3, 0.001, -0.2, 0.0}, {-0.5, 0.0, 0.4, -0.002}, {0.1, -0.003, 0.7, 0.001},
      {-0.6, 0.002, -0.6, 0.0}};
  const Rays quad = run_rays("0 quad 300.0 34.0 10.0 2.0 0 40\n", beam);
  const char* same[] = {
      "0 mult 34.0 10.0 300.0 0.0 0.0 2.0 0 40\n",
      "0 m5 34.0 10.0 300.0 0.0 0.0 0.0 0.0 2.0 40\n",
      // The fourth and fifth m5 coefficients do not enter the field.
      "0 m5 34.0 10.0 300.0 0.0 0.0 7.0 9.0 2.0 40\n",
  };
  for (const char* lattice : same) {
    SCOPED_TRACE(lattice);
    const Rays r = run_rays(lattice, beam);
    for (int i = 1; i <= 4; ++i)
      for (int c = 0; c < 5; ++c) EXPECT_EQ(r.v[i][c], quad.v[i][c]) << i << " " << c;
  }
}

// A z-mode drift, then the quad pushed in time, equals the all-z run: the
// time push takes its velocities from the slopes the drift left.
TEST(LensCases, TimeModeQuadEqualsZMode) {
  const std::string lattice =
      "1 drift 20.0 0.0 0.0 10\n"
      "0 quad 1000.0 34.0 10.0 2.0 0 40\n";
  const std::vector<Placed> beam = {
      {0.5, 0.002, -0.3, 0.001}, {-0.4, -0.001, 0.6, -0.002}, {0.2, 0.003, 0.1, 0.0},
      {-0.1, 0.0, -0.5, 0.002}};
  const Rays z = run_rays(lattice, beam, 0);
  const Rays t = run_rays(lattice, beam, 1);
  for (int i = 1; i <= 4; ++i) {
    SCOPED_TRACE(i);
    // The quad changes the slopes visibly (k^2 eff_len x ~ 4e-3).
    EXPECT_GT(std::abs(z.v[i][1] - beam[static_cast<std::size_t>(i - 1)].xp), 1e-4);
    EXPECT_NEAR(t.v[i][0], z.v[i][0], 1e-7);
    EXPECT_NEAR(t.v[i][2], z.v[i][2], 1e-7);
    EXPECT_NEAR(t.v[i][1], z.v[i][1], 1e-8);
    EXPECT_NEAR(t.v[i][3], z.v[i][3], 1e-8);
    EXPECT_NEAR(t.v[i][4], z.v[i][4], 1e-5);
  }
}

// scan_mode 2 with scan_element = cur_cdump: a factor of 2 doubles the
// first quad only, and is spent.
TEST(LensCases, ScanFactorActsOnTheFirstQuadOnly) {
  const std::vector<Placed> beam = {
      {0.3, 0.001, -0.2, 0.0}, {-0.5, 0.0, 0.4, -0.002}, {0.1, -0.003, 0.7, 0.001},
      {-0.6, 0.002, -0.6, 0.0}};
  const std::string tail = "1 drift 20.0 0.0 0.0 10\n0 quad 300.0 34.0 10.0 2.0 0 40\n";
  static double factor_after = 0.0;
  auto scanned = [](ControlContext& s) {
    s.scan.scan_mode = 2;
    s.scan.elem = 4;
    s.scan.cur_cdump = 4;
    s.scan.factor = 2.0;
  };
  const Rays with_scan = run_rays("0 quad 300.0 34.0 10.0 2.0 0 40\n" + tail, beam, 0, scanned);
  const Rays doubled = run_rays("0 quad 600.0 34.0 10.0 2.0 0 40\n" + tail, beam);
  const Rays plain = run_rays("0 quad 300.0 34.0 10.0 2.0 0 40\n" + tail, beam);
  for (int i = 1; i <= 4; ++i) {
    for (int c = 0; c < 4; ++c) EXPECT_EQ(with_scan.v[i][c], doubled.v[i][c]) << i << " " << c;
    EXPECT_NEAR(with_scan.v[i][4], doubled.v[i][4], 1e-12);
    EXPECT_NE(with_scan.v[i][1], plain.v[i][1]);
  }
  // The factor is spent by the first quad.
  CaseRun run("cases/lens_quads");
  testing::write_file(run.dir / "sclinac.dat", "0 quad 300.0 34.0 10.0 2.0 0 40\n" + tail + "stop\n");
  run.read_inputs();
  scanned(*run.sim);
  run.place_beam(1, beam);
  run.run_nominal_pass();
  factor_after = run.sim->scan.factor;
  EXPECT_EQ(factor_after, 1.0);
}

TEST(LensCases, BadLinesStopNamingElementAndValue) {
  struct Case {
    const char* lattice;
    const char* message;
  } cases[] = {
      {"0 mult 34.0 10.0 10.0 0.0 0.0 2.0 0 0\n", " element 1 (mult): 0 integration steps"},
      {"0 mult 34.0 10.0 10.0 0.0 0.0 2.0 0 1041\n",
       " element 1 (mult): 1041 integration steps, more than the 1040"},
      {"0 quad 10.0 34.0 10.0 0.0 0 40\n", " element 1 (quad): aperture radius P4 = 0 cm"},
      {"0 quad 10.0 34.0 10.0 -1.0 0 40\n", " element 1 (quad): aperture radius P4 = -1 cm"},
      // The four-item equad line and the seven-item m5 line carry no aperture.
      {"0 equad 600.0 34.0 10.0 40\n", " element 1 (equad): aperture radius P4 = 0 cm"},
      {"0 m5 34.0 10.0 10.0 0.0 0.0 0.0 40\n", " element 1 (m5): aperture radius P8 = 0 cm"},
      {"0 mult 34.0 10.0 10.0 0.0 0.0 0.0 0 40\n", " element 1 (mult): aperture radius P6 = 0 cm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lattice);
    CaseRun run("cases/lens_quads");
    testing::write_file(run.dir / "sclinac.dat", std::string(c.lattice) + "stop\n");
    run.read_inputs();
    run.place_beam(1, kAxisRays);
    const std::string text = testing::fatal_text([&] { run.run_nominal_pass(); });
    EXPECT_EQ(text.substr(0, std::string(c.message).size()), c.message) << text;
  }
}

}  // namespace
}  // namespace linac
