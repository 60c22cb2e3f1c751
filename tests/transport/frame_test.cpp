// Element placement: straight elements, turned elements, a closed square of
// four 90 degree turns, and the misalignment amplitudes placement prepares.
#include <gtest/gtest.h>

#include <cmath>

#include "run/sim.hpp"
#include "transport/frame.hpp"

namespace linac {
namespace {

using V3 = std::array<double, 3>;

void expect_near(const V3& a, const V3& b, double tol, const char* what) {
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], tol) << what << " component " << k;
}

struct Placed {
  std::unique_ptr<Sim> sim = make_sim();
  Placed() {
    set_start_values(*sim);
    reset_element_frame(*sim);
  }
};

TEST(Placement, StraightElementAdvancesAlongTheBeamAxis) {
  Placed p;
  Sim& sim = *p.sim;
  sim.state.itype = 1;
  place_element(sim, 0.0, 25.0, 1.0, 0.0);
  place_element(sim, 0.0, 15.0, 1.0, 0.0);
  expect_near(sim.frame.entry.origin, {0, 0, 25}, 0, "entrance origin");
  expect_near(sim.frame.exit.origin, {0, 0, 40}, 0, "exit origin");
  for (int m = 0; m < 3; ++m)
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(sim.frame.exit.axes[m][j], m == j ? 1.0 : 0.0);
      EXPECT_EQ(sim.frame.entry.axes[m][j], m == j ? 1.0 : 0.0);
    }
  EXPECT_EQ(sim.transport.misalign.chord_len, 15.0);
  // A point of the second element in the lab: origin + A^T (x, y, z).
  expect_near(lab_point(sim.frame.entry, {0.5, -0.25, 3.0}), {0.5, -0.25, 28.0}, 0, "lab point");
}

TEST(Placement, NinetyDegreeTurnAndTheClosedSquare) {
  Placed p;
  Sim& sim = *p.sim;
  // A 90 degree arc of radius R ends at dx = R (1 - cos a), dz = R sin a.
  const double R = 40.0, a = std::acos(-1.0) / 2.0;
  place_element(sim, R * (1.0 - std::cos(a)), R * std::sin(a), std::cos(a), std::sin(a));
  // The beam axis turns into the old +x axis, the new x axis into the old -z.
  expect_near(sim.frame.exit.axes[2], {1, 0, 0}, 1e-15, "new z axis");
  expect_near(sim.frame.exit.axes[0], {0, 0, -1}, 1e-15, "new x axis");
  expect_near(sim.frame.exit.axes[1], {0, 1, 0}, 0, "y axis");
  expect_near(sim.frame.exit.origin, {R, 0, R}, 1e-12, "exit point");
  // A particle 1 cm along the local z of the next element lies at +x in the lab.
  place_element(sim, 0.0, 10.0, 1.0, 0.0);
  expect_near(lab_point(sim.frame.entry, {0.0, 0.0, 1.0}), {R + 1.0, 0, R}, 1e-12, "lab point");
  // Four turns from the lab frame close the square.
  Placed q;
  for (int k = 0; k < 4; ++k)
    place_element(*q.sim, R * (1.0 - std::cos(a)), R * std::sin(a), std::cos(a), std::sin(a));
  expect_near(q.sim->frame.exit.origin, {0, 0, 0}, 1e-9, "square closes");
  for (int m = 0; m < 3; ++m)
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(q.sim->frame.exit.axes[m][j], m == j ? 1.0 : 0.0, 1e-9);
}

TEST(Placement, ResetStartsEveryPassFromTheLabFrame) {
  Placed p;
  Sim& sim = *p.sim;
  place_element(sim, 0.0, 30.0, 1.0, 0.0);
  place_element(sim, 0.0, 30.0, 1.0, 0.0);
  reset_element_frame(sim);
  place_element(sim, 0.0, 30.0, 1.0, 0.0);
  expect_near(sim.frame.exit.origin, {0, 0, 30}, 0, "second pass");
  expect_near(sim.frame.entry.origin, {0, 0, 0}, 0, "second pass entrance");
}

TEST(Placement, ErrorAmplitudesFromTheAlignAmplitudesOfTheType) {
  Placed p;
  Sim& sim = *p.sim;
  auto& te = sim.type_rec.type_errors;
  const int t = 4;
  te[0][t] = 0.01;  // transverse offsets, cm
  te[1][t] = 0.0;   // longitudinal offset, cm
  for (int k = 2; k < 7; ++k) te[k][t] = 0.1 * k;
  sim.state.itype = t;
  place_element(sim, 0.0, 10.0, 1.0, 0.0);
  const auto& amp = sim.transport.misalign.err_amp;
  EXPECT_EQ(amp[1], 0.01);
  EXPECT_EQ(amp[2], 0.01);
  EXPECT_EQ(amp[3], 0.0);
  // Tilt bound 2 sqrt(2 a^2 + b^2)/L = 2 sqrt(2) 0.01/10.
  EXPECT_NEAR(amp[4], 2.0 * std::sqrt(2.0) * 0.01 / 10.0, 1e-18);
  EXPECT_NEAR(amp[4], 2.83e-3, 1e-5);
  EXPECT_EQ(amp[5], amp[4]);
  for (int k = 6; k <= 10; ++k) EXPECT_EQ(amp[k], te[k - 4][t]);
  // Lengths 0 and 1e-6 cm.
  place_element(sim, 0.0, 0.0, 1.0, 0.0);
  for (int k = 1; k <= 10; ++k) EXPECT_EQ(sim.transport.misalign.err_amp[k], 0.0);
  place_element(sim, 0.0, 1e-6, 1.0, 0.0);
  EXPECT_EQ(sim.transport.misalign.err_amp[1], 0.01);
}

}  // namespace
}  // namespace linac
