// The four-lane field evaluations of the solenoid table and the Enge lenses
// against one point at a time, and the AVX2 build of the lockstep push
// against the baseline build: every value bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "run/sim.hpp"
#include "transport/lane_test_support.hpp"
#include "transport/enge.hpp"
#include "transport/push_z.hpp"
#include "transport/stepping.hpp"
#include "transport/table_fields.hpp"

namespace linac {
namespace {

using testing::same_bits;

// An on-axis table of 9 rows over L = 8 cm with unrelated columns, so that
// every column and both rows of an interval enter the field.
AxisTable test_axis_table() {
  AxisTable t;
  t.L = 8.0;
  t.nbz = 9;
  for (std::size_t k = 0; k < 5; ++k) {
    t.col[k].resize(9);
    for (std::size_t i = 0; i < 9; ++i)
      t.col[k][i] = std::sin(1.3 * static_cast<double>(i) + 0.7 * static_cast<double>(k)) * (k + 1);
  }
  return t;
}

// Evaluates `source` on four lanes and point by point; active lanes must
// agree bit for bit (field and aperture verdict), inactive lanes give no
// field and are not inside.
template <class Source>
void expect_lanes_equal_points(const Source& source, const double (&x)[4], const double (&y)[4],
                               const double (&z)[4], const bool (&active)[4], const char* what) {
  double E[3][4], B[3][4];
  bool inside[4];
  source.template element_field_lanes<4>(x, y, z, active, E, B, inside);
  for (int l = 0; l < 4; ++l) {
    if (!active[l]) {
      EXPECT_FALSE(inside[l]) << what << " lane " << l;
      for (int k = 0; k < 3; ++k) EXPECT_EQ(B[k][l], 0.0) << what << " lane " << l;
      continue;
    }
    Vec3 e{0.0, 0.0, 0.0}, b{0.0, 0.0, 0.0};
    const bool in = source.element_field(x[l], y[l], z[l], 0.0, e, b);
    EXPECT_EQ(inside[l], in) << what << " lane " << l;
    for (int k = 0; k < 3; ++k) {
      EXPECT_TRUE(same_bits(E[k][l], e[k])) << what << " lane " << l << " E" << k;
      EXPECT_TRUE(same_bits(B[k][l], b[k])) << what << " lane " << l << " B" << k;
    }
  }
}

// The solenoid at points inside, on the axis (no radial field), at and
// beyond the aperture (lost inside the table's z range, field-free and kept
// outside it), at z = 0 and z = L (the last row), beyond both ends, and in
// an inactive lane; a negative scale keeps the signs of zero.
TEST(PushLanes, SolenoidLanesEqualOnePointAtATime) {
  const AxisTable t = test_axis_table();
  const SolenoidSource sol{&t, 8.0, 1.5, -2.5};
  struct Case {
    const char* what;
    double x[4], y[4], z[4];
    bool active[4];
  } cases[] = {
      {"inside", {0.3, -0.9, 0.01, 1.0}, {-0.2, 0.4, 0.0, -1.0}, {0.1, 3.7, 5.5, 7.99}, {true, true, true, true}},
      {"axis and ends", {0.0, 0.5, 0.2, -0.7}, {0.0, 0.5, 0.1, 0.0}, {4.0, 0.0, 8.0, 1.0}, {true, true, true, false}},
      {"aperture", {1.5, 1.2, 2.0, 0.3}, {0.0, 0.9, 0.0, 0.3}, {2.0, 6.0, -0.5, 8.5}, {true, true, true, true}},
  };
  for (const auto& c : cases) expect_lanes_equal_points(sol, c.x, c.y, c.z, c.active, c.what);
}

// The electric quadrupole (no field and kept outside the aperture) and the
// multipole with sextupole and octupole parts (lost outside), at the memo's
// stage positions and off them.
TEST(PushLanes, LensLanesEqualOnePointAtATime) {
  EngeLens lens;
  lens.gap = 4.0;
  lens.eff_len = 10.0;
  lens.length = 34.0;
  lens.set2 = {0.1, 4.0, -0.3, 0.2, 0.0, 0.05};
  EquadSource equad;
  equad.lens = lens;
  equad.E0 = 150.0;
  equad.ap = 2.0;
  MultSource mult;
  mult.lens = lens;
  mult.Gq = 5.0;
  mult.Gs = -3.0;
  mult.Gh = 1.7;
  mult.ap = 2.0;
  equad.prepare_step(11.9, 0.85);
  mult.prepare_step(11.9, 0.85);
  const double x[4] = {0.3, -1.9, 1.5, 0.02};
  const double y[4] = {-0.7, 0.4, 1.5, 0.01};  // lane 2 outside the aperture
  const double z[4] = {11.9, 12.325, 2.0, 12.75};
  const bool actives[2][4] = {{true, true, true, true}, {true, false, true, true}};
  for (const auto& active : actives) {
    expect_lanes_equal_points(equad, x, y, z, active, "equad");
    expect_lanes_equal_points(mult, x, y, z, active, "mult");
  }
}

// One charge state of 203 particles spread over the aperture, some beyond
// it, a few with unusable states.
void fill(Sim& s, int n) { testing::fill_spread_state(s, n, 1.9, 1.1, 1.0, 3.0); }

// Pushes the particles of a and b through three steps of `field` in lanes
// of four with kept end-of-step derivatives, a with the baseline build and
// b with the AVX2 build, and compares every state, verdict and kept
// derivative; at least min_lost particles are lost on the way.
template <class Field, class Prepare>
void expect_avx2_equals_baseline(const Field& field, Prepare&& prepare, int min_lost,
                                 const char* what) {
  const int n = 203;
  auto a = make_sim();
  auto b = make_sim();
  fill(*a, n);
  fill(*b, n);
  const SlotView va = slot_view(*a, 1);
  const SlotView vb = slot_view(*b, 1);
  std::vector<double> ka(6 * n), kb(6 * n);
  std::vector<std::uint8_t> valid_a(n, 0), valid_b(n, 0);
  const FirstStageCache ca{ka.data(), valid_a.data()};
  const FirstStageCache cb{kb.data(), valid_b.data()};
  const double h = 0.85;
  int lost_count = 0;
  for (int step = 0; step < 3; ++step) {
    prepare(3.0 + step * h, h);
    for (int i0 = 0; i0 < n; i0 += 4) {
      int slots[4] = {};
      int count = 0;
      for (int i = i0; i < std::min(i0 + 4, n); ++i)
        if (valid_a[i] != 0 || step == 0) slots[count++] = i;
      if (count == 0) continue;
      bool lost_a[4], lost_b[4];
      push_lanes_z<4>(field, va, slots, count, h, 12.0, lost_a, ca);
      push_lanes_z_avx2<4>(field, vb, slots, count, h, 12.0, lost_b, cb);
      for (int l = 0; l < count; ++l) {
        EXPECT_EQ(lost_a[l], lost_b[l]) << what << " slot " << slots[l];
        lost_count += lost_a[l];
      }
    }
  }
  EXPECT_GE(lost_count, min_lost) << what;
  testing::expect_same_slot_states(a->particles, b->particles, n, what);
  for (int i = 0; i < n; ++i) EXPECT_EQ(valid_a[i], valid_b[i]) << what << " slot " << i;
  for (int j = 0; j < 6 * n; ++j)
    if (valid_a[j / 6] != 0) {
      EXPECT_TRUE(same_bits(ka[j], kb[j])) << what << " kept " << j;
    }
}

// The AVX2 build of the push gives the baseline's results bit for bit in
// the solenoid and the multipole (which lose the particles beyond their
// apertures) and the memoised quadrupole (which loses only the two unusable
// states).
TEST(PushLanes, Avx2BuildEqualsBaselineBitForBit) {
  if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  const AxisTable t = test_axis_table();
  const FieldAt<SolenoidSource> sol{{&t, 8.0, 1.8, 3000.0}};
  expect_avx2_equals_baseline(sol, [](double, double) {}, 20, "sol");
  EngeLens lens;
  lens.gap = 4.0;
  lens.eff_len = 3.0;
  lens.length = 8.0;
  FieldAt<QuadSource> quad{{lens, 900.0, 1.8, {}}};
  expect_avx2_equals_baseline(quad, [&](double z, double h) { quad.source.prepare_step(z, h); }, 2, "quad");
  FieldAt<MultSource> mult{};
  mult.source.lens = lens;
  mult.source.Gq = 600.0;
  mult.source.Gs = -200.0;
  mult.source.Gh = 90.0;
  mult.source.ap = 1.8;
  expect_avx2_equals_baseline(mult, [&](double z, double h) { mult.source.prepare_step(z, h); }, 20, "mult");
}


// A field whose strength depends on the particle's status, as a corrector's
// trial kick acts on the tagged particle only: Ex = k y, Ey = k x (V/cm)
// with k = base + trial for status tag, and a box aperture.
struct TaggedKick {
  double k = 0.0;
  double base = 0.0, trial = 0.0;
  std::int32_t tag = -1;
  bool element_field(double x, double y, double, double, Vec3& E, Vec3&) const {
    E[0] = k * y;
    E[1] = k * x;
    return std::abs(x) < 1.5 && std::abs(y) < 1.5;
  }
};
TaggedKick source_for_status(const TaggedKick& s, std::int32_t status) {
  TaggedKick r = s;
  r.k = s.base + (status == s.tag ? s.trial : 0.0);
  return r;
}

// Blocks of four slots of one status are pushed in lockstep with that
// status's field, blocks of mixed status slot by slot: both give the push of
// each particle alone in its own field, bit for bit, with the same losses.
TEST(PushLanes, StatusDependentFieldPushedByBlocksEqualsSinglePushes) {
  const int n = 203;
  auto a = make_sim();
  auto b = make_sim();
  for (Sim* s : {a.get(), b.get()}) {
    fill(*s, n);
    s->config.NPAT[1] = n - 1;
    s->npat.ntest[1] = 0;
    for (int i = 0; i < n; ++i) s->particles.status[1][i] = 0;
    for (int i = 40; i < 48; ++i) s->particles.status[1][i] = 3;  // two whole tagged blocks
    s->particles.status[1][61] = 3;                                // one in a mixed block
    s->particles.status[1][90] = -1;                               // lost before
    s->ref.wavelength_2pi = 12.0;
  }
  const FieldAt<TaggedKick> field{{0.0, 2e5, 7e5, 3}};
  const SlotView va = slot_view(*a, 1);
  const double h = 0.85;
  for (int step = 0; step < 2; ++step) {
    push_charge_state(*b, field, 1, h);
    std::vector<std::int32_t> expected;
    for (int i = 0; i < n; ++i) {
      if (a->particles.status[1][i] < 0) continue;
      if (push_slot_z(field_for_status(field, a->particles.status[1][i]), va, i, h, 12.0))
        expected.push_back(i);
    }
    EXPECT_EQ(b->transport.step_losses, expected) << "step " << step;
    EXPECT_GT(expected.size(), 0u);
    for (Sim* s : {a.get(), b.get()})
      for (const std::int32_t i : expected) s->particles.status[1][i] = -1;
  }
  testing::expect_same_slot_states(a->particles, b->particles, n, "");
}

}  // namespace
}  // namespace linac
