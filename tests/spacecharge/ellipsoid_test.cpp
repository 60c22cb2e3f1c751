// The ellipsoid comparison: the envelope-code form factor, the exact
// depolarisation factors by quadrature, and the grid scans it fits.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "common/unit_numbers.hpp"
#include "sc_fixture.hpp"
#include "spacecharge/deposit.hpp"
#include "spacecharge/ellipsoid.hpp"
#include "spacecharge/poisson.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::ScSetup;

TEST(ScEllipsoid, EnvelopeFormFactor) {
  EXPECT_NEAR(ellipsoid_form_factor(1.0), 0.33014, 1e-5);
  EXPECT_NEAR((1.0 - ellipsoid_form_factor(1.0)) / 2.0, 0.33493, 1e-5);
  // Continuous to about 0.002 at p = 1, a jump from 0.01824 to 0.02 at p = 10.
  EXPECT_NEAR(ellipsoid_form_factor(1.0 + 1e-12), 0.33228, 1e-5);
  EXPECT_NEAR(ellipsoid_form_factor(10.0 - 1e-12), 0.01824, 1e-5);
  EXPECT_NEAR(ellipsoid_form_factor(10.0), 0.02, 1e-8);
}

TEST(ScEllipsoid, ExactFactorsByQuadrature) {
  auto sim = make_sim();
  // Sphere: 1/3 each. Spheroids with axis ratio 3: closed forms along the
  // axis, Mx = (1 - Mz)/2 across. A triaxial ellipsoid: the three sum to 1.
  const double prolate = 0.10871, oblate = 0.63539;
  struct Case {
    double a, b, c, mx;
  } cases[] = {
      {1.0, 1.0, 1.0, 1.0 / 3.0},
      {3.0, 1.0, 1.0, prolate},           // long first axis
      {1.0, 1.0, 3.0, (1.0 - prolate) / 2.0},
      {1.0 / 3.0, 1.0, 1.0, oblate},      // short first axis
      {1.0, 1.0, 1.0 / 3.0, (1.0 - oblate) / 2.0},
  };
  for (const Case& c : cases) EXPECT_NEAR(ellipsoid_factor_abc(*sim, c.a, c.b, c.c), c.mx, 1e-4) << c.a << c.b << c.c;
  const double a = 0.7, b = 1.3, cz = 2.1;
  const double sum = ellipsoid_factor_abc(*sim, a, b, cz) + ellipsoid_factor_abc(*sim, b, a, cz) +
                     ellipsoid_factor_abc(*sim, cz, a, b);
  EXPECT_NEAR(sum, 1.0, 2e-4);
}

// A uniform sphere of radius 1 cm in the rest frame, centred at (xc, yc, zc),
// solved, and the comparison run on it.
struct SphereRun : ScSetup {
  ::linac::testing::TempDir dir;
  SphereRun(double xc, double yc, double zc) : ScSetup(61, 61, 121, 5.0, 5.0, 1.05, 10.0) {
    Sim& s = *sim;
    s.units.set_directory(dir.path());
    s.units.open(kUnitLog, "log.dat");
    const double a = 1.0, sp = 1.0 / 12.0;
    int n = 0;
    for (int iz = -13; iz < 13; ++iz)
      for (int iy = -13; iy < 13; ++iy)
        for (int ix = -13; ix < 13; ++ix) {
          const double x = (ix + 0.5) * sp, y = (iy + 0.5) * sp, z = (iz + 0.5) * sp;
          if (x * x + y * y + z * z < a * a) place(n++, x + xc, y + yc, z + zc);
        }
    sc_deposit_3d(s, 0.0);
    sc_poisson_3d(s.sc_grid);
    ScGrid& g = s.sc_grid;
    // Moments of the sphere: rms a/sqrt(5) in each plane; the centroid in
    // the statistics coordinates (phase deviation for z).
    g.sc_rms_x = g.sc_rms_y = g.sc_rms_z = a / std::sqrt(5.0);
    s.beam_moments.centroid[1] = xc;
    s.beam_moments.centroid[3] = yc;
    s.beam_moments.centroid[5] = phase_of(zc);
    s.sc.A_AXE = s.sc.B_AXE = a;
    s.sc.C_AXE = a / g.gamma_sc;
    s.sc.sc_charge = n * s.current.qmacro[1];
    sc_field_test(s);
    s.units.close_all();
  }
  std::vector<std::string> lines(const char* f) { return ::linac::testing::read_lines(dir.path() / f); }
  // The values of the log lines that start with `key`, in order.
  std::vector<double> values(const std::string& key) {
    std::vector<double> v;
    for (const std::string& l : lines("log.dat"))
      if (l.rfind(key, 0) == 0) v.push_back(std::stod(l.substr(key.size())));
    return v;
  }
};

TEST(ScEllipsoid, ScansFitTheGridGradientAboutTheCentroid) {
  SphereRun centred(0.0, 0.0, 0.0);
  // Points within 1.8 rms (single precision) of the centre: 215 of 301.
  for (const char* f : {"fort.301", "fort.302", "fort.303"}) EXPECT_EQ(centred.lines(f).size(), 1u + 215) << f;
  const std::vector<double> grad = centred.values("     dEdx=");
  ASSERT_EQ(grad.size(), 3u);  // grid, envelope code, exact
  // Mx of the envelope code (0.33493 at p = 1), then the exact one.
  const std::vector<double> mx = centred.values("       Mx=");
  ASSERT_EQ(mx.size(), 2u);
  EXPECT_NEAR(mx[0], 0.33493, 1e-5);
  EXPECT_NEAR(mx[1], 1.0 / 3.0, 1e-4);
  // The grid's gradient is that of the sphere (quiet start: within 2% of the
  // nominal density of the charge over the sphere volume).
  EXPECT_NEAR(grad[0] / grad[2], 1.0, 0.02);
  // Off axis by whole cells: the same gradients, scanned about the centroid.
  const double h = 5.0 / 30.0;
  SphereRun off(2 * h, -3 * h, 4 * 10.0 / 60.0);
  const double dx[2] = {grad[0], off.values("     dEdx=")[0]};
  const double dy[2] = {centred.values("     dEdy=")[0], off.values("     dEdy=")[0]};
  const double dz[2] = {centred.values("     dEdz=")[0], off.values("     dEdz=")[0]};
  EXPECT_NEAR(dx[1] / dx[0], 1.0, 2e-3);
  EXPECT_NEAR(dy[1] / dy[0], 1.0, 2e-3);
  EXPECT_NEAR(dz[1] / dz[0], 1.0, 2e-3);
}

}  // namespace
}  // namespace linac
