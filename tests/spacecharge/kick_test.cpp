// The space-charge kick: the lab force of a rest-frame field, which slots it
// acts on, mirror symmetry of a symmetric bunch, the images of the bunch
// period, and bit-identical results for any thread count.
#include <gtest/gtest.h>
#include <omp.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "sc_fixture.hpp"
#include "spacecharge/deposit.hpp"
#include "spacecharge/interpolate.hpp"
#include "spacecharge/poisson.hpp"
#include "spacecharge/sc_constants.hpp"
#include "spacecharge/space_charge.hpp"

namespace linac {
namespace {

using testing::ScSetup;

// A grid potential phi = -(Ex x + Ey y + Ez z) (V): a uniform rest-frame field.
void uniform_field(ScSetup& s, double Ex, double Ey, double Ez) {
  ScGrid& g = s.grid();
  for (int l = 0; l < g.NZ; ++l)
    for (int j = 0; j < g.NY; ++j)
      for (int i = 0; i < g.NX; ++i)
        g.sc_grid3d[s.node(i, j, l)] = -(Ex * g.sc_xn[i] + Ey * g.sc_yn[j] + Ez * g.sc_zn[l]);
}

TEST(ScKick, LabForceOfTheRestFrameField) {
  // A particle moving with the frame across a rest-frame field E': the lab
  // field gamma E'_x with the magnetic field of the moving frame gives
  // dx' = (Q/A) e E'_x ds/(m_u c^2 beta^2 gamma^2), and along z
  // dbeta = (Q/A) e E'_z ds/(m_u c^2 beta gamma^3).
  for (double gamma : {1.001, 1.2, 2.0}) {
    ScSetup s(17, 17, 17, 1.6, 1.6, gamma);
    Sim& sim = *s;
    const double Ex = 120.0, Ey = -45.0, Ez = 30.0, ds = 0.7, qa = 0.25;  // V/cm, cm
    uniform_field(s, Ex, Ey, Ez);
    s.place(0, 0.2, -0.1, 0.3);
    s.place(1, 0.0, 0.0, 0.0, 3);      // a test particle is kicked as well
    s.place(2, 0.1, 0.1, 0.1, kLost);  // a lost one is not
    for (int i = 0; i <= 2; ++i) sim.particles.qa[1][i] = qa;
    const double b = s.grid().beta_sc;
    sc_kick(sim, ds);
    const double mc2 = kAmuEv;  // m_u c^2 / e, V
    const ParticleArrays& p = sim.particles;
    for (int i = 0; i <= 1; ++i) {
      EXPECT_NEAR(p.xp[1][i], qa * Ex * ds / (mc2 * b * b * gamma * gamma), 1e-6 * std::abs(p.xp[1][i])) << gamma;
      EXPECT_NEAR(p.yp[1][i], qa * Ey * ds / (mc2 * b * b * gamma * gamma), 1e-6 * std::abs(p.yp[1][i])) << gamma;
      EXPECT_NEAR(p.beta[1][i] - b, qa * Ez * ds / (mc2 * b * gamma * gamma * gamma),
                  1e-6 * std::abs(p.beta[1][i] - b)) << gamma;
    }
    EXPECT_EQ(p.xp[1][2], 0.0);
    EXPECT_EQ(p.beta[1][2], b);
  }
}

TEST(ScKick, TwoDimensionalModelLeavesParticlesAlone) {
  ScSetup s(17, 17, 17, 1.6, 1.6, 1.2);
  Sim& sim = *s;
  uniform_field(s, 100.0, 100.0, 100.0);
  s.place(0, 0.2, -0.1, 0.3);
  sim.config.IFLAG2D = 1;
  sc_kick(sim, 1.0);
  EXPECT_EQ(sim.particles.xp[1][0], 0.0);
  EXPECT_EQ(sim.particles.yp[1][0], 0.0);
  EXPECT_EQ(sim.particles.beta[1][0], s.grid().beta_sc);
}

TEST(ScKick, ImagesAreChosenInTheRestFrame) {
  // Full-period box: a particle one rest-frame box length behind the centre
  // feels the field at the centre; with a box cut to the bunch, rest-frame
  // distances up to the half length are inside, farther ones outside.
  struct Case {
    double hz_half;  // 0: full period
    double zr;       // rest-frame distance ahead of the centre, cm
    bool field;      // expected to feel the field
  } cases[] = {{0.0, 0.0, true}, {0.0, -1.0, true}, {2.0, 1.9, true}, {2.0, -1.9, true}, {2.0, 2.1, true},
               {2.0, 2.0 * 11 * 2.0 + 0.1, false}};
  for (const Case& c : cases) {
    ScSetup s(17, 17, 17, 1.6, 1.6, 1.5, c.hz_half);
    Sim& sim = *s;
    const double L = 2.0 * s.grid().sc_half_z;
    uniform_field(s, 0.0, 0.0, 50.0);
    s.place(0, 0.0, 0.0, c.zr == -1.0 ? -L : c.zr);
    s.place(1, 0.0, 0.0, 0.0);
    sc_kick(sim, 1.0);
    const double b = s.grid().beta_sc;
    const double d0 = sim.particles.beta[1][1] - b;
    const double d = sim.particles.beta[1][0] - b;
    if (c.field)
      EXPECT_NEAR(d, d0, 1e-9 * std::abs(d0)) << c.zr;
    else
      EXPECT_EQ(d, 0.0) << c.zr;
  }
  double z = 0.0;
  EXPECT_TRUE(sc_image_in_box(-3.0, 2.0, true, z));
  EXPECT_DOUBLE_EQ(z, 1.0);
  EXPECT_TRUE(sc_image_in_box(5.0, 2.0, false, z));
  EXPECT_DOUBLE_EQ(z, 1.0);
  EXPECT_FALSE(sc_image_in_box(2.0, 2.0, false, z));  // on the face of a cut box: no image strictly inside
}

// A random Gaussian bunch in a box at gamma 1.3, every 97th slot a test particle.
struct BunchRun {
  ScSetup s{33, 33, 65, 1.5, 1.2, 1.3};
  explicit BunchRun(int n, unsigned seed = 17) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> d(0.0, 1.0);
    const double half_z = s.grid().sc_half_z;
    for (int i = 0; i < n; ++i) {
      s.place(i, 0.3 * d(gen), 0.25 * d(gen), 0.15 * half_z * d(gen), i % 97 == 5 ? 2 : kLive);
      s.sim->particles.xp[1][i] = 0.002 * d(gen);
      s.sim->particles.yp[1][i] = 0.002 * d(gen);
    }
  }
};

TEST(ScThreads, GridPotentialAndKicksAreBitIdenticalForAnyThreadCount) {
  const int n = 40000;
  std::vector<double> charge[4], potential[4], xp[4], yp[4], beta[4];
  const int threads[4] = {1, 2, 3, 8};
  const int saved = omp_get_max_threads();
  for (int t = 0; t < 4; ++t) {
    omp_set_num_threads(threads[t]);
    BunchRun r(n);
    Sim& sim = *r.s;
    sc_deposit_3d(sim, 0.0);
    charge[t] = r.s.grid().sc_grid3d;
    sc_poisson_3d(r.s.grid());
    potential[t] = r.s.grid().sc_grid3d;
    sc_kick(sim, 0.5);
    xp[t].assign(sim.particles.xp[1], sim.particles.xp[1] + n);
    yp[t].assign(sim.particles.yp[1], sim.particles.yp[1] + n);
    beta[t].assign(sim.particles.beta[1], sim.particles.beta[1] + n);
  }
  omp_set_num_threads(saved);
  for (int t = 1; t < 4; ++t) {
    EXPECT_TRUE(charge[t] == charge[0]) << threads[t] << " threads: charge";
    EXPECT_TRUE(potential[t] == potential[0]) << threads[t] << " threads: potential";
    EXPECT_TRUE(xp[t] == xp[0] && yp[t] == yp[0] && beta[t] == beta[0]) << threads[t] << " threads: kicks";
  }
}

TEST(ScThreads, OddPlaneCountDepositsEveryParticleOnceForAnyThreadCount) {
  // 63 periodic planes: the last slab wraps into plane 0 and is deposited
  // after the others. A bunch filling every slab (uniform in z) and
  // centred across: the grid equals a plain cloud-in-cell sum (weights
  // (1-a) or a per axis, plane nz1 taken as plane 0, walls dropped) to
  // rounding, and is bit-identical at 1, 2, 3 and 8 threads.
  const int n = 30000;
  const int threads[4] = {1, 2, 3, 8};
  const int saved = omp_get_max_threads();
  std::vector<double> grid[4];
  for (int t = 0; t < 4; ++t) {
    omp_set_num_threads(threads[t]);
    ScSetup s(33, 33, 64, 1.5, 1.2, 1.3);
    Sim& sim = *s;
    const ScGrid& g = s.grid();
    std::mt19937_64 gen(31);
    std::normal_distribution<double> d(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::array<double, 3>> cells;  // position in cell units from the lower faces
    for (int i = 0; i < n; ++i) {
      auto across = [&] {  // inside the walls, away from them
        double v;
        do v = 16.0 + 3.0 * d(gen);
        while (!(v > 1.0 && v < 31.0));
        return v;
      };
      const double fx = across(), fy = across(), fz = g.nz1 * u(gen);
      s.place_cells(i, fx, fy, fz);
      cells.push_back({fx, fy, fz});
    }
    sc_deposit_3d(sim, 0.0);
    grid[t] = g.sc_grid3d;
    if (t > 0) continue;
    std::vector<double> want(g.sc_grid3d.size(), 0.0);
    const double f = sim.current.qmacro[1] / (g.sc_hx * g.sc_hy * g.sc_hz) / kEps0;
    for (const auto& c : cells) {
      const int i = static_cast<int>(c[0]), j = static_cast<int>(c[1]), l = static_cast<int>(c[2]);
      const double a[3] = {c[0] - i, c[1] - j, c[2] - l};
      for (int m = 0; m < 8; ++m) {
        const int di = m & 1, dj = (m >> 1) & 1, dl = (m >> 2) & 1;
        const double w = (di ? a[0] : 1.0 - a[0]) * (dj ? a[1] : 1.0 - a[1]) * (dl ? a[2] : 1.0 - a[2]);
        want[s.node(i + di, j + dj, (l + dl) % g.nz1)] += f * w;
      }
    }
    double total = 0.0;
    for (int l = 0; l < g.nz1; ++l)
      for (int j = 0; j < g.NY; ++j)
        for (int i = 0; i < g.NX; ++i) {
          const bool wall = i == 0 || j == 0 || i == g.NX - 1 || j == g.NY - 1;
          const double w = wall ? 0.0 : want[s.node(i, j, l)];
          EXPECT_NEAR(g.sc_grid3d[s.node(i, j, l)], w, 1e-12 * n * f) << i << "," << j << "," << l;
          if (l == 0) {
            EXPECT_EQ(g.sc_grid3d[s.node(i, j, g.nz1)], g.sc_grid3d[s.node(i, j, 0)]);
          }
          total += w;
        }
    EXPECT_GT(total, 0.99 * n * f);  // the bunch lies well inside the walls
  }
  omp_set_num_threads(saved);
  for (int t = 1; t < 4; ++t) EXPECT_TRUE(grid[t] == grid[0]) << threads[t] << " threads";
}

TEST(ScThreads, TwoDimensionalGridAndPotentialAreBitIdentical) {
  std::vector<double> u[3];
  const int threads[3] = {1, 3, 8};
  const int saved = omp_get_max_threads();
  for (int t = 0; t < 3; ++t) {
    omp_set_num_threads(threads[t]);
    ScSetup s(65, 33, 2, 1.5, 1.2, 1.1, 0.0, true);
    std::mt19937_64 gen(23);
    std::normal_distribution<double> d(0.0, 1.0);
    for (int i = 0; i < 30000; ++i) s.place(i, 0.3 * d(gen), 0.2 * d(gen), 0.0);
    sc_deposit_2d(*s);
    u[t] = s.grid().sc_grid2d;
    sc_poisson_2d(s.grid());
    u[t].insert(u[t].end(), s.grid().sc_grid2d.begin(), s.grid().sc_grid2d.end());
  }
  omp_set_num_threads(saved);
  for (int t = 1; t < 3; ++t) EXPECT_TRUE(u[t] == u[0]) << threads[t] << " threads";
}

TEST(ScKick, MirrorSymmetricBunchHasNoNetKick) {
  // A bunch symmetric under x -> -x, y -> -y, z -> -z (8 copies of each
  // particle): the charge-weighted sums of dx', dy' and dbeta vanish to
  // 1e-12 of their absolute sums.
  ScSetup s(33, 33, 65, 1.5, 1.2, 1.3);
  Sim& sim = *s;
  std::mt19937_64 gen(29);
  std::normal_distribution<double> d(0.0, 1.0);
  const double half_z = s.grid().sc_half_z;
  int n = 0;
  for (int k = 0; k < 2000; ++k) {
    const double x = std::abs(0.3 * d(gen)), y = std::abs(0.25 * d(gen)), z = std::abs(0.1 * half_z * d(gen));
    for (int m = 0; m < 8; ++m) s.place(n++, m & 1 ? -x : x, m & 2 ? -y : y, m & 4 ? -z : z);
  }
  const double b = s.grid().beta_sc;
  sc_deposit_3d(sim, 0.0);
  sc_poisson_3d(s.grid());
  sc_kick(sim, 1.0);
  double sx = 0, ax = 0, sy = 0, ay = 0, sb = 0, ab = 0;
  for (int i = 0; i < n; ++i) {
    sx += sim.particles.xp[1][i];
    ax += std::abs(sim.particles.xp[1][i]);
    sy += sim.particles.yp[1][i];
    ay += std::abs(sim.particles.yp[1][i]);
    sb += sim.particles.beta[1][i] - b;
    ab += std::abs(sim.particles.beta[1][i] - b);
  }
  EXPECT_GT(ax, 0.0);
  EXPECT_LT(std::abs(sx), 1e-12 * ax);
  EXPECT_LT(std::abs(sy), 1e-12 * ay);
  EXPECT_LT(std::abs(sb), 1e-12 * ab);
}

}  // namespace
}  // namespace linac
