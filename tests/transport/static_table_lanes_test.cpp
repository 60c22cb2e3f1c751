// The four-lane evaluation of the static 3-D table field against one point
// at a time, bit for bit: a quarter table of an electric quadrupole (the
// four quadrants, mirrored signs), a full E and B table, a B table of a
// solenoid mirrored in x, y and z, at the table edges and the far corner,
// outside the grid, outside the aperture and the z range, with a phase
// dependent scale; then the lockstep push in such fields against the push
// of one particle at a time, and its AVX2 build against the baseline.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "run/sim.hpp"
#include "transport/lane_test_support.hpp"
#include "transport/push_z.hpp"
#include "transport/stepping.hpp"
#include "transport/table_fields.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::same_bits;

// A field with no symmetry and no polynomial form, so that every node of a
// stencil, every component and every mirror sign shows in the result.
void rough_field(double x, double y, double dz, Vec3& E, Vec3& B) {
  E = {std::sin(1.3 * x + 0.4 * y) + 0.1 * dz, std::cos(0.7 * y - 0.2 * dz) * x,
       std::exp(-0.1 * dz * dz) * (1.0 + 0.3 * x * y)};
  B = {50.0 * std::sin(0.9 * dz + y), -20.0 * x * std::cos(dz), 80.0 + 5.0 * x - 3.0 * y * dz};
}

struct Points {
  const char* what;
  double x[4], y[4], z[4], t[4];
  bool active[4];
};

// The element is L = 10 cm long with the table centred on it (z from -5 to
// 5 cm from the middle), x and y to +-3.5 cm.
const Points kPoints[] = {
    {"four quadrants", {0.7, -1.3, -2.1, 1.9}, {0.4, 0.8, -1.7, -0.2}, {1.3, 4.9, 6.2, 9.1}, {0.3, -2.0, 4.0, 7.5}, {true, true, true, true}},
    {"axis, signed zeros", {0.0, -0.0, 0.0, -0.0}, {-0.0, 0.0, 0.0, -0.0}, {5.0, 5.0, 2.0, 8.0}, {0.0, 1.0, 2.0, 3.0}, {true, true, true, true}},
    {"far corner and edges", {3.5, -3.5, 3.5, -3.5}, {3.5, -3.5, -3.5, 3.5}, {10.0, 0.0, 0.0, 10.0}, {1.0, 1.0, 1.0, 1.0}, {true, true, true, true}},
    {"grid edge cells", {3.45, -3.49, 0.01, -0.02}, {-3.44, 3.47, 3.499, -3.499}, {9.97, 0.02, 5.001, 4.999}, {0.5, 0.5, 0.5, 0.5}, {true, true, true, true}},
    {"beyond the grid", {4.0, -4.3, 0.5, 0.5}, {0.2, 0.2, 4.1, -4.4}, {3.0, 7.0, 1.0, 9.0}, {0.5, 0.5, 0.5, 0.5}, {true, true, true, true}},
    {"outside z", {0.5, 9.0, -0.5, 9.0}, {0.5, 9.0, 0.5, -9.0}, {-0.01, -1.0, 10.01, 12.0}, {0.5, 0.5, 0.5, 0.5}, {true, true, true, true}},
    {"inactive lanes", {0.5, 1e300, 0.3, 0.0}, {0.5, 0.0, -0.3, 0.0}, {2.0, 3.0, 7.0, 0.0}, {0.5, 0.5, 0.5, 0.5}, {true, false, true, false}},
    {"lost", {3.1, -2.9, 2.0, -2.5}, {0.1, -2.0, 3.2, 2.5}, {0.0, 10.0, 5.0, 3.0}, {0.5, 0.5, 0.5, 0.5}, {true, true, true, true}},
};

// Evaluates `source` on four lanes and point by point for every set of
// points; active lanes must agree bit for bit (field and verdict), inactive
// lanes are not inside.
void expect_lanes_equal_points(const StaticTableSource& source, const char* what) {
  for (const Points& p : kPoints) {
    double E[3][4], B[3][4];
    bool inside[4];
    source.element_field_lanes<4>(p.x, p.y, p.z, p.t, p.active, E, B, inside);
    for (int l = 0; l < 4; ++l) {
      if (!p.active[l]) {
        EXPECT_FALSE(inside[l]) << what << ", " << p.what << " lane " << l;
        continue;
      }
      Vec3 e{0.0, 0.0, 0.0}, b{0.0, 0.0, 0.0};
      const bool in = source.element_field(p.x[l], p.y[l], p.z[l], p.t[l], e, b);
      EXPECT_EQ(inside[l], in) << what << ", " << p.what << " lane " << l;
      for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(same_bits(E[k][l], e[k]))
            << what << ", " << p.what << " lane " << l << " E" << k << ": " << E[k][l] << " " << e[k];
        EXPECT_TRUE(same_bits(B[k][l], b[k]))
            << what << ", " << p.what << " lane " << l << " B" << k << ": " << B[k][l] << " " << b[k];
      }
    }
  }
}

StaticTableSource make_source(const Table3D& t, int kind, int sym_class, double aper_y) {
  StaticTableSource s;
  s.table = &t;
  s.geom.L = 10.0;
  s.geom.aper_x = 3.0;
  s.geom.aper_y = aper_y;
  s.geom.kind = kind;
  s.geom.mirror = static_mirror_rules(kind, sym_class);
  s.escale = -1.7;  // negative: the signs of zero must follow
  s.bscale = 0.6;
  return s;
}

TEST(StaticTableLanes, QuarterElectricTableEqualsOnePointAtATime) {
  // Quarter table of x >= 0, y >= 0 with quadrupole mirror signs; the
  // rectangular aperture of eq3d, an ellipse and none.
  const Table3D t = build_table3d(table_layout(3.5, 3.5, 5.0, {1, 1, 0}), kKindE, rough_field);
  for (const double aper_y : {3.0, -2.8, 0.0}) {
    StaticTableSource s = make_source(t, kKindE, 2, aper_y);
    expect_lanes_equal_points(s, "quarter E table");
    // The deflector class mirrors other components.
    s.geom.mirror = static_mirror_rules(kKindE, 1);
    expect_lanes_equal_points(s, "quarter E table, deflector signs");
  }
}

TEST(StaticTableLanes, FullTablesEqualOnePointAtATime) {
  // A full E and B table read as both fields (eh3d), as E only and as B
  // only (the B run reaches into the next node), and with the phase
  // dependent scale of uds.
  const Table3D full = build_table3d(table_layout(3.5, 3.5, 5.0, {0, 0, 0}), kKindEB, rough_field);
  for (const double aper_y : {3.0, -3.2}) {
    StaticTableSource s = make_source(full, kKindEB, 0, aper_y);
    expect_lanes_equal_points(s, "E and B table");
    s.geom.kind = kKindE;
    expect_lanes_equal_points(s, "E and B table read as E");
    s.geom.kind = kKindB;
    expect_lanes_equal_points(s, "E and B table read as B");
    s.geom.kind = kKindEB;
    s.cos_t = true;
    expect_lanes_equal_points(s, "E and B table, E times cos t");
  }
  // A B table of a solenoid mirrored on all three axes (sol3d).
  const Table3D sol = build_table3d(table_layout(3.5, 3.5, 5.0, {1, 1, 1}), kKindB, rough_field);
  expect_lanes_equal_points(make_source(sol, kKindB, 0, -3.0), "eighth B table");
  // An E table asked for B gives none, and a B table asked for E.
  const Table3D e_only = build_table3d(table_layout(3.5, 3.5, 5.0, {0, 0, 0}), kKindE, rough_field);
  StaticTableSource none = make_source(e_only, kKindB, 0, 3.0);
  expect_lanes_equal_points(none, "E table read as B");
  none.table = &sol;
  none.geom.kind = kKindE;
  expect_lanes_equal_points(none, "B table read as E");
}

// One charge state of n particles over the quadrants, some beyond the
// aperture, two with unusable states, at z = 0.3 cm of the element.
void fill(Sim& s, int n) { testing::fill_spread_state(s, n, 3.2, 2.9, 3.0, 0.3); }

// Five steps of h = 2.1 cm through the element (the last ends beyond it) of
// sim a one particle at a time (push_slot_z) and of b in lanes of four
// (the baseline build of push_lanes_z, or its AVX2 build), every state and
// loss verdict compared bit for bit; at least min_lost particles are lost.
template <class Field>
void expect_lanes_push_equal(const Field& field, bool avx2, int min_lost, const char* what) {
  const int n = 203;
  auto a = make_sim();
  auto b = make_sim();
  fill(*a, n);
  fill(*b, n);
  const SlotView va = slot_view(*a, 1);
  const SlotView vb = slot_view(*b, 1);
  std::vector<double> kb(6 * n);
  std::vector<std::uint8_t> valid_b(n, 0);
  const FirstStageCache cb{kb.data(), valid_b.data()};
  std::vector<bool> gone(n, false);
  const double h = 2.1;
  int lost_count = 0;
  for (int step = 0; step < 5; ++step)
    for (int i0 = 0; i0 < n; i0 += 4) {
      int slots[4] = {};
      int count = 0;
      for (int i = i0; i < std::min(i0 + 4, n); ++i)
        if (!gone[i]) slots[count++] = i;
      if (count == 0) continue;
      bool lost[4];
      if (avx2)
        push_lanes_z_avx2<4>(field, vb, slots, count, h, 12.0, lost, cb);
      else
        push_lanes_z<4>(field, vb, slots, count, h, 12.0, lost, cb);
      for (int l = 0; l < count; ++l) {
        const bool lost_a = push_slot_z(field, va, slots[l], h, 12.0);
        EXPECT_EQ(lost[l], lost_a) << what << " step " << step << " slot " << slots[l];
        gone[slots[l]] = lost[l];
        lost_count += lost[l];
      }
    }
  EXPECT_GE(lost_count, min_lost) << what;
  testing::expect_same_slot_states(a->particles, b->particles, n, what);
}

// Strong fields (kV/cm, kG) so that the particles move across the table
// cells within a step and over the aperture edge.
void strong_field(double x, double y, double dz, Vec3& E, Vec3& B) {
  rough_field(x, y, dz, E, B);
  for (int c = 0; c < 3; ++c) {
    E[c] = 3e4 * E[c];
    B[c] = 40.0 * B[c];
  }
}

TEST(StaticTableLanes, LockstepPushEqualsOneParticleAtATime) {
  const Table3D quarter = build_table3d(table_layout(3.5, 3.5, 5.0, {1, 1, 0}), kKindE, strong_field);
  const Table3D full = build_table3d(table_layout(3.5, 3.5, 5.0, {0, 0, 0}), kKindEB, strong_field);
  const FieldAt<StaticTableSource> eq3d{make_source(quarter, kKindE, 2, 3.0)};
  const FieldAt<StaticTableSource> eh3d{make_source(full, kKindEB, 0, 3.0)};
  FieldAt<StaticTableSource> uds{make_source(full, kKindEB, 0, -3.0)};
  uds.source.cos_t = true;
  const bool builds[] = {false, true};
  for (const bool avx2 : builds) {
    if (avx2 && !cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
    expect_lanes_push_equal(eq3d, avx2, 20, avx2 ? "eq3d, AVX2" : "eq3d");
    expect_lanes_push_equal(eh3d, avx2, 20, avx2 ? "eh3d, AVX2" : "eh3d");
    expect_lanes_push_equal(uds, avx2, 20, avx2 ? "uds, AVX2" : "uds");
  }
}

// All steps of an element tile by tile (push_states_steps) against one step
// of every particle at a time (push_charge_state, nstep times), with the
// losses of each step taken out as record_step_losses does: the same states
// bit for bit and the same losses with the same steps, for two charge
// states (of different Q/A and spread, so they lose different particles in
// different steps) large enough to be pushed by a thread team whose tiles
// mix the states, with particles lost before and during the element.
TEST(StaticTableLanes, StepsTileByTileEqualStepByStep) {
  const Table3D full = build_table3d(table_layout(3.5, 3.5, 5.0, {0, 0, 0}), kKindEB, strong_field);
  const FieldAt<StaticTableSource> field{make_source(full, kKindEB, 0, -3.0)};
  const int n = 3001;
  const int nstep = 6;
  const double h = 10.0 / nstep;
  auto a = make_sim();
  auto b = make_sim();
  for (Sim* s : {a.get(), b.get()}) {
    fill(*s, n);
    ParticleArrays& p = s->particles;
    for (int i = 0; i < n; ++i) {
      p.z[1][i] = 0.0;
      p.status[1][i] = i % 97 == 5 ? -1 : 0;
      // State 2: the same particles 10 % wider, Q/A 1.5 times larger.
      p.x[2][i] = 1.1 * p.x[1][i];
      p.xp[2][i] = p.xp[1][i];
      p.y[2][i] = 1.1 * p.y[1][i];
      p.yp[2][i] = p.yp[1][i];
      p.phase[2][i] = p.phase[1][i];
      p.beta[2][i] = p.beta[1][i];
      p.qa[2][i] = 1.5 * p.qa[1][i];
      p.z[2][i] = 0.0;
      p.status[2][i] = i % 89 == 3 ? -1 : 0;
    }
    s->config.NQTOT = 2;
    s->config.NPAT[1] = n - 1;
    s->config.NPAT[2] = n - 1;
    s->npat.ntest[1] = 0;
    s->npat.ntest[2] = 0;
    s->ref.wavelength_2pi = 12.0;
  }
  std::vector<std::int64_t> expected[3];
  for (int k = 1; k <= nstep; ++k)
    for (int iq = 1; iq <= 2; ++iq) {
      push_charge_state(*a, field, iq, h);
      for (const std::int32_t i : a->transport.step_losses) {
        expected[iq].push_back((static_cast<std::int64_t>(k) << 32) + i);
        a->particles.status[iq][i] = -1;
      }
    }
  std::vector<double> k_kept[3] = {{}, std::vector<double>(6 * n), std::vector<double>(6 * n)};
  std::vector<std::uint8_t> valid[3] = {{}, std::vector<std::uint8_t>(n, 0), std::vector<std::uint8_t>(n, 0)};
  const FirstStageCache cache[3] = {
      {}, {k_kept[1].data(), valid[1].data()}, {k_kept[2].data(), valid[2].data()}};
  push_states_steps(*b, field, 1, 2, h, nstep, cache);
  for (int iq = 1; iq <= 2; ++iq) {
    const std::string what = "state " + std::to_string(iq);
    EXPECT_EQ(b->transport.state_step_losses[iq], expected[iq]) << what;
    std::vector<int> lost_in_step(nstep + 1, 0);
    for (const std::int64_t e : expected[iq]) ++lost_in_step[static_cast<std::size_t>(e >> 32)];
    EXPECT_GT(lost_in_step[1], 0) << what;
    EXPECT_GT(lost_in_step[nstep], 0) << what;
    testing::expect_same_slot_states(a->particles, b->particles, n, what, iq);
  }
  EXPECT_NE(expected[1], expected[2]);
}

}  // namespace
}  // namespace linac
