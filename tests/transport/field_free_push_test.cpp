// The push through a drift, whose field is +0 everywhere, forms its later
// Runge-Kutta stages from the first stage's force-free derivative. Checked
// here against the same push through an aperture that is not known to be
// field-free (every stage through the equations of motion) and against the
// single-particle push: states, loss verdicts and kept end-of-step
// derivatives bit for bit, for every aperture shape, charges of both signs
// and none, and slopes and positions that are signed zeros.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "run/sim.hpp"
#include "transport/lane_test_support.hpp"
#include "transport/push_z.hpp"
#include "transport/stepping.hpp"

namespace linac {
namespace {

using testing::same_bits;

// The drift's aperture without the mark of a zero field: the push takes
// every stage through the equations of motion.
struct OpaqueAperture {
  DriftAperture ap;
  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    return ap.element_field(x, y, z, t, E, B);
  }
};

// n particles spread over and beyond the aperture (with two unusable
// states), Q/A of both signs and 0, and a few on the axis with slopes and
// positions of -0 or +0, so a stage may turn a -0 slope into +0.
void fill(Sim& s, int n) {
  testing::fill_spread_state(s, n, 1.9, 1.1, 1.0, 3.0);
  ParticleArrays& p = s.particles;
  for (int i = 0; i < n; ++i) p.qa[1][i] = (i % 4 == 0 ? -1.0 : 1.0) * (i % 5) * 0.15;
  // On the axis at -0: a positive Q/A turns a -0 slope into +0 at the
  // first stage (x then ends at +0), a negative one keeps it -0.
  for (int i = 20; i < 28; ++i) {
    p.x[1][i] = -0.0;
    p.xp[1][i] = (i % 2 == 0) ? -0.0 : 0.0;
    p.y[1][i] = -0.0;
    p.yp[1][i] = (i % 4 < 2) ? -0.0 : 0.0;
    p.qa[1][i] = i < 24 ? 0.3 : -0.3;
  }
}

// The push of `what` through three steps of a drift with aperture (a, b),
// in lanes of four (baseline or AVX2 build) with kept derivatives, three
// ways: marked field-free, opaque, and one particle at a time.
void expect_field_free_equals_four_stages(double a, double b, bool avx2, int min_lost,
                                          const char* what) {
  const int n = 203;
  auto fast = make_sim();
  auto full = make_sim();
  auto single = make_sim();
  for (Sim* s : {fast.get(), full.get(), single.get()}) fill(*s, n);
  const FieldAt<DriftAperture> drift{{a, b}};
  const FieldAt<OpaqueAperture> opaque{{{a, b}}};
  ASSERT_TRUE(field_is_zero(drift));
  ASSERT_FALSE(field_is_zero(opaque));
  const SlotView vf = slot_view(*fast, 1);
  const SlotView vo = slot_view(*full, 1);
  const SlotView vs = slot_view(*single, 1);
  std::vector<double> kf(6 * n), ko(6 * n);
  std::vector<std::uint8_t> valid_f(n, 0), valid_o(n, 0);
  const FirstStageCache cf{kf.data(), valid_f.data()};
  const FirstStageCache co{ko.data(), valid_o.data()};
  const double h = 0.85;
  std::vector<bool> gone(n, false);
  int lost_count = 0;
  for (int step = 0; step < 3; ++step) {
    for (int i0 = 0; i0 < n; i0 += 4) {
      int slots[4] = {};
      int count = 0;
      for (int i = i0; i < std::min(i0 + 4, n); ++i)
        if (!gone[i]) slots[count++] = i;
      if (count == 0) continue;
      bool lost_f[4], lost_o[4];
      if (avx2) {
        push_lanes_z_avx2<4>(drift, vf, slots, count, h, 12.0, lost_f, cf);
        push_lanes_z_avx2<4>(opaque, vo, slots, count, h, 12.0, lost_o, co);
      } else {
        push_lanes_z<4>(drift, vf, slots, count, h, 12.0, lost_f, cf);
        push_lanes_z<4>(opaque, vo, slots, count, h, 12.0, lost_o, co);
      }
      for (int l = 0; l < count; ++l) {
        const bool lost_s = push_slot_z(drift, vs, slots[l], h, 12.0);
        EXPECT_EQ(lost_f[l], lost_o[l]) << what << " slot " << slots[l];
        EXPECT_EQ(lost_f[l], lost_s) << what << " slot " << slots[l];
        if (lost_f[l]) {
          gone[slots[l]] = true;
          ++lost_count;
        }
      }
    }
  }
  EXPECT_GE(lost_count, min_lost) << what;
  testing::expect_same_slot_states(fast->particles, full->particles, n, what);
  testing::expect_same_slot_states(fast->particles, single->particles, n, what);
  for (int i = 0; i < n; ++i) EXPECT_EQ(valid_f[i], valid_o[i]) << what << " slot " << i;
  for (int j = 0; j < 6 * n; ++j)
    if (valid_f[j / 6] != 0) {
      EXPECT_TRUE(same_bits(kf[j], ko[j])) << what << " kept " << j;
    }
  // The signed zeros went through as the equations of motion give them
  // (where the particles on the axis pass the aperture).
  if (!gone[20] && !gone[24]) {
    EXPECT_FALSE(std::signbit(fast->particles.x[1][20])) << what;
    EXPECT_FALSE(std::signbit(fast->particles.xp[1][20])) << what;
    EXPECT_TRUE(std::signbit(fast->particles.x[1][24])) << what;
    EXPECT_TRUE(std::signbit(fast->particles.xp[1][24])) << what;
  }
}

// Ellipse and rectangle that cut into the beam (particles lost at the
// start, at a stage and at the end point of a step), no aperture, where
// only the two unusable states are lost, and an aperture so small that the
// shift of points near the axis decides.
TEST(FieldFreePush, EqualsFourStagePushBitForBit) {
  struct Case {
    const char* what;
    double a, b;
    int min_lost;
  } cases[] = {{"ellipse", 1.6, -1.0, 20},
               {"rectangle", 1.7, 0.9, 20},
               {"open", 0.0, 0.0, 2},
               // Narrower than the axis shift: the particles on the axis are
               // tested at (1e-6 cm, 0) and lost there.
               {"pinhole", 8e-7, -8e-7, 203}};
  for (const Case& c : cases) {
    expect_field_free_equals_four_stages(c.a, c.b, false, c.min_lost, c.what);
    if (cpu_has_avx2()) expect_field_free_equals_four_stages(c.a, c.b, true, c.min_lost, c.what);
  }
}

// A block carried through its remaining steps at once (states kept in
// registers from step to step) against the same steps one call at a time
// through all four stages: the step in which each particle is lost, every
// state and every kept derivative bit for bit. The first step fills the
// kept derivatives; over the next 29 the particles drift out of the
// aperture at different steps.
TEST(FieldFreePush, StepsAtOnceEqualStepByStep) {
  const int n = 203;
  const int nsteps = 30;
  const double h = 0.85;
  struct Case {
    const char* what;
    double a, b;
  } cases[] = {{"ellipse", 1.6, -1.0}, {"rectangle", 1.7, 0.9}, {"open", 0.0, 0.0}};
  for (const Case& c : cases) {
    for (const bool avx2 : {false, true}) {
      if (avx2 && !cpu_has_avx2()) continue;
      auto fast = make_sim();
      auto full = make_sim();
      for (Sim* s : {fast.get(), full.get()}) fill(*s, n);
      const FieldAt<DriftAperture> drift{{c.a, c.b}};
      const FieldAt<OpaqueAperture> opaque{{{c.a, c.b}}};
      const SlotView vf = slot_view(*fast, 1);
      const SlotView vo = slot_view(*full, 1);
      std::vector<double> kf(6 * n), ko(6 * n);
      std::vector<std::uint8_t> valid_f(n, 0), valid_o(n, 0);
      const FirstStageCache cf{kf.data(), valid_f.data()};
      const FirstStageCache co{ko.data(), valid_o.data()};
      int losses = 0;
      int later_losses = 0;
      for (int i0 = 0; i0 < n; i0 += 4) {
        int slots[4] = {};
        int count = 0;
        for (int i = i0; i < std::min(i0 + 4, n); ++i) slots[count++] = i;
        // Step 1 for both, one call each.
        bool lost_f[4], lost_o[4];
        push_lanes_z<4>(drift, vf, slots, count, h, 12.0, lost_f, cf);
        push_lanes_z<4>(opaque, vo, slots, count, h, 12.0, lost_o, co);
        int live[4];
        int nlive = 0;
        for (int l = 0; l < count; ++l) {
          ASSERT_EQ(lost_f[l], lost_o[l]) << c.what << " slot " << slots[l];
          if (!lost_f[l]) live[nlive++] = slots[l];
        }
        if (nlive == 0) continue;
        // Steps 2..nsteps: at once, and one at a time.
        int lost_step[4];
        if (avx2)
          push_block_zero_field_steps_avx2(drift, vf, live, nlive, h, nsteps - 1, lost_step, cf);
        else
          push_block_zero_field_steps(drift, vf, live, nlive, h, nsteps - 1, lost_step, cf);
        int expected[4] = {0, 0, 0, 0};
        for (int k = 1; k < nsteps; ++k) {
          int slots_k[4];
          int lanes[4];
          int nk = 0;
          for (int l = 0; l < nlive; ++l)
            if (expected[l] == 0) {
              lanes[nk] = l;
              slots_k[nk++] = live[l];
            }
          if (nk == 0) break;
          bool lost_k[4];
          push_lanes_z<4>(opaque, vo, slots_k, nk, h, 12.0, lost_k, co);
          for (int m = 0; m < nk; ++m)
            if (lost_k[m]) expected[lanes[m]] = k;
        }
        for (int l = 0; l < nlive; ++l) {
          EXPECT_EQ(lost_step[l], expected[l]) << c.what << " slot " << live[l];
          losses += lost_step[l] != 0;
          later_losses += lost_step[l] > 1;
        }
      }
      if (c.b != 0.0) {
        EXPECT_GE(later_losses, 10) << c.what;
      } else {
        EXPECT_EQ(losses, 0) << c.what;
      }
      testing::expect_same_slot_states(fast->particles, full->particles, n, c.what);
      for (int i = 0; i < n; ++i) EXPECT_EQ(valid_f[i], valid_o[i]) << c.what << " slot " << i;
      for (int j = 0; j < 6 * n; ++j)
        if (valid_f[j / 6] != 0) {
          EXPECT_TRUE(same_bits(kf[j], ko[j])) << c.what << " kept " << j;
        }
    }
  }
}

// The drift's aperture tested four points at a time agrees with one point
// at a time, points on the boundary being outside, and the field is +0.
TEST(FieldFreePush, ApertureLanesEqualOnePointAtATime) {
  const double x[4] = {1.6, 0.0, -1.2, 0.3};
  const double y[4] = {0.0, -1.0, 0.5, 0.2};
  const double z[4] = {0.0, 0.0, 0.0, 0.0};
  const bool active[4] = {true, true, true, false};
  for (const DriftAperture ap : {DriftAperture{1.6, -1.0}, DriftAperture{1.6, 1.0}, DriftAperture{0.0, 0.0}}) {
    double E[3][4], B[3][4];
    bool inside[4];
    ap.element_field_lanes<4>(x, y, z, active, E, B, inside);
    for (int l = 0; l < 4; ++l) {
      Vec3 e{}, bf{};
      EXPECT_EQ(inside[l], active[l] && ap.element_field(x[l], y[l], z[l], 0.0, e, bf))
          << "a " << ap.a << " b " << ap.b << " lane " << l;
      for (int c = 0; c < 3; ++c) {
        EXPECT_TRUE(same_bits(E[c][l], 0.0) && same_bits(B[c][l], 0.0));
      }
    }
  }
}

}  // namespace
}  // namespace linac
