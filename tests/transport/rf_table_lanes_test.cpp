// The four-lane field of the RF table source against one point at a time,
// and the lockstep push through it (baseline and AVX2 builds) against the
// push of one particle at a time: every value bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "run/sim.hpp"
#include "transport/lane_test_support.hpp"
#include "table_fixture.hpp"
#include "transport/push_z.hpp"
#include "transport/table_fields.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

using testing::same_bits;

// Tables whose every component is a different quadratic: whole (E+B), with
// the three mirror planes (every sign rule acts), and electric only.
struct RfTables {
  Table3D whole = build_table3d(table_layout(2.0, 2.0, 2.0, {0, 0, 0}), kKindEB, testing::quadratic_field());
  Table3D mirrored = build_table3d(table_layout(2.0, 2.0, 2.0, {1, 1, 1}), kKindEB, testing::quadratic_field());
  Table3D electric = build_table3d(table_layout(2.0, 2.0, 2.0, {1, 1, 1}), kKindE, testing::quadratic_field());
};

// Lanes against points at the middle, in every mirrored octant, exactly at
// both z edges of the table (dz = +-2) and just beyond them, on and beyond
// the aperture inside the table's z range (lost) and beyond it outside the
// z range (kept, no field), in inactive lanes, with a negative amplitude
// (signs of zero) and phases of both signs.
TEST(RfTableLanes, LanesEqualOnePointAtATime) {
  const RfTables tables;
  struct Case {
    const char* what;
    double x[4], y[4], z[4], t[4];
    bool active[4];
  } cases[] = {
      {"octants", {0.3, -0.9, -0.4, 1.1}, {-0.2, 0.4, -1.0, 0.6}, {5.1, 3.7, 4.5, 6.2}, {0.0, 1.3, -2.1, 40.7}, {true, true, true, true}},
      {"z edges", {0.5, -0.5, 0.2, -0.1}, {0.1, -0.3, 0.0, 0.2}, {3.0, 7.0, 2.999, 7.0001}, {0.4, 0.4, -0.4, 3.0}, {true, true, true, true}},
      {"aperture", {1.5, 1.2, 2.0, 0.3}, {0.0, 0.9, 0.0, 0.3}, {4.0, 6.0, 1.0, 5.0}, {0.2, 0.3, 0.4, 0.5}, {true, true, true, false}},
      {"inactive", {0.1, 0.2, -0.3, 0.4}, {0.1, -0.2, 0.3, 0.4}, {5.0, 5.5, 4.5, 6.5}, {1.0, 2.0, 3.0, 4.0}, {false, true, false, true}},
  };
  for (const Table3D* table : {&tables.whole, &tables.mirrored, &tables.electric}) {
    for (const double amp : {0.8, -1.7}) {
      const RfTableSource rf{table, 10.0, 1.5, amp, 0.3};
      for (const auto& c : cases) {
        double E[3][4], B[3][4];
        bool inside[4];
        rf.element_field_lanes<4>(c.x, c.y, c.z, c.t, c.active, E, B, inside);
        for (int l = 0; l < 4; ++l) {
          if (!c.active[l]) {
            EXPECT_FALSE(inside[l]) << c.what << " lane " << l;
            for (int k = 0; k < 3; ++k) EXPECT_TRUE(E[k][l] == 0.0 && B[k][l] == 0.0) << c.what;
            continue;
          }
          Vec3 e{0.0, 0.0, 0.0}, b{0.0, 0.0, 0.0};
          const bool in = rf.element_field(c.x[l], c.y[l], c.z[l], c.t[l], e, b);
          EXPECT_EQ(inside[l], in) << c.what << " lane " << l;
          for (int k = 0; k < 3; ++k) {
            EXPECT_TRUE(same_bits(E[k][l], e[k])) << c.what << " amp " << amp << " lane " << l << " E" << k;
            EXPECT_TRUE(same_bits(B[k][l], b[k])) << c.what << " amp " << amp << " lane " << l << " B" << k;
          }
        }
      }
    }
  }
}

// One charge state of 203 particles spread over the aperture and beyond,
// two with unusable states, starting at z = 3 cm.
void fill(Sim& s, int n) { testing::fill_spread_state(s, n, 1.9, 1.1, 3.0, 3.0); }

// Four steps of 0.85 cm through the gap: (a) lanes of four, baseline build,
// with kept end-of-step derivatives, (b) the same in the AVX2 build, (c)
// one particle at a time through FieldAt::operator(). L = 10 cm starts the
// beam on the table's z edge, L = 12 cm before it (stages outside, then
// inside). Every state, loss verdict and kept derivative agrees.
TEST(RfTableLanes, LockstepPushEqualsSinglePushes) {
  const RfTables tables;
  const bool avx2 = cpu_has_avx2();
  const int n = 203;
  const double h = 0.85;
  for (const Table3D* table : {&tables.whole, &tables.mirrored, &tables.electric}) {
    for (const double L : {10.0, 12.0}) {
      // Fields of 30 kV/cm and 300 G at unit amplitude: visible kicks.
      const FieldAt<RfTableSource> field{{table, L, 1.8, 3e4, 0.7}};
      auto a = make_sim();
      auto b = make_sim();
      auto c = make_sim();
      for (Sim* s : {a.get(), b.get(), c.get()}) fill(*s, n);
      const SlotView va = slot_view(*a, 1), vb = slot_view(*b, 1), vc = slot_view(*c, 1);
      std::vector<double> ka(6 * n), kb(6 * n);
      std::vector<std::uint8_t> valid_a(n, 0), valid_b(n, 0);
      std::vector<char> lost_c(n, 0);
      int lost_count = 0;
      for (int step = 0; step < 4; ++step) {
        for (int i0 = 0; i0 < n; i0 += 4) {
          int slots[4] = {};
          int count = 0;
          for (int i = i0; i < std::min(i0 + 4, n); ++i)
            if (step == 0 || valid_a[i] != 0) slots[count++] = i;
          if (count == 0) continue;
          bool lost_a[4], lost_b[4];
          push_lanes_z<4>(field, va, slots, count, h, 12.0, lost_a, {ka.data(), valid_a.data()});
          if (avx2)
            push_lanes_z_avx2<4>(field, vb, slots, count, h, 12.0, lost_b, {kb.data(), valid_b.data()});
          for (int l = 0; l < count; ++l) {
            const int i = slots[l];
            const bool lc = push_slot_z(field, vc, i, h, 12.0);
            EXPECT_EQ(lost_a[l], lc) << "slot " << i << " step " << step;
            if (avx2) {
              EXPECT_EQ(lost_a[l], lost_b[l]) << "slot " << i << " step " << step;
            }
            if (lost_a[l]) valid_a[i] = 0, valid_b[i] = 0;
            lost_count += lost_a[l];
          }
        }
      }
      EXPECT_GE(lost_count, 20) << "L " << L;
      const ParticleArrays& pa = a->particles;
      const ParticleArrays& pb = b->particles;
      const ParticleArrays& pc = c->particles;
      for (int i = 0; i < n; ++i) {
        const auto sa = testing::slot_state(pa, i);
        const auto sb = testing::slot_state(pb, i);
        const auto sc = testing::slot_state(pc, i);
        for (int j = 0; j < 7; ++j) {
          EXPECT_TRUE(same_bits(sa[j], sc[j])) << "L " << L << " slot " << i << " value " << j;
          if (avx2) {
            EXPECT_TRUE(same_bits(sa[j], sb[j])) << "L " << L << " slot " << i << " value " << j;
          }
        }
      }
      if (avx2)
        for (int j = 0; j < 6 * n; ++j)
          if (valid_a[j / 6] != 0) {
            EXPECT_TRUE(same_bits(ka[j], kb[j])) << "kept " << j;
          }
    }
  }
}

}  // namespace
}  // namespace linac
