// The node a table lookup starts from, for any coordinate: a point far
// beyond the grid (offsets beyond the range of an integer) takes the edge
// node on its own side, a NaN point a node inside the table; the field
// there is the table's extrapolation, or NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "table_fixture.hpp"
#include "transport/field_tables.hpp"
#include "transport/solenoid_lanes.hpp"

namespace linac {
namespace {

using testing::TableRun;

// An x table (no near-axis branch) of f = g(z) + k(u) with kinks inside the
// grid: g = max(0, z - 3e-3 cm), k = max(0, u - 2e-3 cm) on nodes 1e-3 cm
// apart. The second-order formula reproduces a function linear over its
// stencil, so far above the grid it continues the upper linear branch and
// far below the lower one (zero): a stencil from the wrong edge shows.
Table2D kinked_table() {
  Table2D t;
  t.coord = 1;
  t.nu = 5;
  t.nz = 7;
  t.u1 = 0.0, t.du = 1e-3, t.u_last = 4e-3;
  t.z1 = 0.0, t.hz = 1e-3, t.z_last = 6e-3;
  t.values.resize(static_cast<std::size_t>(2) * t.nu * t.nz);
  for (int b = 0; b < t.nz; ++b)
    for (int a = 0; a < t.nu; ++a) {
      const double f = std::max(0.0, b * 1e-3 - 3e-3) + std::max(0.0, a * 1e-3 - 2e-3);
      t.values[static_cast<std::size_t>(b) * t.nu + a] = f;
      t.values[static_cast<std::size_t>(t.nu) * t.nz + static_cast<std::size_t>(b) * t.nu + a] = -f;
    }
  return t;
}

TEST(TableLookupNodes, TwoDTableFarBeyondItsGridTakesTheEdgeOnItsSide) {
  const Table2D t = kinked_table();
  struct Case {
    double z, u;  // cm; offsets up to 1e13 node spacings
    double want;  // the linear branch of the stencil's edge
  } cases[] = {
      {1e7, 4e-3, (1e7 - 3e-3) + 2e-3},  // z far above: upper z branch
      {-1e7, 1e-3, 0.0},                 // z far below: g = k = 0 over the stencil
      {5e-3, 1e7, 2e-3 + (1e7 - 2e-3)},  // u far above
      {1e-3, -1e10, 0.0},                // u far below
  };
  for (const auto& c : cases) {
    double f1 = 0.0, f2 = 0.0;
    table2d_interp(t, c.z, c.u, f1, f2);
    // Weights of 1e20 on values near 1e-3 cm cancel to a result of 1e7:
    // rounding leaves about 1e-16 * 1e20 * 1e-3 = 10 of it. Below the grid
    // the stencil holds zeros only, so any weights give 0 exactly.
    EXPECT_NEAR(f1, c.want, 1e-4 * std::abs(c.want)) << c.z << " " << c.u;
    EXPECT_NEAR(f2, -c.want, 1e-4 * std::abs(c.want)) << c.z << " " << c.u;
  }
  double f1 = 0.0, f2 = 0.0;
  table2d_interp(t, std::numeric_limits<double>::quiet_NaN(), 1e-3, f1, f2);
  EXPECT_TRUE(std::isnan(f1) && std::isnan(f2));
  table2d_interp(t, 1e-3, std::numeric_limits<double>::quiet_NaN(), f1, f2);
  EXPECT_TRUE(std::isnan(f1) && std::isnan(f2));
}

// A NaN z passes the comparisons of the element's range: the solenoid field
// there is NaN, one point at a time and in the lanes alike, and the lanes
// beside it keep their field.
TEST(TableLookupNodes, SolenoidFieldAtANanPoint) {
  TableRun run;
  write_solenoid_table(run->units, "solenoid.#01", {1.0, 2.0, 3.0, 2.0, 1.0});
  read_solenoid_table(*run, 8.0, 1);
  const AxisTable& t = *run->field_tables.axis_table;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Vec3 B;
  EXPECT_EQ(sol_field(t, 8.0, 1.0, 0.1, 0.0, nan, B), TableHit::inside);
  EXPECT_TRUE(std::isnan(B[2]));
  const double x[4] = {0.1, 0.0, 0.1, 0.0}, y[4] = {0.0, 0.0, 0.0, 0.2};
  const double z[4] = {nan, 4.0, 8.0, 1.0};
  const bool active[4] = {true, true, true, true};
  double BL[3][4];
  bool inside[4];
  sol_field_lanes<4>(t, 8.0, 1.0, x, y, z, active, BL, inside);
  EXPECT_TRUE(std::isnan(BL[2][0]));
  for (int l = 1; l < 4; ++l) {
    EXPECT_EQ(sol_field(t, 8.0, 1.0, x[l], y[l], z[l], B), TableHit::inside);
    EXPECT_TRUE(inside[l]);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(BL[c][l], B[c]) << l << " " << c;
  }
}

}  // namespace
}  // namespace linac
