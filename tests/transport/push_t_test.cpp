// The push in time: the exact Lorentz-force motion on a circle in a uniform
// magnetic field (against the closed form and against the push in z), the
// time-step control and its edge cases, the advance to a target plane
// forwards and backwards, and the integration to an inclined exit plane.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "run/sim.hpp"
#include "platform/fatal.hpp"
#include "test_support.hpp"
#include "transport/integrate_z.hpp"
#include "transport/push_t.hpp"
#include "uniform_field.hpp"

namespace linac {
namespace {

using testing::UniformField;
using testing::beta_of_gamma;

constexpr double kK = 0.0032184034535;  // e/(m_u c), 1/(T cm)
constexpr double kWl2pi = 100.0 / 6.283185307179586;  // lambda/(2 pi) of a 100 cm wavelength

// A handful of particle slots with the arrays of the particle block.
struct Slots {
  explicit Slots(int n)
      : x(n), xp(n), y(n), yp(n), z(n), bx(n), by(n), bz(n), beta(n), phase(n), qa(n) {}
  std::vector<double> x, xp, y, yp, z, bx, by, bz, beta, phase, qa;
  TimeSlotView tview() {
    return {x.data(), xp.data(), y.data(), yp.data(), z.data(), bx.data(),
            by.data(), bz.data(), beta.data(), phase.data(), qa.data()};
  }
  SlotView zview() {
    return {x.data(), xp.data(), y.data(), yp.data(), phase.data(), beta.data(), z.data(),
            qa.data()};
  }
  void set(int i, double x0, double xp0, double y0, double yp0, double b, double q) {
    x[i] = x0;
    xp[i] = xp0;
    y[i] = y0;
    yp[i] = yp0;
    z[i] = 0.0;
    beta[i] = b;
    phase[i] = 0.0;
    qa[i] = q;
    // Velocities deliberately left 0: the advance derives them from x', y', beta.
    bx[i] = by[i] = bz[i] = 0.0;
  }
};

// A field source counting its evaluations.
struct Counting {
  UniformField u;
  mutable int calls = 0;
  bool operator()(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    ++calls;
    return FieldAt<UniformField>{u}(x, y, z, t, E, B);
  }
};

// Uniform By = 100 G over 10 cm, Q/A = 1, beta = 0.1: a circle of radius
// rho = beta gamma / (qa K B) bending towards -x.
TEST(PushTime, UniformMagneticFieldFollowsTheCircleInZAndInTime) {
  UniformField u;
  u.B = {0.0, 100.0, 0.0};
  const FieldAt<UniformField> field{u};
  const double beta = 0.1;
  const double gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double rho = beta * gamma / (kK * 0.01);
  EXPECT_NEAR(rho, 3122.784, 1e-3);
  const double L = 10.0;
  const double x_exact = -(rho - std::sqrt(rho * rho - L * L));
  const double xp_exact = -L / std::sqrt(rho * rho - L * L);
  EXPECT_NEAR(xp_exact, -3.20229e-3, 1e-8);
  EXPECT_NEAR(x_exact, -1.60114e-2, 1e-7);

  Slots zs(1), ts(1);
  zs.set(0, 0, 0, 0, 0, beta, 1.0);
  ts.set(0, 0, 0, 0, 0, beta, 1.0);
  const int nstep = 10;
  const double h = L / nstep;
  for (int k = 1; k <= nstep; ++k) {
    ASSERT_FALSE(push_slot_z(field, zs.zview(), 0, h, kWl2pi));
    ASSERT_FALSE(advance_slot_to_zref(field, ts.tview(), 0, k * h, h, kWl2pi));
  }
  // RK4 with 1 cm steps on a 3 km circle: error of order (h/rho)^4 h.
  EXPECT_NEAR(zs.x[0], x_exact, 1e-10);
  EXPECT_NEAR(zs.xp[0], xp_exact, 1e-10);
  // The time push ends within 1e-6 cm of the plane; at a slope of 3.2e-3
  // that costs < 4e-9 cm in x.
  EXPECT_NEAR(ts.z[0], L, 1e-6);
  EXPECT_NEAR(ts.x[0], zs.x[0], 1e-8);
  EXPECT_NEAR(ts.xp[0], zs.xp[0], 1e-8);
  EXPECT_NEAR(ts.y[0], 0.0, 1e-12);
  EXPECT_NEAR(ts.yp[0], 0.0, 1e-12);
  // |beta| is a constant of the motion in a magnetic field.
  EXPECT_NEAR(ts.beta[0], beta, 1e-12);
  // The written slopes and speed belong to the velocity vector.
  EXPECT_DOUBLE_EQ(ts.xp[0], ts.bx[0] / ts.bz[0]);
  EXPECT_DOUBLE_EQ(ts.beta[0], std::sqrt(ts.bx[0] * ts.bx[0] + ts.by[0] * ts.by[0] +
                                         ts.bz[0] * ts.bz[0]));
  // The RF phase advances with the time of flight along the arc.
  const double arc = rho * std::asin(L / rho);
  EXPECT_NEAR(ts.phase[0], arc / (beta * kWl2pi), 1e-8);
}

// A field that changes along the path and in time (E/c and B in T), so a
// stale field or a stage taken at the wrong point shows in the result.
struct Varying {
  double E0 = 0.0, B0 = 0.0;
  mutable int calls = 0;
  bool operator()(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    ++calls;
    E = {0.2 * E0 * y, 0.1 * E0 * x, E0 * std::cos(t) * (1.0 + 0.3 * z)};
    B = {0.0, B0 * (1.0 + 0.5 * z + x), 0.1 * B0};
    return true;
  }
};

// The advance takes the field at the start of each time step from the step
// before (the end-point probe) and the step-size probe as its first stage:
// it equals, bit for bit, time steps that evaluate every stage afresh, in
// several time steps per advance and over several advances, forwards and
// backwards.
TEST(PushTime, AdvanceReusingTheStepEndsEqualsFreshSteps) {
  struct Case {
    const char* what;
    double E0, B0, step_len;
  } cases[] = {{"accelerating E", 0.05, 0.0, 0.3}, {"B", 0.0, 0.8, 0.25}, {"E and B", -0.03, 0.5, 0.2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Slots a(1), b(1);
    a.set(0, 0.1, 0.01, -0.05, 0.002, 0.1, 0.5);
    b.set(0, 0.1, 0.01, -0.05, 0.002, 0.1, 0.5);
    const Varying field{c.E0, c.B0};
    Varying fresh{c.E0, c.B0};
    const TimeSlotView pa = a.tview();
    const TimeSlotView pb = b.tview();
    for (double zref : {1.0, 2.0, 1.5}) {
      ASSERT_FALSE(advance_slot_to_zref(field, pa, 0, zref, c.step_len, kWl2pi));
      // The same advance, every time step probing its start and evaluating
      // all its stages.
      refresh_velocity(pb, 0);
      int steps = 0;
      for (double d = pb.z[0] - zref; std::abs(d) >= kZrefTolerance; d = pb.z[0] - zref, ++steps) {
        bool lost = false;
        double accel = 0.0;
        const double T = time_step_slot(fresh, pb, 0, c.step_len, kWl2pi, lost, &accel);
        ASSERT_FALSE(lost);
        const double h = d < 0.0 ? std::min(T, time_to_reach(-d, pb.betaz[0], accel))
                                 : -std::min(T, d / pb.betaz[0]);
        ASSERT_FALSE(push_slot_t(fresh, pb, 0, h, kWl2pi).lost);
      }
      EXPECT_GE(steps, 2);
      const double va[10] = {a.x[0], a.y[0], a.z[0], a.bx[0], a.by[0], a.bz[0], a.phase[0], a.beta[0], a.xp[0], a.yp[0]};
      const double vb[10] = {b.x[0], b.y[0], b.z[0], b.bx[0], b.by[0], b.bz[0], b.phase[0], b.beta[0], b.xp[0], b.yp[0]};
      for (int j = 0; j < 10; ++j) EXPECT_EQ(va[j], vb[j]) << "zref " << zref << " value " << j;
      // One evaluation fewer per time step, one more per advance.
      EXPECT_EQ(field.calls, fresh.calls - 2 * steps + 1) << "zref " << zref;
      field.calls = 0;
      fresh.calls = 0;
    }
  }
}

// Edge cases of the advance to the target plane, one table.
TEST(PushTime, AdvanceEdgeCases) {
  struct Case {
    const char* what;
    double z0, xp, beta, qa, Ez, zref, step_len;
    bool lost;
    int calls;  // field evaluations expected, -1: not checked
  } cases[] = {
      // Field-free, the plane 1 cm ahead, step_len/beta the larger limit: one
      // time step of |d|/beta_z (the step-size probe, which is also the
      // first Runge-Kutta stage, three more stages and the end-point probe).
      {"field-free in one step", 0.0, 0.0, 0.1, 0.5, 0.0, 1.0, 5.0, false, 5},
      // Beyond the plane: stepped back with a negative step.
      {"overshoot stepped back", 1.5, 0.0, 0.1, 0.5, 0.0, 1.0, 5.0, false, 5},
      // Within 1e-6 cm of the plane: not moved, not evaluated.
      {"already there", 1.0 - 5e-7, 0.0, 0.1, 0.5, 0.0, 1.0, 5.0, false, 0},
      // beta_z = beta/sqrt(1 + 1e6) < beta/1000: stopped, lost.
      {"nearly stopped", 0.0, 1000.0, 0.1, 0.5, 0.0, 1.0, 5.0, true, 1},
      // A decelerating field on a negative ion: the magnitude of qa keeps
      // the time step positive, the plane is reached.
      {"negative ion", 0.0, 0.0, 0.1, -0.5, 1000.0, 1.0, 1.0, false, -1},
      // Almost at rest (beta 1e-10) in a strong field (1 T as E/c): the
      // energy limit h1 falls below 1e-8 cm.
      {"time step below 1e-8 cm", 0.0, 0.0, 1e-10, 0.5, 3e6, 1.0, 1.0, true, 1},
      // Steps of 1e-7 cm towards a plane 1 cm away: more than 1e5 steps.
      {"too many time steps", 0.0, 0.0, 0.1, 0.5, 0.0, 1.0, 1e-8, true, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Counting field;
    field.u.E = {0.0, 0.0, c.Ez};
    Slots s(1);
    s.set(0, 0.1, c.xp, -0.05, 0.0, c.beta, c.qa);
    s.z[0] = c.z0;
    const bool lost = advance_slot_to_zref(field, s.tview(), 0, c.zref, c.step_len, kWl2pi);
    EXPECT_EQ(lost, c.lost);
    if (c.calls >= 0) {
      EXPECT_EQ(field.calls, c.calls);
    }
    if (c.lost) continue;
    EXPECT_NEAR(s.z[0], c.zref, 1e-6);
    if (c.Ez == 0.0) {
      // Straight flight: phase = (z - z0)/(beta_z lambda/2pi).
      EXPECT_NEAR(s.phase[0], (c.zref - c.z0) / (c.beta * kWl2pi), 1e-6);
      EXPECT_EQ(s.beta[0], c.beta);
    } else {
      // Energy balance in the uniform field: dW = qa Ez dz (per nucleon).
      const double g0 = 1.0 / std::sqrt(1.0 - c.beta * c.beta);
      const double g1 = 1.0 / std::sqrt(1.0 - s.beta[0] * s.beta[0]);
      const double dW = (g1 - g0) * 931494.32;  // keV/u
      EXPECT_NEAR(dW, c.qa * c.Ez * (s.z[0] - c.z0) / 1000.0, 1e-6);
    }
  }
}

// A mixed field: after each time step the slopes and the speed are those of
// the velocity vector; a particle outside the aperture keeps its state.
TEST(PushTime, StepWritesConsistentSlopesAndKeepsLostState) {
  UniformField u;
  u.E = {300.0, -200.0, 5000.0};
  u.B = {50.0, 80.0, -400.0};
  const FieldAt<UniformField> field{u};
  Slots s(1);
  s.set(0, 0.2, 0.01, -0.1, -0.02, 0.05, 0.4);
  refresh_velocity(s.tview(), 0);
  ASSERT_FALSE(push_slot_t(field, s.tview(), 0, 3.0, kWl2pi).lost);
  EXPECT_DOUBLE_EQ(s.xp[0], s.bx[0] / s.bz[0]);
  EXPECT_DOUBLE_EQ(s.yp[0], s.by[0] / s.bz[0]);
  EXPECT_DOUBLE_EQ(s.beta[0], std::sqrt(s.bx[0] * s.bx[0] + s.by[0] * s.by[0] + s.bz[0] * s.bz[0]));

  const FieldAt<DriftAperture> tight{{0.1, 0.1}};  // rectangle: x = 0.2 is outside
  const Slots before = s;
  EXPECT_TRUE(push_slot_t(tight, s.tview(), 0, 3.0, kWl2pi).lost);
  EXPECT_EQ(s.x, before.x);
  EXPECT_EQ(s.z, before.z);
  EXPECT_EQ(s.phase, before.phase);
  EXPECT_EQ(s.bz, before.bz);
}

// The design particle on the arc of a uniform By to an inclined plane: it
// ends on the plane, with the slope of the arc's tangent in the plane's
// frame and the phase of the arc length.
TEST(PushTime, ReferenceMeetsAnInclinedExitPlane) {
  auto sim = make_sim();
  Sim& s = *sim;
  s.ref.wavelength_2pi = kWl2pi;
  s.ref.qa_push = 1.0;
  s.state.bmag_region = 2;
  UniformField u;
  u.B = {0.0, 100.0, 0.0};
  const TrackedField<UniformField> field{&s, {u}};
  const double beta = 0.1;
  const double gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double rho = beta * gamma / (kK * 0.01);
  // The arc: x = -rho (1 - cos th), z = rho sin th; the plane passes through
  // the point at th0 = 12/rho with its normal turned by 0.35 rad.
  const double th0 = 12.0 / rho;
  const double a = 0.35;
  StepGeometry& g = s.transport.step;
  g.exit_nz = std::cos(a);
  g.exit_nx = std::sin(a);
  g.exit_px = -rho * (1.0 - std::cos(th0));
  g.exit_pz = rho * std::sin(th0);
  State6 Y{0.0, 0.0, 0.0, 0.0, 0.0, beta};
  double t = 0.0;
  ref_to_exit_plane_t(s, field, t, 2.0, Y);
  const double vx = -beta * std::sin(th0), vz = beta * std::cos(th0);
  const double vn = g.exit_nx * vx + g.exit_nz * vz;
  const double vt = g.exit_nz * vx - g.exit_nx * vz;
  EXPECT_NEAR(Y[0], 0.0, 1e-6);
  EXPECT_NEAR(Y[1], vt / vn, 1e-9);
  EXPECT_NEAR(Y[2], 0.0, 1e-12);
  EXPECT_NEAR(Y[3], 0.0, 1e-12);
  EXPECT_NEAR(Y[4], rho * th0 / (beta * kWl2pi), 1e-6 / (beta * kWl2pi) + 1e-9);
  EXPECT_NEAR(Y[5], beta, 1e-12);

  // Moving away from the plane in a field-free region: no progress, the run
  // stops naming the element.
  const TrackedField<UniformField> none{&s, {UniformField{}}};
  State6 back{0.0, 0.0, 0.0, 0.0, 0.0, -beta};
  g.exit_nz = 1.0;
  g.exit_nx = 0.0;
  g.exit_px = 0.0;
  g.exit_pz = 5.0;
  s.state.ipos = 3;
  s.elements.elem_name[3] = "bmag ";
  t = 0.0;
  EXPECT_NE(testing::fatal_text([&] { ref_to_exit_plane_t(s, none, t, 2.0, back); })
                .find("element 3 (bmag)"),
            std::string::npos);
}

}  // namespace
}  // namespace linac
