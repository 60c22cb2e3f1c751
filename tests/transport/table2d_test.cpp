// 2-D (u, z) tables: the text parser, the second-order and near-axis
// interpolation, the split of the transverse value along the radius, the
// aperture, two slots of different sizes, and the messages of bad files.
#include <gtest/gtest.h>

#include <functional>

#include <fmt/format.h>

#include "table_fixture.hpp"
#include "transport/field_tables.hpp"
#include "transport/table_fields.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::fatal_text;
using testing::TableRun;

// A field quadratic in (u, z) per component.
std::pair<double, double> quad_uz(double u, double z) {
  return {0.4 + 1.3 * u - 0.2 * z + 0.7 * u * u - 0.05 * u * z + 0.011 * z * z,
          -2.0 + 0.3 * u + 0.9 * z - 0.4 * u * u + 0.03 * u * z - 0.021 * z * z};
}

TEST(Table2D, ParserReadsKeysHeadingsAndCounts) {
  struct Case {
    const char* line2;
    const char* heading;
    int coord, nu, nz, field_kind;
  } cases[] = {
      {"Nr= 5 Nz= 7", "   r   z   Er   Ez", 3, 5, 7, 1},
      {"nx 4 nz 6", " x z Ex Ez", 1, 4, 6, 1},
      {"NZ 6 NY 4", " y z Hy Hz", 2, 4, 6, 2},
      {"nr 4.5 nz 5.5", " r z Br Bz", 3, 5, 6, 2},   // halves rounded away from zero
      {"nr 4 nz 3", " fields: Ez and Bz", 3, 4, 3, 2},  // the last match decides
      {"  nR=  3   nZ=  4  ", "EZ", 3, 3, 4, 1},
  };
  for (const auto& c : cases) {
    TableRun run;
    std::string text = "2Dtable file\n" + std::string(c.line2) + "\n" + c.heading + "\n";
    // nu x nz data lines, u fastest; spacings 0.5 (u) and 2 (z), z from 10.
    const int nu = c.nu, nz = c.nz;
    for (int b = 0; b < nz; ++b)
      for (int a = 0; a < nu; ++a) text += fmt::format(" {} {} {} {}\n", 0.5 * a, 10.0 + 2.0 * b, a, 100 + b);
    testing::write_file(run.path("eh_EMS.#01"), text);
    read_2Dtable(*run, 1, 1);
    const Table2D& t = *run->field_tables.table2d[1];
    EXPECT_EQ(t.coord, c.coord) << c.line2;
    EXPECT_EQ(t.nu, nu) << c.line2;
    EXPECT_EQ(t.nz, nz) << c.line2;
    EXPECT_EQ(t.field_kind, c.field_kind) << c.heading;
    EXPECT_EQ(t.du, 0.5);
    EXPECT_EQ(t.hz, 2.0);
    EXPECT_EQ(t.z1, 10.0);
    EXPECT_EQ(t.z_last, 10.0 + 2.0 * (nz - 1));
    EXPECT_EQ(t.u_last, 0.5 * (nu - 1));
    EXPECT_EQ(t.at(0, nu - 1, 1), nu - 1);
    EXPECT_EQ(t.at(1, 0, nz - 1), 100 + nz - 1);
  }
}

TEST(Table2D, InterpolationOffAndNearTheAxis) {
  TableRun run;
  const double du = 0.2, hz = 0.5;
  write_2dtable(run->units, "eh_EMS.#02", "Nr=", 11, 41, " r z Er Ez", 0.0, du, 0.0, hz, quad_uz);
  read_2Dtable(*run, 2, 1);
  const Table2D& t = *run->field_tables.table2d[1];
  // Off the axis (u > du) the 9-point formula reproduces the quadratic.
  for (double u : {0.21, 0.55, 1.0, 1.73, 1.99})
    for (double z : {0.1, 3.3, 10.0, 19.8}) {
      double f1 = 0, f2 = 0;
      table2d_interp(t, z, u, f1, f2);
      const auto [w1, w2] = quad_uz(u, z);
      EXPECT_NEAR(f1, w1, 1e-12 * (1 + std::abs(w1))) << u << " " << z;
      EXPECT_NEAR(f2, w2, 1e-12 * (1 + std::abs(w2))) << u << " " << z;
    }
  // Near the axis the paraxial expansion of the on-axis Ez(z) = -2 + 0.9 z -
  // 0.021 z^2: f1 = -(u/2) dEz/dz exactly; f2 = Ez at the node nearest in z
  // (kept as a staircase) - (u^2/4) Ez''.
  for (double u : {0.01, 0.1, 0.2})
    for (double z : {1.1, 7.26, 15.0}) {
      double f1 = 0, f2 = 0;
      table2d_interp(t, z, u, f1, f2);
      EXPECT_NEAR(f1, -0.5 * u * (0.9 - 0.042 * z), 1e-12) << u << " " << z;
      const double zn = hz * std::round(z / hz);
      EXPECT_NEAR(f2, quad_uz(0.0, zn).second - 0.25 * u * u * (-0.042), 1e-12) << u << " " << z;
    }
}

TEST(Table2D, FieldSplitAlongTheRadiusApertureAndRange) {
  TableRun run;
  // An x table: the transverse value is still applied along x/r and y/r.
  write_2dtable(run->units, "eh_EMS.#03", "nx", 21, 21, " x z Ex Ez", -2.0, 0.2, 0.0, 1.0,
                [](double u, double) { return std::pair<double, double>{3.0 + u, 5.0}; });
  read_2Dtable(*run, 3, 1);
  const Table2D& t = *run->field_tables.table2d[1];
  Vec3 E, B;
  const double x = 0.6, y = 0.8;  // r = 1
  ASSERT_EQ(table2d_field(t, 25.0, 1.5, x, y, 4.0, E, B), TableHit::inside);
  EXPECT_NEAR(E[0], 3.6 * 0.6, 1e-12);
  EXPECT_NEAR(E[1], 3.6 * 0.8, 1e-12);
  EXPECT_NEAR(E[2], 5.0, 1e-12);
  EXPECT_EQ(B, (Vec3{0, 0, 0}));
  struct Case {
    const char* what;
    double x, y, z, aperture_r;
    TableHit hit;
  } cases[] = {
      {"beyond the table's length, inside the element", 0.1, 0.0, 20.5, 1.5, TableHit::inside},
      {"beyond the element", 0.1, 0.0, 25.01, 1.5, TableHit::outside},
      {"on the aperture circle", 0.9, 1.2, 4.0, 1.5, TableHit::lost},
      {"outside the aperture and the table's u range", 2.3, 0.0, 4.0, 1.5, TableHit::lost},
      {"beyond the table's u range inside the aperture", 2.2, 0.0, 4.0, 3.0, TableHit::inside},
  };
  for (const auto& c : cases) {
    Vec3 e, b;
    EXPECT_EQ(table2d_field(t, 25.0, c.aperture_r, c.x, c.y, c.z, e, b), c.hit) << c.what;
    EXPECT_EQ(e, (Vec3{0, 0, 0})) << c.what;
  }
}

TEST(Table2D, CombSlotsOfDifferentSizesStayIntact) {
  TableRun run;
  write_2dtable(run->units, "eh_EMS.#04", "nr", 5, 9, " r z Er Ez", 0.0, 0.5, 0.0, 2.0,
                [](double, double) { return std::pair<double, double>{0.0, 1.0}; });
  write_2dtable(run->units, "eh_EMS.#05", "nr", 31, 101, " r z Br Bz", 0.0, 0.1, 0.0, 0.2,
                [](double, double) { return std::pair<double, double>{0.0, 7.0}; });
  read_2Dtable(*run, 4, 1);
  read_2Dtable(*run, 5, 2);
  run->ref.elem_len = 15.0;
  run->ref.aperture_r = 2.0;
  run->ref.field1 = 10.0;
  run->ref.field2 = 3.0;
  run->state.itype = 30;
  const CombSource s = comb_source(*run);
  Vec3 E, B;
  ASSERT_TRUE(s.element_field(0.3, 0.1, 6.0, 0.0, E, B));
  EXPECT_NEAR(E[2], 3.0 * 1.0, 1e-12);   // field2 times slot 1 (electric)
  EXPECT_NEAR(B[2], 10.0 * 7.0, 1e-12);  // field1 times slot 2 (magnetic)
  EXPECT_EQ(run->field_tables.table2d[1]->nu, 5);
  EXPECT_EQ(run->field_tables.table2d[2]->nu, 31);
}

TEST(Table2D, BadFilesStopWithTheirMessages) {
  auto grid = [](int nu, int nz, double du = 0.5, double dz = 1.0) {
    std::string s;
    for (int b = 0; b < nz; ++b)
      for (int a = 0; a < nu; ++a) s += fmt::format(" {} {} 1 2\n", du * a, dz * b);
    return s;
  };
  // The same grid with the numbers of some lines changed by `damage`.
  using Damage = std::function<void(int a, int b, double& u, double& z, double& fu, double& fz)>;
  auto damaged = [](int nu, int nz, const Damage& damage) {
    std::string s;
    for (int b = 0; b < nz; ++b)
      for (int a = 0; a < nu; ++a) {
        double u = 0.5 * a, z = 1.0 * b, fu = 1.0, fz = 2.0;
        damage(a, b, u, z, fu, fz);
        s += fmt::format(" {} {} {} {}\n", u, z, fu, fz);
      }
    return s;
  };
  struct Case {
    const char* what;
    std::string text;
    std::string first, detail;
  } cases[] = {
      {"no key word", "table\nnr 3 nz 3\nEz\n" + grid(3, 3), " wrong string in 2D table", "2Dtable"},
      {"no nz", "2Dtable\nnr 3 nq 3\nEz\n" + grid(3, 3), " wrong string in 2D table", "nz"},
      {"nu below 3", "2Dtable\nnr 2 nz 3\nEz\n" + grid(2, 3), " wrong string in 2D table", "at least 3"},
      {"nz below 3", "2Dtable\nnr 3 nz 1\nEz\n" + grid(3, 1), " wrong string in 2D table", "at least 3"},
      {"heading without a field", "2Dtable\nnr 3 nz 3\nr z Er\n" + grid(3, 3), " wrong string in 2D table",
       "Ez, Hz or Bz"},
      {"zero spacing", "2Dtable\nnr 3 nz 3\nEz\n" + grid(3, 3, 0.0), " wrong string in 2D table", "positive"},
      {"too few data lines", "2Dtable\nnr 3 nz 3\nEz\n" + grid(3, 2),
       " number of the data string in 2D table  .ne. Nr*Nz", "6 data lines"},
      {"bad data line", "2Dtable\nnr 3 nz 3\nEz\n 0 0 x 1\n" + grid(3, 3), "", "line 4"},
      {"over capacity", "2Dtable\nnr 1001 nz 3\nEz\n", " wrong string in 2D table", "capacity"},
      {"over the values of both", "2Dtable\nnr 400 nz 200\nEz\n", " wrong string in 2D table", "capacity"},
      // The node counts must match the data lines and the nodes a grid.
      {"Nz = 40 over 41 rows", "2Dtable\nnr 3 nz 40\nEz\n" + grid(3, 41), " wrong string in 2D table",
       "line 124: a data line after the 3 x 40 = 120 nodes"},
      {"nr 3 over rows of 4", "2Dtable\nnr 3 nz 3\nEz\n" + grid(4, 3), " wrong string in 2D table",
       "line 7: column 1, u = 1.5 cm where row 2 repeats node 1 of the first row, 0 cm (line 4)"},
      {"moved r node in the first row",
       "2Dtable\nnr 3 nz 3\nEz\n" + damaged(3, 3, [](int a, int b, double& u, double&, double&, double&) {
         if (a == 1 && b == 0) u = 0.6;
       }),
       " wrong string in 2D table", "line 6: column 1, u node 3 = 1 cm should lie at 1.2 cm"},
      {"moved r node in a later row",
       "2Dtable\nnr 3 nz 3\nEz\n" + damaged(3, 3, [](int a, int b, double& u, double&, double&, double&) {
         if (a == 1 && b == 2) u = 0.6;
       }),
       " wrong string in 2D table", "line 11: column 1, u = 0.6 cm where row 3 repeats node 2"},
      {"z changes within a row",
       "2Dtable\nnr 3 nz 3\nEz\n" + damaged(3, 3, [](int a, int b, double&, double& z, double&, double&) {
         if (a == 2 && b == 1) z = 1.5;
       }),
       " wrong string in 2D table", "line 9: column 2, z = 1.5 cm within row 2, which began with z = 1 cm"},
      {"z rows unequally spaced",
       "2Dtable\nnr 3 nz 4\nEz\n" + damaged(3, 4, [](int, int b, double&, double& z, double&, double&) {
         if (b == 2) z = 2.5;
       }),
       " wrong string in 2D table", "line 10: column 2, z node 3 = 2.5 cm should lie at 2 cm"},
      {"r grid scaled by 1e-200",
       "2Dtable\nnr 3 nz 3\nEz\n" + damaged(3, 3, [](int, int, double& u, double&, double&, double&) {
         u *= 1e-200;
       }),
       " wrong string in 2D table", "u node 2 = 5e-201 cm does not exceed node 1 = 0 cm by the least spacing"},
      {"z grid scaled by 1e200",
       "2Dtable\nnr 3 nz 3\nEz\n" + damaged(3, 3, [](int, int, double&, double& z, double&, double&) {
         z *= 1e200;
       }),
       " wrong string in 2D table", "line 7: column 2, z node 2 = 1e+200 cm is not a finite coordinate"},
      {"1e300 longitudinal field off the axis",
       "2Dtable\nnr 3 nz 3\nEz\n" + damaged(3, 3, [](int a, int b, double&, double&, double&, double& fz) {
         if (a == 2 && b == 2) fz = 1e300;
       }),
       " wrong string in 2D table", "line 12: column 4, the longitudinal field 1e+300 is beyond +-1e+15"},
      {"NaN as a field", "2Dtable\nnr 3 nz 3\nEz\n 0 0 nan 1\n" + grid(3, 3), "", "line 4"},
  };
  for (const auto& c : cases) {
    TableRun run;
    testing::write_file(run.path("eh_EMS.#06"), c.text);
    std::vector<std::string> lines;
    try {
      read_2Dtable(*run, 6, 1);
    } catch (const FatalStop& s) {
      lines = s.lines();
    }
    ASSERT_FALSE(lines.empty()) << c.what;
    if (!c.first.empty()) {
      EXPECT_EQ(lines.front(), c.first) << c.what;
    }
    std::string all;
    for (const auto& l : lines) all += l + "|";
    EXPECT_NE(all.find(c.detail), std::string::npos) << c.what << ": " << all;
    EXPECT_NE(all.find("eh_EMS.#06"), std::string::npos) << c.what << ": " << all;
  }
  // The second slot must fit beside the first.
  TableRun run;
  testing::write_file(run.path("eh_EMS.#07"), "2Dtable\nnr 300 nz 200\nEz\n" + grid(300, 200));
  read_2Dtable(*run, 7, 1);
  const std::string msg = fatal_text([&] { read_2Dtable(*run, 7, 2); });
  EXPECT_NE(msg.find("second 2-D table needs 120000 values"), std::string::npos) << msg;
}

}  // namespace
}  // namespace linac
