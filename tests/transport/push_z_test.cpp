// The push in z against closed-form motion: field-free flight, a uniform
// longitudinal electric field, a uniform transverse and a uniform
// longitudinal magnetic field; the fourth order of the Runge-Kutta step; and
// the loss rules of a push.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "run/sim.hpp"
#include "platform/fatal.hpp"
#include "test_support.hpp"
#include "transport/integrate_z.hpp"
#include "uniform_field.hpp"

namespace linac {
namespace {

using testing::beta_of_gamma;
using testing::beta_of_w;
using testing::gamma_of_w;
using testing::UniformField;

constexpr double kC = 299792458.0;                // m/s
constexpr double kLambda100MHz = 29979245800.0 / 100e6;  // cm
constexpr double kTwoPi = 6.283185307179586;

// One particle in slot 1 of charge state 1 of a fresh run context.
struct OneParticle {
  std::unique_ptr<Sim> sim = make_sim();
  SlotView view;
  OneParticle(double x, double xp, double y, double yp, double phase, double beta, double qa) {
    ParticleArrays& p = sim->particles;
    p.x[1][1] = x;
    p.xp[1][1] = xp;
    p.y[1][1] = y;
    p.yp[1][1] = yp;
    p.phase[1][1] = phase;
    p.beta[1][1] = beta;
    p.qa[1][1] = qa;
    p.z[1][1] = 0.0;
    view = slot_view(*sim, 1);
  }
  State6 state() const {
    const ParticleArrays& p = sim->particles;
    return {p.x[1][1], p.xp[1][1], p.y[1][1], p.yp[1][1], p.phase[1][1], p.beta[1][1]};
  }
  double z() const { return sim->particles.z[1][1]; }
  // nsteps pushes of length h; false if lost on the way.
  template <class Source>
  bool push(const Source& src, int nsteps, double h, double wavelength_2pi) {
    const FieldAt<Source> field{src};
    for (int k = 0; k < nsteps; ++k)
      if (push_slot_z(field, view, 1, h, wavelength_2pi)) return false;
    return true;
  }
};

TEST(PushZ, FieldFreeFlightIsStraightWithPhaseFromPathLength) {
  // W = 1000 keV/u at 100 MHz over L = 50 cm: phase advance 2 pi L S/(beta lambda).
  const double beta = beta_of_w(1000.0);
  struct Case {
    double xp, yp, expected_phase;
  } cases[] = {{0.0, 0.0, 22.63361}, {0.002, 0.0, 22.63365}, {-0.003, 0.004, -1.0}};
  for (const auto& c : cases) {
    OneParticle p(0.3, c.xp, -0.2, c.yp, 0.1, beta, 0.25);
    const double L = 50.0;
    ASSERT_TRUE(p.push(NoField{}, 10, L / 10, kLambda100MHz / kTwoPi));
    const State6 Y = p.state();
    const double S = std::sqrt(1.0 + c.xp * c.xp + c.yp * c.yp);
    const double dphase = kTwoPi * L * S / (beta * kLambda100MHz);
    EXPECT_NEAR(Y[0], 0.3 + c.xp * L, 1e-12 * 0.3 + 1e-15);
    EXPECT_NEAR(Y[2], -0.2 + c.yp * L, 1e-12 * 0.4);
    EXPECT_EQ(Y[1], c.xp);
    EXPECT_EQ(Y[3], c.yp);
    EXPECT_EQ(Y[5], beta);
    EXPECT_NEAR(Y[4] - 0.1, dphase, 1e-12 * dphase);
    if (c.expected_phase > 0) {
      EXPECT_NEAR(dphase, c.expected_phase, 5e-6);
    }
    EXPECT_NEAR(p.z(), L, 1e-12);
  }
}

TEST(PushZ, UniformEzGainsEnergyLinearlyInGamma) {
  // On axis in Ez: d(gamma)/dz = (Q/A) K Ez/c, so dW = (Q/A) K (Ez 100/c) L amu.
  // K 100/c amu = 1 to 1.5e-8, hence dW = (Q/A) Ez L / 1000 keV/u.
  const double qa = 0.5, Ez = 1e4, L = 20.0, W = 1000.0;
  OneParticle p(0.0, 0.0, 0.0, 0.0, 0.0, beta_of_w(W), qa);
  UniformField f;
  f.E = {0.0, 0.0, Ez};
  ASSERT_TRUE(p.push(f, 40, L / 40, 100.0));
  const double gamma_out = 1.0 / std::sqrt(1.0 - p.state()[5] * p.state()[5]);
  const double dW = (gamma_out - gamma_of_w(W)) * 931494.3200000001;
  const double exact = qa * kForceK * (Ez * 100.0 / kC) * L * 931494.3200000001;
  // RK4 with h = 0.5 cm on a 10 % energy change: truncation far below 1e-9.
  EXPECT_NEAR(dW, exact, 1e-9 * exact);
  EXPECT_NEAR(dW, qa * Ez * L / 1000.0, 1e-7 * 100.0);
}

TEST(PushZ, UniformByBendsOnTheRigidityCircle) {
  // rho = beta gamma/(qa K By): 312.2784 cm for beta = 0.1, qa = 1, By = 1000 G.
  const double beta = 0.1, gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double rho = beta * gamma / (1.0 * kForceK * 0.1);
  EXPECT_NEAR(rho, 312.2784, 1e-4);
  OneParticle p(0.0, 0.0, 0.0, 0.0, 0.0, beta, 1.0);
  UniformField f;
  f.B = {0.0, 1000.0, 0.0};
  const double L = 20.0;
  ASSERT_TRUE(p.push(f, 20, 1.0, 100.0));
  const State6 Y = p.state();
  const double root = std::sqrt(rho * rho - L * L);
  // Local RK4 error ~ h^5/rho^4 per step: below 1e-9 cm over 20 steps.
  EXPECT_NEAR(Y[0], -(rho - root), 1e-8);
  EXPECT_NEAR(Y[1], -L / root, 1e-9);
  EXPECT_NEAR(Y[0], -0.641112, 1e-6);
  EXPECT_NEAR(Y[1], -0.0641772, 1e-7);
  EXPECT_EQ(Y[5], beta);  // a magnetic field does no work
}

TEST(PushZ, UniformBzTurnsTheSlopeVectorOnAHelix) {
  // Slopes rotate with kappa = qa K Bz S/(beta gamma):
  // x' = a cos(kz), y' = -a sin(kz), x = (a/k) sin(kz), y = (a/k)(cos(kz) - 1).
  const double beta = 0.1, gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double a = 0.01, L = 20.0, S = std::sqrt(1.0 + a * a);
  const double kappa = 1.0 * kForceK * 0.5 * S / (beta * gamma);
  EXPECT_NEAR(kappa * L, 0.320243, 1e-6);
  OneParticle p(0.0, a, 0.0, 0.0, 0.0, beta, 1.0);
  UniformField f;
  f.B = {0.0, 0.0, 5000.0};
  ASSERT_TRUE(p.push(f, 40, L / 40, 100.0));
  const State6 Y = p.state();
  const double kl = kappa * L;
  EXPECT_NEAR(Y[0], a / kappa * std::sin(kl), 1e-9);
  EXPECT_NEAR(Y[2], a / kappa * (std::cos(kl) - 1.0), 1e-9);
  EXPECT_NEAR(Y[1], a * std::cos(kl), 1e-10);
  EXPECT_NEAR(Y[3], -a * std::sin(kl), 1e-10);
  EXPECT_NEAR(Y[0], 0.196599, 1e-6);
  EXPECT_NEAR(Y[2], -0.031752, 1e-6);
  EXPECT_EQ(Y[5], beta);
}

TEST(PushZ, RungeKuttaErrorFallsWithTheFourthPowerOfTheStep) {
  // Bend case with steps h and h/2: the error ratio approaches 2^4 = 16.
  const double beta = 0.1, gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  const double rho = beta * gamma / (kForceK * 0.1);
  const double L = 80.0;
  const double x_exact = -(rho - std::sqrt(rho * rho - L * L));
  UniformField f;
  f.B = {0.0, 1000.0, 0.0};
  double err[2];
  for (int r = 0; r < 2; ++r) {
    const int n = 4 << r;
    OneParticle p(0.0, 0.0, 0.0, 0.0, 0.0, beta, 1.0);
    ASSERT_TRUE(p.push(f, n, L / n, 100.0));
    err[r] = std::abs(p.state()[0] - x_exact);
  }
  ASSERT_GT(err[1], 1e-11);  // well above rounding
  EXPECT_NEAR(err[0] / err[1], 16.0, 1.5);
}

TEST(PushZ, LossKeepsThePreStepStateAndShortStepsOnlyProbeTheStart) {
  const FieldAt<DriftAperture> box{{1.0, 1.0}};
  struct Case {
    const char* what;
    double x0, xp, h;
    bool lost;
    bool moved;
  } cases[] = {
      // Stages at 0.997 and the end point at 1.002: only the end-point probe fails.
      {"end point outside", 0.992, 0.01, 1.0, true, false},
      {"all inside", 0.90, 0.01, 1.0, false, true},
      {"start outside, short step", 1.5, 0.0, 1e-7, true, false},
      {"start inside, short step", 0.5, 0.0, 1e-7, false, false},
      {"start outside, full step", 1.0, -0.5, 1.0, true, false},
  };
  for (const auto& c : cases) {
    OneParticle p(c.x0, c.xp, 0.0, 0.0, 0.0, 0.1, 1.0);
    const State6 before = p.state();
    const bool lost = push_slot_z(box, p.view, 1, c.h, 10.0);
    EXPECT_EQ(lost, c.lost) << c.what;
    if (!c.moved) {
      EXPECT_EQ(p.state(), before) << c.what;
      EXPECT_EQ(p.z(), 0.0) << c.what;
    } else {
      EXPECT_NE(p.state()[0], before[0]) << c.what;
    }
  }
}

TEST(PushZ, StateOutsideTheEquationsOfMotionIsLostUnchanged) {
  // A particle that a field stops or reflects, or whose state is not finite,
  // is lost with nothing written back.
  UniformField stop;
  stop.E = {0.0, 0.0, -1e7};  // 1e7 V/cm against beta = 0.001 (0.47 keV/u)
  struct Case {
    const char* what;
    double x, beta;
  } cases[] = {{"stopped in the step", 0.0, 0.001},
               {"beta = 0", 0.0, 0.0},
               {"beta = 1", 0.0, 1.0},
               {"beta not finite", 0.0, std::nan("")},
               {"x not finite", std::nan(""), 0.1}};
  for (const auto& c : cases) {
    OneParticle p(c.x, 0.0, 0.0, 0.0, 0.0, c.beta, 1.0);
    const State6 before = p.state();
    const FieldAt<UniformField> f{stop};
    EXPECT_TRUE(push_slot_z(f, p.view, 1, 1.0, 10.0)) << c.what;
    const State6 after = p.state();
    for (int j = 0; j < 6; ++j)
      EXPECT_TRUE(after[j] == before[j] || (std::isnan(after[j]) && std::isnan(before[j])))
          << c.what;
  }
}

// ---- integrations through the run context --------------------------------

struct DriftSim {
  std::unique_ptr<Sim> sim = make_sim();
  DriftSim(double a, double b) {
    set_start_values(*sim);
    sim->state.itype = 1;
    sim->ref.drift_aper_x = a;
    sim->ref.drift_aper_y = b;
    sim->ref.wavelength_2pi = 10.0;
    sim->ref.qa_push = 1.0;
  }
};

TEST(PushZ, ProbeStepLeavesStateAndRecordsTheField) {
  auto sim = make_sim();
  UniformField u;
  u.E = {3.0, -2.0, 1.0};
  u.B = {10.0, 20.0, -30.0};
  const TrackedField<UniformField> f{sim.get(), {u}};
  sim->ref.qa_push = 1.0;
  sim->ref.wavelength_2pi = 10.0;
  State6 Y{0.1, 0.01, 0.2, 0.0, 0.0, 0.1};
  const State6 before = Y;
  double z = 4.0;
  rk4_z(*sim, f, z, 0.0, Y);
  EXPECT_EQ(Y, before);
  EXPECT_EQ(z, 4.0);
  EXPECT_DOUBLE_EQ(sim->ref.last_E[1], 3.0 * 100.0 / kC);
  EXPECT_DOUBLE_EQ(sim->ref.last_B[3], -30.0e-4);
  EXPECT_EQ(sim->ref.beta_s, 0.1);
  rk4_z(*sim, f, z, 5e-9, Y);  // below 1e-8 cm: no step
  EXPECT_EQ(z, 4.0);
}

TEST(PushZ, ParticleOfTheBlockPushedThroughTheRunContext) {
  DriftSim d(1.0, 1.0);
  Sim& sim = *d.sim;
  sim.particles.x[2][5] = 0.992;
  sim.particles.xp[2][5] = 0.01;
  sim.particles.beta[2][5] = 0.1;
  sim.particles.qa[2][5] = 0.25;
  push_particle_z(sim, 5, 2, 1.0);
  EXPECT_EQ(sim.state.ilost, -1);
  EXPECT_EQ(sim.particles.x[2][5], 0.992);
  EXPECT_EQ(sim.ref.qa_push, 0.25);
  sim.particles.x[2][5] = 0.5;
  push_particle_z(sim, 5, 2, 1.0);
  EXPECT_EQ(sim.state.ilost, 0);
  EXPECT_NEAR(sim.particles.x[2][5], 0.51, 1e-15);
  EXPECT_EQ(sim.particles.z[2][5], 1.0);
}

TEST(PushZ, IntegrationToTheElementEndComesBackOntoThePlane) {
  DriftSim d(0.0, 0.0);
  Sim& sim = *d.sim;
  sim.transport.step.exit_pz = 10.0;
  struct Case {
    double z0, h, z_before_back;
  } cases[] = {{0.0, 3.0, 12.0}, {12.0, 1.0, 13.0}, {0.0, 2.5, 10.0}};
  for (const auto& c : cases) {
    State6 Y{0.0, 0.01, 0.0, 0.0, 0.0, 0.1};
    double z = c.z0;
    double h = c.h;
    integrate_to_element_end(sim, z, h, Y);
    EXPECT_NEAR(z, 10.0, 1e-12);
    EXPECT_EQ(h, 10.0 - c.z_before_back);
    EXPECT_NEAR(Y[0], 0.01 * (10.0 - c.z0), 1e-14);
  }
  State6 Y{0.0, 0.0, 0.0, 0.0, 0.0, 0.1};
  double z = 0.0;
  double h = 0.0;
  EXPECT_THROW(integrate_to_element_end(sim, z, h, Y), FatalStop);
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

// Lanes pushed together give bit for bit the results of single pushes, in
// fields with and without force, with losses of every kind among the lanes,
// over three steps in which the lanes start from the end-of-step derivative
// they kept.
TEST(PushZ, LockstepLanesEqualSinglePushesBitForBit) {
  struct Field {
    const char* what;
    testing::UniformField u;
  } fields[] = {{"no field", {}}, {"Ez", {{0.0, 0.0, -2e6}, {}}}, {"B", {{}, {300.0, -800.0, 2000.0}}}};
  int total_reused = 0;
  for (const auto& f : fields) {
    for (double h : {1.0, 0.25, 5e-7}) {
      auto a = make_sim();
      auto b = make_sim();
      const int n = 103;
      for (Sim* s : {a.get(), b.get()}) {
        ParticleArrays& p = s->particles;
        for (int i = 0; i < n; ++i) {
          const double u = std::sin(1.37 * i), v = std::cos(0.91 * i);
          p.x[1][i] = 1.05 * u;
          p.xp[1][i] = 0.05 * v;
          p.y[1][i] = 0.6 * v;
          p.yp[1][i] = -0.04 * u;
          p.phase[1][i] = u * v;
          p.beta[1][i] = 0.002 + 0.01 * (1.0 + v);  // some are stopped by Ez
          p.qa[1][i] = 0.1 + 0.05 * (i % 3);
          p.z[1][i] = 0.5 * (i % 2);
        }
        p.beta[1][7] = 1.0;
        p.x[1][11] = std::nan("");
      }
      // A box aperture wrapped around the uniform field.
      struct Boxed {
        testing::UniformField u;
        bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
          u.element_field(x, y, z, t, E, B);
          return std::abs(x) < 1.0 && std::abs(y) < 0.5;
        }
      };
      const FieldAt<Boxed> field{{f.u}};
      const SlotView va = slot_view(*a, 1);
      const SlotView vb = slot_view(*b, 1);
      std::vector<double> kept(6 * n);
      std::vector<std::uint8_t> valid(n, 0);
      const FirstStageCache cache{kept.data(), valid.data()};
      int lost_count = 0;
      int reused = 0;
      for (int step = 0; step < 3; ++step)
      for (int i0 = 0; i0 < n; i0 += 4) {
        int slots[4] = {};
        int count = 0;
        for (int i = i0; i < std::min(i0 + 4, n); ++i)
          if (i % 5 != 3) slots[count++] = i;  // gaps as lost slots leave them
        bool lost[4];
        for (int l = 0; l < count; ++l) reused += valid[slots[l]];
        push_lanes_z<4>(field, vb, slots, count, h, 12.0, lost, cache);
        for (int l = 0; l < count; ++l) {
          const bool single = push_slot_z(field, va, slots[l], h, 12.0);
          EXPECT_EQ(lost[l], single) << f.what << " slot " << slots[l];
          lost_count += single;
        }
      }
      EXPECT_GT(lost_count, 5) << f.what;
      total_reused += reused;
      const ParticleArrays& pa = a->particles;
      const ParticleArrays& pb = b->particles;
      for (int i = 0; i < n; ++i) {
        const double va6[7] = {pa.x[1][i], pa.xp[1][i], pa.y[1][i], pa.yp[1][i], pa.phase[1][i], pa.beta[1][i], pa.z[1][i]};
        const double vb6[7] = {pb.x[1][i], pb.xp[1][i], pb.y[1][i], pb.yp[1][i], pb.phase[1][i], pb.beta[1][i], pb.z[1][i]};
        for (int j = 0; j < 7; ++j)
          EXPECT_TRUE(std::memcmp(&va6[j], &vb6[j], sizeof(double)) == 0)
              << f.what << " h " << h << " slot " << i << " value " << j;
      }
    }
  }
  // Steps 2 and 3 of the lanes that stayed in started from the kept
  // derivative (a step too short to take only probes its start and keeps
  // nothing).
  EXPECT_GT(total_reused, 300);
}

}  // namespace
}  // namespace linac
