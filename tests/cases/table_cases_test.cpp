// End-to-end cases of the field tables: lattices through the parameter
// file, the lattice reader, the dispatcher and the drivers, with tables the
// test writes into the case's scratch directory.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "case_harness.hpp"
#include "transport/push_z.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::CaseRun;
using testing::Placed;

TEST(TableCases, EbfldBend) {
  CaseRun run("cases/ebfld_bend");
  run.read_inputs();
  Sim& s = *run.sim;
  write_table3d(s.units, "eh_EMS.#07", table_layout(4.0, 4.0, 10.0, {0, 0, 0}), kKindEB,
                analytic::uniform({0, 0, 0}, {0, 1000.0, 0}));
  const std::vector<Placed> beam = {{0.1, 0, 0, 0}, {-0.2, 0, 0, 0}, {0, 0, 0.3, 0}, {0.5, 0, -0.5, 0}};
  run.place_beam(1, beam);
  run.run_nominal_pass();
  const double gamma = s.ref.w0 / s.ref.amu_kev + 1.0;
  const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
  EXPECT_NEAR(beta, 0.1, 1e-12);
  const double rho = beta * gamma / (kForceK * 0.1);
  EXPECT_NEAR(rho, 312.2784, 1e-3);
  const double c = std::sqrt(rho * rho - 400.0);
  const ParticleArrays& p = s.particles;
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(p.xp[1][i], p.xp[1][1]) << i;  // a uniform field bends all alike
    EXPECT_NEAR(p.yp[1][i], 0.0, 1e-15) << i;
    EXPECT_NEAR(p.y[1][i], beam[static_cast<std::size_t>(i - 1)].y, 1e-12) << i;
  }
  // At the region's end (20 cm) the circle gives x' = -20/c and x = x0 -
  // (rho - c). The drift that starts there sees the field in the first
  // stage of its first step only (h = 0.5 cm, curvature a = -S^3/rho with
  // S = sqrt(1 + x'^2)): Runge-Kutta then gives x' + h a/6 and x + h x' +
  // h^2 a/6; the remaining 4.5 cm and the last 10 cm are straight.
  const double xp20 = -20.0 / c, x20 = -(rho - c);
  const double S = std::sqrt(1.0 + xp20 * xp20);
  const double a = -S * S * S / rho, h = 0.5;
  const double xp_end = xp20 + h * a / 6.0;
  EXPECT_NEAR(p.xp[1][1], xp_end, 1e-9);
  for (int i = 1; i <= 4; ++i) {
    const double x0 = beam[static_cast<std::size_t>(i - 1)].x;
    EXPECT_NEAR(p.x[1][i], x0 + x20 + h * xp20 + h * h * a / 6.0 + 14.5 * xp_end, 1e-9) << i;
  }
  // wtmp.dat: the ebfld line keeps the energy; nothing lost.
  const auto wtmp = run.lines("wtmp.dat");
  ASSERT_EQ(wtmp.size(), 5u);
  std::istringstream in(wtmp[0].substr(14));
  double ph_in, ph_out, w_in, w_out;
  in >> ph_in >> ph_out >> w_in >> w_out;
  EXPECT_NEAR(w_in, 4692.696, 5e-5 * w_in);
  EXPECT_NEAR(w_out, w_in, 5e-5 * w_in);
  EXPECT_EQ(ph_out, 0.0);
  EXPECT_EQ(run.lines("lost.dat").size(), 1u);
}

}  // namespace
}  // namespace linac
