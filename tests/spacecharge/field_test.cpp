// Field of the solved grid: the interpolation against a quadratic potential,
// and the whole chain deposition -> solve -> interpolation against the
// closed-form fields of uniformly charged ellipsoids, a point charge and a
// round continuous beam.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>

#include "sc_fixture.hpp"
#include "spacecharge/deposit.hpp"
#include "spacecharge/interpolate.hpp"
#include "spacecharge/sc_constants.hpp"
#include "transport/field_at.hpp"

namespace linac {
namespace {

using testing::ScSetup;
using E3 = std::array<double, 3>;

TEST(ScInterpolation, QuadraticPotentialGivesItsExactGradient) {
  // The second-order Taylor expansion of a quadratic is the quadratic
  // itself and central differences of it are exact: -grad phi to rounding,
  // at random points inside, on the faces too; zero outside.
  ScSetup s(17, 13, 21, 1.6, 0.9, 1.3, 2.5);
  ScGrid& g = s.grid();
  const double a[6] = {0.7, -1.1, 0.4, 0.9, -0.3, 0.5};  // xx yy zz xy xz yz, V/cm^2
  const double b[3] = {1.5, -2.0, 0.8};                   // V/cm
  auto phi = [&](double x, double y, double z) {
    return a[0] * x * x + a[1] * y * y + a[2] * z * z + a[3] * x * y + a[4] * x * z + a[5] * y * z +
           b[0] * x + b[1] * y + b[2] * z + 3.0;
  };
  auto field = [&](double x, double y, double z) {
    return E3{-(2 * a[0] * x + a[3] * y + a[4] * z + b[0]), -(2 * a[1] * y + a[3] * x + a[5] * z + b[1]),
              -(2 * a[2] * z + a[4] * x + a[5] * y + b[2])};
  };
  for (int l = 0; l < g.NZ; ++l)
    for (int j = 0; j < g.NY; ++j)
      for (int i = 0; i < g.NX; ++i) g.sc_grid3d[s.node(i, j, l)] = phi(g.sc_xn[i], g.sc_yn[j], g.sc_zn[l]);
  for (int j = 0; j < g.NY; ++j)
    for (int i = 0; i < g.NX; ++i) g.sc_grid2d[i + j * g.NX] = phi(g.sc_xn[i], g.sc_yn[j], 0.0);
  std::mt19937_64 gen(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<std::array<double, 3>> points;
  for (int k = 0; k < 200; ++k) points.push_back({u(gen) * g.sc_half_x, u(gen) * g.sc_half_y, u(gen) * g.sc_half_z});
  points.push_back({g.sc_half_x, -g.sc_half_y, g.sc_half_z});   // corners and faces are inside
  points.push_back({-g.sc_half_x, g.sc_half_y, -g.sc_half_z});
  points.push_back({0.0, 0.0, 0.0});
  for (const auto& p : points) {
    E3 E;
    sc_field_3d_at(g, p[0], p[1], p[2], E);
    const E3 want = field(p[0], p[1], p[2]);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(E[c], want[c], 1e-11) << p[0] << " " << p[1] << " " << p[2];
    sc_field_2d_at(g, p[0], p[1], E);
    const E3 want2 = field(p[0], p[1], 0.0);
    EXPECT_NEAR(E[0], want2[0] + a[4] * 0.0, 1e-11);
    EXPECT_NEAR(E[1], want2[1], 1e-11);
    EXPECT_EQ(E[2], 0.0);
  }
  const double eps = 1e-9;
  for (const auto& p : {E3{g.sc_half_x + eps, 0, 0}, E3{0, -g.sc_half_y - eps, 0}, E3{0, 0, g.sc_half_z + eps}}) {
    E3 E;
    sc_field_3d_at(g, p[0], p[1], p[2], E);
    EXPECT_EQ(E, (E3{0, 0, 0}));
  }
  E3 E;
  sc_field_2d_at(g, g.sc_half_x + eps, 0.0, E);
  EXPECT_EQ(E, (E3{0, 0, 0}));
}

// The stencil's centre node: for coordinates in and around the box the
// nearest node limited to 1 .. n - 2 (the truncation in 64 bits as the
// reference); for values whose node number no int holds (a box whose mesh
// step underflowed to 0, so 1/h is infinite, or a coordinate of 1e300) and
// for NaN, a node inside those limits, and the field there finite.
TEST(ScInterpolation, CentreNodeStaysInsideTheGridForEveryValue) {
  ScSetup s(17, 13, 21, 1.6, 0.9, 1.3, 2.5);
  ScGrid& g = s.grid();
  for (int k = -4000; k <= 4000; ++k) {
    const double v = k * 1e-3 * g.sc_half_x;  // four box half widths either side
    const double d = (v + g.sc_x0) * g.sc_inv_hx;
    const long long want = std::clamp<long long>(static_cast<long long>(d) + 1, 1, g.NX - 2);
    ASSERT_EQ(sc_detail::centre_node(v, g.sc_x0, g.sc_inv_hx, g.NX), want) << v;
  }
  struct Case {
    double v, inv_h;
    int want;  // 0: any node of 1 .. n - 2
  };
  const double inf = HUGE_VAL;
  const Case cases[] = {
      {1e300, g.sc_inv_hx, g.NX - 2}, {-1e300, g.sc_inv_hx, 1}, {0.5, inf, g.NX - 2},
      {-g.sc_x0 - 1.0, inf, 1},       {inf, g.sc_inv_hx, g.NX - 2}, {-inf, g.sc_inv_hx, 1},
      {-g.sc_x0, inf, 0},  // 0 times infinity
      {std::nan(""), g.sc_inv_hx, 0},
  };
  for (const Case& c : cases) {
    const int i = sc_detail::centre_node(c.v, g.sc_x0, c.inv_h, g.NX);
    if (c.want != 0) {
      EXPECT_EQ(i, c.want) << c.v << " " << c.inv_h;
    }
    EXPECT_GE(i, 1);
    EXPECT_LE(i, g.NX - 2);
  }
  // A box of vanishing mesh step: no read outside the grid, a finite field.
  for (int l = 0; l < g.NZ; ++l)
    for (int j = 0; j < g.NY; ++j)
      for (int i = 0; i < g.NX; ++i) g.sc_grid3d[s.node(i, j, l)] = 1.0 + i + 2.0 * j + 3.0 * l;
  g.sc_inv_hx = g.sc_inv_hy = g.sc_inv_hz = inf;
  E3 E;
  sc_field_3d_at(g, 0.3, -0.2, 0.1, E);
  for (double e : E) EXPECT_TRUE(std::isfinite(e));
}

// Least-squares slope through 0 of f(t) over |t| <= tmax (n points each side).
double slope(const std::function<double(double)>& f, double tmax, int n) {
  double s1 = 0.0, s2 = 0.0;
  for (int k = -n; k <= n; ++k) {
    const double t = tmax * k / n;
    s1 += t * f(t);
    s2 += t * t;
  }
  return s1 / s2;
}

// Demagnetisation factor along the symmetry axis of a spheroid with axis
// ratio m = c/a (prolate m > 1, oblate m < 1).
double spheroid_mz(double m) {
  if (m > 1.0) {
    const double r = std::sqrt(m * m - 1.0);
    return (m * std::log(m + r) / r - 1.0) / (m * m - 1.0);
  }
  const double k = 1.0 / m;  // oblate a = k c
  const double r = std::sqrt(k * k - 1.0);
  return k * k / (k * k - 1.0) * (1.0 - std::asin(r / k) / r);
}

TEST(ScPhysics, UniformEllipsoidsHaveTheirLinearField) {
  // E_x = (rho/eps0) Mx x inside, alike in y and z. Quiet start: particles
  // on a lattice of half the mesh step, so rho = q/(sx sy sz). Walls 5 and
  // period 20 times the largest semi-axis, 6 cells per semi-axis: discretisation
  // and image errors stay well below the 1% tolerance.
  EXPECT_NEAR(spheroid_mz(3.0), 0.10871, 1e-5);
  EXPECT_NEAR(spheroid_mz(1.0 / 3.0), 0.63539, 1e-5);
  struct Case {
    const char* what;
    double a, c;  // transverse and longitudinal semi-axes, cm (rest frame)
    double mz;
  } cases[] = {
      {"sphere", 1.0, 1.0, 1.0 / 3.0},
      {"prolate c = 3a", 1.0, 3.0, spheroid_mz(3.0)},
      {"oblate a = 3c", 1.0, 1.0 / 3.0, spheroid_mz(1.0 / 3.0)},
  };
  for (const Case& c : cases) {
    const double big = std::max(c.a, c.c);
    const double hx = c.a / 6.0, hz = c.c / 6.0;
    const int nx = 2 * static_cast<int>(std::lround(5.0 * big / hx)) + 1;
    const int nz = static_cast<int>(std::lround(20.0 * big / hz)) + 1;
    ScSetup s(nx, nx, nz, 0.5 * (nx - 1) * hx, 0.5 * (nx - 1) * hx, 1.05, 0.5 * (nz - 1) * hz);
    Sim& sim = *s;
    const double sx = hx / 2.0, sz = hz / 2.0;
    int n = 0;
    const int kx = static_cast<int>(c.a / sx) + 1, kz = static_cast<int>(c.c / sz) + 1;
    for (int iz = -kz; iz < kz; ++iz)
      for (int iy = -kx; iy < kx; ++iy)
        for (int ix = -kx; ix < kx; ++ix) {
          const double x = (ix + 0.5) * sx, y = (iy + 0.5) * sx, z = (iz + 0.5) * sz;
          if ((x * x + y * y) / (c.a * c.a) + z * z / (c.c * c.c) < 1.0) s.place(n++, x, y, z);
        }
    sc_deposit_3d(sim, 0.0);
    sc_poisson_3d(s.grid());
    const double rho = sim.current.qmacro[1] / (sx * sx * sz) / kEps0;  // V/cm^2
    const double mx = (1.0 - c.mz) / 2.0;
    const ScGrid& g = s.grid();
    const double gx = slope([&](double t) { E3 E; sc_field_3d_at(g, t, 0, 0, E); return E[0]; }, 0.7 * c.a, 20);
    const double gy = slope([&](double t) { E3 E; sc_field_3d_at(g, 0, t, 0, E); return E[1]; }, 0.7 * c.a, 20);
    const double gz = slope([&](double t) { E3 E; sc_field_3d_at(g, 0, 0, t, E); return E[2]; }, 0.7 * c.c, 20);
    EXPECT_NEAR(gx / (rho * mx), 1.0, 0.01) << c.what;
    EXPECT_NEAR(gy / (rho * mx), 1.0, 0.01) << c.what;
    EXPECT_NEAR(gz / (rho * c.mz), 1.0, 0.01) << c.what;
  }
}

TEST(ScPhysics, PointChargeOnANodeHasTheCoulombField) {
  // |E| = q/(4 pi eps0 r^2) for 12 h <= r <= W/4 on a 129^3 grid of half
  // width W: the difference stencil errs by ~(h/r)^2 and the wall and
  // period images by ~(r/2W)^3, both below 2%.
  const double W = 6.4;
  ScSetup s(129, 129, 129, W, W, 1.05, W);
  ScGrid& g = s.grid();
  const double h = g.sc_hx;
  const double q = 1e-12;
  g.sc_grid3d[s.node(64, 64, 64)] = q / (h * h * h) / kEps0;
  sc_poisson_3d(g);
  for (double r = 12.0 * h; r <= W / 4.0 + 1e-12; r += h)
    for (const E3 dir : {E3{1, 0, 0}, E3{0, 1, 0}, E3{0, 0, 1}, E3{0.6, 0.0, 0.8}, E3{0.48, 0.6, 0.64}}) {
      E3 E;
      sc_field_3d_at(g, r * dir[0], r * dir[1], r * dir[2], E);
      const double mag = std::sqrt(E[0] * E[0] + E[1] * E[1] + E[2] * E[2]);
      const double coulomb = q / (4.0 * kPi * kEps0 * r * r);
      EXPECT_NEAR(mag / coulomb, 1.0, 0.02) << "r = " << r;
    }
}

TEST(ScPhysics, RoundContinuousBeamHasItsRadialField) {
  // E_r = lambda r/(2 pi eps0 a^2) inside a uniform round beam of radius a
  // and lambda/(2 pi eps0 r) outside, with lambda = (1 - Cneutr) I/(beta c).
  // For 1 mA at beta 0.05: 2.398 V/cm at r = a = 0.5 cm.
  const double a = 0.5, I = 1e-3;
  const double gamma = 1.0 / std::sqrt(1.0 - 0.05 * 0.05);
  EXPECT_NEAR(I / (0.05 * kSpeedOfLightCm) / (2.0 * kPi * kEps0 * a), 2.398, 5e-4);
  for (double cneutr : {0.0, 0.4, 1.0}) {
    const double hx = a / 6.0;
    const int nx = 2 * 60 + 1;  // walls at 10 a
    ScSetup s(nx, nx, 2, 60 * hx, 60 * hx, gamma, 0.0, true);
    Sim& sim = *s;
    sim.current.Cneutr = cneutr;
    const double sx = hx / 2.0;
    int n = 0;
    const int k = static_cast<int>(a / sx) + 1;
    for (int iy = -k; iy < k; ++iy)
      for (int ix = -k; ix < k; ++ix) {
        const double x = (ix + 0.5) * sx, y = (iy + 0.5) * sx;
        if (x * x + y * y < a * a) s.place(n++, x, y, 0.0);
      }
    sim.current.qmacro[1] = I / (n * sim.ref.FREQB);
    sc_deposit_2d(sim);
    sc_poisson_2d(s.grid());
    const ScGrid& g = s.grid();
    const double lambda = (1.0 - cneutr) * I / (0.05 * kSpeedOfLightCm);  // C/cm
    // Inside: the lattice density, lambda / (n sx^2) per area.
    const double inside = lambda / (n * sx * sx) / (2.0 * kEps0);
    const double gx = slope([&](double t) { E3 E; sc_field_2d_at(g, t, 0, E); return E[0]; }, 0.7 * a, 20);
    const double gy = slope([&](double t) { E3 E; sc_field_2d_at(g, 0, t, E); return E[1]; }, 0.7 * a, 20);
    for (double r : {1.5 * a, 2.0 * a, 3.0 * a}) {
      E3 E;
      sc_field_2d_at(g, r * 0.6, r * 0.8, E);
      const double er = std::sqrt(E[0] * E[0] + E[1] * E[1]);
      const double want = lambda / (2.0 * kPi * kEps0 * r);
      if (cneutr == 1.0)
        EXPECT_EQ(er, 0.0);
      else
        EXPECT_NEAR(er / want, 1.0, 0.01) << "r = " << r;
    }
    if (cneutr == 1.0) {
      EXPECT_EQ(gx, 0.0);
      EXPECT_EQ(gy, 0.0);
    } else {
      EXPECT_NEAR(gx / inside, 1.0, 0.01) << cneutr;
      EXPECT_NEAR(gy / inside, 1.0, 0.01) << cneutr;
    }
  }
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

TEST(ScField2d, AddedToTheElementFieldAlongTheLocalRadius) {
  // A uniform transverse field E0 on the 2-D grid (potential -E0 x - E1 y).
  ScSetup s(33, 33, 2, 2.0, 2.0, 1.1, 0.0, true);
  Sim& sim = *s;
  ScGrid& g = s.grid();
  const double E0 = 40.0, E1 = -15.0;  // V/cm
  for (int j = 0; j < g.NY; ++j)
    for (int i = 0; i < g.NX; ++i) g.sc_grid2d[i + j * g.NX] = -E0 * g.sc_xn[i] - E1 * g.sc_yn[j];
  sim.config.IFLAG2D = 1;
  sim.current.scur = 1.0;
  sim.state.itype = 1;  // a drift without aperture
  const ScField2d sc = sc_field_2d_source(sim);
  ASSERT_NE(sc.grid, nullptr);
  // Straight element: the grid field itself; field_at converts it to the
  // units of the equations of motion.
  Vec3 E{0, 0, 0}, B;
  add_sc_field_2d(sc, 0.3, -0.2, 5.0, E);
  EXPECT_NEAR(E[0], E0, 1e-9);
  EXPECT_NEAR(E[1], E1, 1e-9);
  EXPECT_EQ(E[2], 0.0);
  field_at(sim, 0.3, -0.2, 5.0, 0.0, E, B);
  EXPECT_NEAR(E[0], E0 * 100.0 / 299792458.0, 1e-15);
  EXPECT_NEAR(E[1], E1 * 100.0 / 299792458.0, 1e-15);
  // In a bend of radius 50 cm (centre at x = 50 cm, z = 0) the radial
  // field of the grid lies along the local radius, its size kept.
  StepGeometry& step = sim.transport.step;
  step.bend_invR = 1.0 / 50.0;
  step.bend_xc = 50.0;
  step.bend_zc = 0.0;
  for (double theta : {0.0, 0.1, 0.3}) {
    const double rho = 49.5;
    const double x = 50.0 - rho * std::cos(theta), z = rho * std::sin(theta);
    Vec3 Es{0, 0, 0};
    add_sc_field_2d(sc, x, 0.1, z, Es);
    EXPECT_NEAR(std::hypot(Es[0], Es[2]), E0, 1e-9) << theta;
    EXPECT_NEAR(Es[0] * z - Es[2] * (x - 50.0), 0.0, 1e-9) << theta;  // parallel to the radius
    EXPECT_NEAR(Es[1], E1, 1e-9);
  }
  // Without current nothing is added.
  sim.current.scur = 0.0;
  EXPECT_EQ(sc_field_2d_source(sim).grid, nullptr);
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

// The 2-D grid holds the field of the beam across its own axis: inside an
// element the grid coordinate of a point is its distance from the step's
// reference (the element axis, the straight reference line of a step of a
// curved path, or the reference arc), and the grid field points along that
// distance. A potential -k x^2/2 - E1 y (interpolated exactly) gives the
// field k d across the reference at distance d and E1 vertically.
TEST(ScField2d, GridCoordinateIsTheDistanceFromTheStepReference) {
  ScSetup s(33, 33, 2, 2.0, 2.0, 1.1, 0.0, true);
  Sim& sim = *s;
  ScGrid& g = s.grid();
  const double k = 30.0, E1 = -15.0;  // V/cm^2, V/cm
  for (int j = 0; j < g.NY; ++j)
    for (int i = 0; i < g.NX; ++i)
      g.sc_grid2d[i + j * g.NX] = -0.5 * k * g.sc_xn[i] * g.sc_xn[i] - E1 * g.sc_yn[j];
  sim.config.IFLAG2D = 1;
  sim.current.scur = 1.0;
  const ScField2d sc = sc_field_2d_source(sim);
  ASSERT_NE(sc.grid, nullptr);
  StepGeometry& step = sim.transport.step;
  const double c45 = std::sqrt(0.5);
  struct Case {
    const char* what;
    double invR, xc, zc;       // curvature (1/cm) and centre of the step's arc
    double xref, zref, nz, nx;  // reference point and direction at the step's end
    double x, z;               // point of the element frame, cm
    double d;                  // its distance across the reference, cm
    double ux, uz;             // unit vector across the reference there
  } cases[] = {
      {"element axis", 0.0, 0.0, 0.0, 0.0, 7.0, 1.0, 0.0, 0.6, 3.0, 0.6, 1.0, 0.0},
      // Exit straight of a 45-degree bend towards -x: the line through
      // (-30, 60) along (n_z, n_x) = (cos 45, -sin 45).
      {"straight line after a bend", 0.0, 0.0, 0.0, -30.0, 60.0, c45, -c45,
       -30.0 + 0.8 * c45 - 5.0 * c45, 60.0 + 0.8 * c45 + 5.0 * c45, 0.8, c45, c45},
      // The arc of radius 50 cm of a bend towards -x (centre at x = -50) and
      // of one towards +x (centre at x = +50), 0.3 rad into it: x across is
      // outwards from the centre for the first, towards it for the second.
      {"arc bending towards -x", -1.0 / 50.0, -50.0, 0.0, 0.0, 0.0, 1.0, 0.0,
       -50.0 + 50.7 * std::cos(0.3), 50.7 * std::sin(0.3), 0.7, std::cos(0.3), std::sin(0.3)},
      {"arc bending towards +x", 1.0 / 50.0, 50.0, 0.0, 0.0, 0.0, 1.0, 0.0,
       50.0 - 49.4 * std::cos(0.3), 49.4 * std::sin(0.3), 0.6, std::cos(0.3), -std::sin(0.3)},
  };
  for (const Case& c : cases) {
    step.bend_invR = c.invR;
    step.bend_xc = c.xc;
    step.bend_zc = c.zc;
    step.xref = c.xref;
    step.zref = c.zref;
    step.step_nz = c.nz;
    step.step_nx = c.nx;
    Vec3 E{0.0, 0.0, 0.0};
    add_sc_field_2d(sc, c.x, 0.1, c.z, E);
    EXPECT_NEAR(E[0], k * c.d * c.ux, 1e-9) << c.what;
    EXPECT_NEAR(E[2], k * c.d * c.uz, 1e-9) << c.what;
    EXPECT_NEAR(E[1], E1, 1e-9) << c.what;
  }
}

}  // namespace
}  // namespace linac
