// Interpolation in 3-D tables: exactness on quadratic fields, the mirror
// rules of every symmetry class against full tables, and the aperture and
// z-range edges of the static and RF table routines.
#include <gtest/gtest.h>

#include <random>

#include "table_fixture.hpp"
#include "transport/field_tables.hpp"
#include "transport/table_fields.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::quadratic_field;

void expect_close(const Vec3& got, const Vec3& want, double rel, const std::string& what) {
  for (int c = 0; c < 3; ++c)
    EXPECT_NEAR(got[c], want[c], rel * (1.0 + std::abs(want[c]))) << what << " component " << c;
}

TEST(TableInterp3D, NodesExactAndQuadraticsReproducedEverywhere) {
  const Table3DLayout l = table_layout(2.0, 1.5, 10.0, {0, 0, 0});
  const Table3D t = build_table3d(l, kKindEB, quadratic_field());
  const FieldFunction f = quadratic_field();
  // Node values exactly (the first and last nodes are reached from the
  // stencil of their neighbour, with offset +-1, and are covered below).
  for (int k : {1, 57, 199})
    for (int j : {1, 12, 23})
      for (int i : {1, 2, 23}) {
        Vec3 E, B, Ew, Bw;
        table_interp3d(t, kKindEB, l.x[i], l.y[j], l.z[k], E, B);
        f(l.x[i], l.y[j], l.z[k], Ew, Bw);
        EXPECT_EQ(E, Ew);
        EXPECT_EQ(B, Bw);
      }
  // Random points inside, at the clamped edge cells and outside the grid,
  // to 1e-12 of the table's field scale (its largest node value). Further
  // outside the weights grow as the square of the distance in node spacings,
  // and the rounding of the node values with them.
  double scale = 0.0;
  for (double v : t.nodes) scale = std::max(scale, std::abs(v));
  std::mt19937_64 rng(7);
  struct Region {
    const char* what;
    double lo, hi;  // fraction of the half width
  } regions[] = {{"inside", -0.9, 0.9}, {"edge cells", 0.93, 1.0}, {"outside, up to 5 spacings", 1.0, 1.05}};
  for (const auto& reg : regions) {
    std::uniform_real_distribution<double> u(reg.lo, reg.hi);
    for (int n = 0; n < 200; ++n) {
      const double sx = (n & 1) ? 1.0 : -1.0, sy = (n & 2) ? 1.0 : -1.0, sz = (n & 4) ? 1.0 : -1.0;
      const double x = sx * 2.0 * u(rng), y = sy * 1.5 * u(rng), z = sz * 10.0 * u(rng);
      for (int kind : {kKindE, kKindB, kKindEB}) {
        Vec3 E{9, 9, 9}, B{9, 9, 9}, Ew, Bw;
        table_interp3d(t, kind, x, y, z, E, B);
        f(x, y, z, Ew, Bw);
        for (int c = 0; c < 3; ++c) {
          if (kind != kKindB) {
            EXPECT_NEAR(E[c], Ew[c], 1e-12 * scale) << reg.what << " E" << c;
          }
          if (kind != kKindE) {
            EXPECT_NEAR(B[c], Bw[c], 1e-12 * scale) << reg.what << " B" << c;
          }
        }
        // Only the components of the kind are written.
        if (kind == kKindE) {
          EXPECT_EQ(B, (Vec3{9, 9, 9}));
        }
        if (kind == kKindB) {
          EXPECT_EQ(E, (Vec3{9, 9, 9}));
        }
      }
    }
  }
}

// Parity of each component (Ex, Ey, Ez, Bx, By, Bz) of a symmetry class:
// odd[c][axis] is true when the component changes sign with that
// coordinate (x, y, dz). From the potentials: class 0/2 even in x, y, z;
// class 1 odd in y; class 3 odd in x; a solenoid's B; an RF mode with Ez
// odd about the middle and B circling the axis.
struct ParityClass {
  const char* what;
  int kind, sym;  // table_kind, table_sym; sym -9 marks the RF rules
  bool odd[6][3];
};
const ParityClass kClasses[] = {
    {"lens (0,0)", 0, 0, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {}, {}, {}}},
    {"deflector (0,1)", 0, 1, {{1, 1, 0}, {0, 0, 0}, {0, 1, 1}, {}, {}, {}}},
    {"quadrupole (0,2)", 0, 2, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {}, {}, {}}},
    {"hexapole (0,3)", 0, 3, {{0, 0, 0}, {1, 1, 0}, {1, 0, 1}, {}, {}, {}}},
    {"solenoid (1,0)", 1, 0, {{}, {}, {}, {1, 0, 1}, {0, 1, 1}, {0, 0, 0}}},
    {"RF", 2, -9, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 1, 1}, {1, 0, 1}, {1, 1, 0}}},
};

// A quadratic of (x, y, dz) per component holding only the monomials of
// the component's parity.
FieldFunction parity_field(const ParityClass& pc) {
  return [pc](double x, double y, double z, Vec3& E, Vec3& B) {
    const double v[3] = {x, y, z};
    for (int c = 0; c < 6; ++c) {
      double sum = 0.0;
      int term = 0;
      for (int i = 0; i <= 2; ++i)
        for (int j = 0; j <= 2 - i; ++j)
          for (int k = 0; k <= 2 - i - j; ++k) {
            ++term;
            if (i % 2 != pc.odd[c][0] || j % 2 != pc.odd[c][1] || k % 2 != pc.odd[c][2]) continue;
            sum += (0.3 + 0.17 * term + 0.05 * c) * std::pow(v[0], i) * std::pow(v[1], j) * std::pow(v[2], k);
          }
      (c < 3 ? E[c] : B[c - 3]) = sum;
    }
  };
}

// The field of a table at (x, y, z) of the element frame by the routine of
// the class (static or RF) with the given rules.
void evaluate(const Table3D& t, const ParityClass& pc, int rule_sym, double x, double y, double z,
              Vec3& E, Vec3& B) {
  const double L = 30.0;
  if (pc.sym == -9) {
    rf_table_field(t, L, 100.0, x, y, z, E, B);
    return;
  }
  StaticTableGeometry g;
  g.L = L;
  g.kind = pc.kind;
  g.mirror = static_mirror_rules(pc.kind, rule_sym);
  field_table_a(t, g, x, y, z, E, B);
}

TEST(TableMirrors, HalfQuarterAndOctantTablesEqualTheFullTable) {
  const std::array<std::int32_t, 3> flags[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}, {1, 1, 1}};
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(0.05, 0.95);
  for (const auto& pc : kClasses) {
    const int comps = pc.kind;
    const FieldFunction f = parity_field(pc);
    const Table3D full = build_table3d(table_layout(2.0, 2.0, 10.0, {0, 0, 0}), comps, f);
    for (const auto& fl : flags) {
      const Table3D part = build_table3d(table_layout(2.0, 2.0, 10.0, fl), comps, f);
      const std::string what = std::string(pc.what) + " flags " + std::to_string(fl[0]) +
                               std::to_string(fl[1]) + std::to_string(fl[2]);
      for (int octant = 0; octant < 8; ++octant) {
        const double x = ((octant & 1) ? -1.0 : 1.0) * 2.0 * u(rng);
        const double y = ((octant & 2) ? -1.0 : 1.0) * 2.0 * u(rng);
        const double z = 15.0 + ((octant & 4) ? -1.0 : 1.0) * 10.0 * u(rng);
        Vec3 Ef, Bf, Ep, Bp;
        evaluate(full, pc, pc.sym, x, y, z, Ef, Bf);
        evaluate(part, pc, pc.sym, x, y, z, Ep, Bp);
        expect_close(Ep, Ef, 1e-12, what);
        expect_close(Bp, Bf, 1e-12, what);
      }
    }
  }
  // The rules of another class give the mirrored half the wrong signs.
  const struct {
    int cls, wrong_sym;
  } swaps[] = {{0, 1}, {1, 0}, {3, 1}, {1, 3}};
  for (const auto& s : swaps) {
    const ParityClass& pc = kClasses[s.cls];
    const FieldFunction f = parity_field(pc);
    const Table3D full = build_table3d(table_layout(2.0, 2.0, 10.0, {0, 0, 0}), pc.kind, f);
    const Table3D part = build_table3d(table_layout(2.0, 2.0, 10.0, {1, 1, 1}), pc.kind, f);
    double worst = 0.0;
    for (int octant = 1; octant < 8; ++octant) {
      const double x = ((octant & 1) ? -0.7 : 0.7), y = ((octant & 2) ? -0.9 : 0.9), z = 15.0 + ((octant & 4) ? -3.0 : 3.0);
      Vec3 Ef, Bf, Ep, Bp;
      evaluate(full, pc, pc.sym, x, y, z, Ef, Bf);
      evaluate(part, pc, s.wrong_sym, x, y, z, Ep, Bp);
      for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(Ep[c] - Ef[c]));
    }
    EXPECT_GT(worst, 0.1) << pc.what << " with the rules of class " << s.wrong_sym;
  }
}

TEST(TableApertures, StaticAndRfEdges) {
  const Table3D t = build_table3d(table_layout(2.0, 2.0, 5.0, {0, 0, 0}), kKindEB,
                                  analytic::uniform({1, 2, 3}, {4, 5, 6}));
  const double L = 20.0;  // table covers 5..15 cm of the element
  struct Case {
    const char* what;
    double aper_x, aper_y, x, y, z;
    TableHit hit;
    bool field;
  } cases[] = {
      {"ellipse lost", 1.0, -1.0, 0.8, 0.7, 10.0, TableHit::lost, false},
      {"ellipse inside", 1.0, -1.0, 0.7, 0.7, 10.0, TableHit::inside, true},
      {"ellipse boundary lost", 1.0, -0.5, 0.6, 0.4, 10.0, TableHit::lost, false},
      {"rectangle edge inside", 1.0, 1.0, 1.0, 0.0, 10.0, TableHit::inside, true},
      {"rectangle just outside", 1.0, 1.0, 1.0000001, 0.0, 10.0, TableHit::lost, false},
      {"no aperture", 1.0, 0.0, 1.9, -1.9, 10.0, TableHit::inside, true},
      {"beyond the exit", 1.0, 1.0, 5.0, 0.0, 20.0000001, TableHit::outside, false},
      {"before the entrance", 1.0, 1.0, 5.0, 0.0, -1e-9, TableHit::outside, false},
      {"in the element, beyond the table", 1.0, 1.0, 0.1, 0.0, 15.5, TableHit::inside, false},
      {"table end", 1.0, 1.0, 0.1, 0.0, 15.0, TableHit::inside, true},
  };
  for (const auto& c : cases) {
    StaticTableGeometry g;
    g.L = L;
    g.aper_x = c.aper_x;
    g.aper_y = c.aper_y;
    g.kind = kKindEB;
    Vec3 E, B;
    EXPECT_EQ(field_table_a(t, g, c.x, c.y, c.z, E, B), c.hit) << c.what;
    EXPECT_NEAR(E[2], c.field ? 3.0 : 0.0, 1e-14) << c.what;
  }
  // RF: circular aperture, a point on the circle is lost; no test outside the table.
  Vec3 E, B;
  EXPECT_EQ(rf_table_field(t, L, 1.0, 0.6, 0.8, 10.0, E, B), TableHit::lost);
  EXPECT_EQ(E, (Vec3{0, 0, 0}));
  EXPECT_EQ(rf_table_field(t, L, 1.0, 0.6, 0.79, 10.0, E, B), TableHit::inside);
  EXPECT_NEAR(B[1], 5.0, 1e-14);
  EXPECT_EQ(rf_table_field(t, L, 1.0, 3.0, 0.0, 16.0, E, B), TableHit::outside);
}

TEST(TableSources, FieldAtScalesByElementType) {
  testing::TableRun run;
  Sim& s = *run;
  auto table = std::make_shared<const Table3D>(build_table3d(table_layout(2.0, 2.0, 5.0, {0, 0, 0}), kKindEB,
                                                             analytic::uniform({1, 2, 3}, {4, 5, 6})));
  s.field_tables.field3d = table;
  s.ref.elem_len = 10.0;
  s.ref.aper_x = s.ref.aper_y = 1000.0;
  s.ref.aperture_r = 2.0;
  s.ref.field1 = 2.0;
  s.ref.field2 = 3.0;
  s.ref.rf_amp = 0.5;
  s.ref.elem_phase = 0.0;
  s.state.table_kind = kKindEB;
  const double e = 100.0 / 299792458.0, b = 1e-4;
  struct Case {
    int itype;
    double t;
    double Ez, Bz;  // expected in V/cm and G before conversion
  } cases[] = {
      {15, 0.0, 9.0, 6.0},      {28, 0.0, 9.0, 6.0},        {11, 0.0, 9.0, 6.0},
      {18, 0.0, 3.0, 12.0},     {21, 0.0, 9.0, 12.0},       {25, 0.0, 9.0, 12.0},
      {22, kPi, -9.0, 6.0},     {6, 0.0, 1.5, 0.0},         {5, kPi / 2, 1.5 * std::cos(kPi / 2), 3.0},
  };
  for (const auto& c : cases) {
    s.state.itype = c.itype;
    Vec3 E, B;
    field_at(s, 0.1, 0.2, 5.0, c.t, E, B);
    EXPECT_NEAR(E[2], c.Ez * e, 1e-15) << c.itype;
    EXPECT_NEAR(B[2], c.Bz * b, 1e-15) << c.itype;
  }
  // The static table clears the loss flag inside the element, not beyond it.
  s.state.itype = 15;
  s.state.ilost = -1;
  Vec3 E, B;
  field_at(s, 0.1, 0.2, 10.5, 0.0, E, B);
  EXPECT_EQ(s.state.ilost, -1);
  field_at(s, 0.1, 0.2, 9.5, 0.0, E, B);
  EXPECT_EQ(s.state.ilost, 0);
  s.ref.aper_x = s.ref.aper_y = 0.05;
  field_at(s, 0.1, 0.2, 5.0, 0.0, E, B);
  EXPECT_EQ(s.state.ilost, -1);
}

}  // namespace
}  // namespace linac
