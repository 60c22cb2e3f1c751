// Charge deposition: cloud-in-cell weights, the periodic wrap, the image of
// the bunch period, which slots carry charge, particles outside the box, and
// charge conservation in a box moving at gamma 1.5.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <tuple>
#include <vector>

#include "sc_fixture.hpp"
#include "spacecharge/deposit.hpp"
#include "spacecharge/sc_constants.hpp"

namespace linac {
namespace {

using testing::ScSetup;
using Node = std::tuple<int, int, int>;

struct Placement {
  double fx, fy, fz;  // cell units from the lower faces (z in the rest frame)
  int status;
};

struct Case {
  const char* what;
  std::vector<Placement> particles;  // slot 0 first
  std::map<Node, double> expected;   // node -> deposited weight (sum of particles)
};

TEST(ScDeposit, CloudInCellTable) {
  const double e8 = 0.125;
  const Case cases[] = {
      {"on a node", {{8.0, 8.0, 8.0, kLive}}, {{{8, 8, 8}, 1.0}}},
      {"cell centre",
       {{4.5, 6.5, 9.5, kLive}},
       {{{4, 6, 9}, e8}, {{5, 6, 9}, e8}, {{5, 7, 9}, e8}, {{4, 7, 9}, e8},
        {{4, 6, 10}, e8}, {{5, 6, 10}, e8}, {{5, 7, 10}, e8}, {{4, 7, 10}, e8}}},
      {"weights of a corner point",
       {{3.25, 5.0, 7.0, kLive}},
       {{{3, 5, 7}, 0.75}, {{4, 5, 7}, 0.25}}},
      {"last slab wraps into plane 0 (and its copy)",
       {{8.0, 8.0, 15.5, kLive}},
       {{{8, 8, 15}, 0.5}, {{8, 8, 0}, 0.5}, {{8, 8, 16}, 0.5}}},
      {"a period behind lands on the same node",
       {{8.0, 8.0, 8.0 - 16.0, kLive}},
       {{{8, 8, 8}, 1.0}}},
      {"slot 0 carries charge; test and lost slots do not",
       {{8.0, 8.0, 8.0, kLive}, {6.0, 6.0, 6.0, 1}, {6.0, 6.0, 6.0, kLost}},
       {{{8, 8, 8}, 1.0}}},
      {"just below a face, on the upper face, or beyond: nothing",
       {{-0.5, 8.0, 8.0, kLive}, {8.0, -0.25, 8.0, kLive}, {16.0, 8.0, 8.0, kLive},
        {8.0, 16.0, 8.0, kLive}, {-1.5, 8.0, 8.0, kLive}},
       {}},
      {"charge on the walls is dropped",
       {{0.0, 8.0, 8.0, kLive}, {0.5, 8.0, 8.0, kLive}},
       {{{1, 8, 8}, 0.5}}},
  };
  for (const Case& c : cases) {
    ScSetup s(17, 17, 17, 1.6, 1.6, 1.5);
    Sim& sim = *s;
    for (std::size_t k = 0; k < c.particles.size(); ++k) {
      const Placement& p = c.particles[k];
      s.place_cells(static_cast<int>(k), p.fx, p.fy, p.fz, p.status);
    }
    sc_deposit_3d(sim, 0.0);
    const ScGrid& g = s.grid();
    const double f = sim.current.qmacro[1] / (g.sc_hx * g.sc_hy * g.sc_hz) / kEps0;
    for (int l = 0; l < 17; ++l)
      for (int j = 0; j < 17; ++j)
        for (int i = 0; i < 17; ++i) {
          const auto it = c.expected.find({i, j, l});
          const double want = it == c.expected.end() ? 0.0 : it->second * f;
          const double got = g.sc_grid3d[s.node(i, j, l)];
          EXPECT_NEAR(got, want, 1e-12 * f) << c.what << " at " << i << "," << j << "," << l;
          EXPECT_GE(got, 0.0) << c.what;
        }
  }
}

TEST(ScDeposit, EveryParticleInsideTheRestFrameBoxIsDeposited) {
  // A box cut to the bunch, moving at gamma 1.5: particles anywhere inside
  // the rest-frame box (ahead of it by more than its lab half length too)
  // carry all their charge onto the grid, none negative.
  ScSetup s(17, 17, 33, 1.6, 1.6, 1.5, 2.0);
  Sim& sim = *s;
  int n = 0;
  for (double zr : {-1.99, -1.5, -0.7, 0.0, 0.3, 1.2, 1.45, 1.7, 1.99})
    for (double x : {-0.55, 0.0, 0.61}) s.place(n++, x, 0.3 * x, zr);
  sc_deposit_3d(sim, 0.0);
  const ScGrid& g = s.grid();
  double sum = 0.0;
  for (int l = 0; l < g.nz1; ++l)
    for (int j = 0; j < g.NY; ++j)
      for (int i = 0; i < g.NX; ++i) {
        const double v = g.sc_grid3d[s.node(i, j, l)];
        EXPECT_GE(v, 0.0);
        sum += v;
      }
  const double q = sum * g.sc_hx * g.sc_hy * g.sc_hz * kEps0;
  EXPECT_NEAR(q, n * sim.current.qmacro[1], 1e-12 * n * sim.current.qmacro[1]);
}

TEST(ScDeposit, TwoDimensionalLineCharge) {
  // A particle carries its line charge qmacro FREQB/(betaz c), times
  // (1 - Cneutr), spread over one cell: the sum of the grid times the cell
  // area is the line charge over eps0.
  for (double cneutr : {0.0, 0.25, 1.0}) {
    ScSetup s(17, 17, 2, 1.6, 1.6, 1.2, 0.0, true);
    Sim& sim = *s;
    sim.current.Cneutr = cneutr;
    s.place(0, 0.13, -0.21, 0.0);
    s.place(1, -0.4, 0.77, 0.0);
    sim.particles.xp[1][1] = 0.01;
    sc_deposit_2d(sim);
    const ScGrid& g = s.grid();
    double sum = 0.0;
    for (double v : g.sc_grid2d) sum += v;
    const double b0 = sim.particles.beta[1][0];
    const double b1 = b0 / std::sqrt(1.0 + 0.01 * 0.01);
    const double lambda = (1.0 - cneutr) * sim.current.qmacro[1] * sim.ref.FREQB / kSpeedOfLightCm *
                          (1.0 / b0 + 1.0 / b1);
    EXPECT_NEAR(sum * g.sc_hx * g.sc_hy * kEps0, lambda, 1e-12 * std::abs(lambda) + 1e-30) << cneutr;
  }
}

}  // namespace
}  // namespace linac
