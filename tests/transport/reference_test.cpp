// The reference path of a straight element and the design particle pushed
// along it: drift phase advance, energy gain in a uniform field with the
// sub-step control, the phase chain, and the design particles that cannot
// reach the end of the element.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/fatal.hpp"
#include "run/sim.hpp"
#include "transport/reference.hpp"
#include "uniform_field.hpp"

namespace linac {
namespace {

using testing::beta_of_w;
using testing::UniformField;

constexpr double kTwoPi = 6.283185307179586;
constexpr double kLambda = 29979245800.0 / 100e6;  // 100 MHz, cm

struct RefSim {
  std::unique_ptr<Sim> sim = make_sim();
  RefSim(double L, int nstep, double W_in) {
    set_start_values(*sim);
    Sim& s = *sim;
    s.ref.QDESIGN = 1.0;
    s.ref.ADESIGN = 4.0;
    s.ref.wavelength_2pi = kLambda / kTwoPi;
    s.state.ipos = 5;
    s.state.itype = 1;
    s.elements.elem_name[5] = "drift";
    s.ref.nstep = nstep;
    s.ref.elem_len = L;
    s.history.ref_W_in[5] = W_in;
    ref_path_straight(s, L);
  }
  const RefPath& path() const { return sim->ref_path; }
};

TEST(Reference, StraightPathRows) {
  RefSim r(12.0, 4, 1000.0);
  const StepGeometry& g = r.sim->transport.step;
  EXPECT_EQ(g.exit_pz, 12.0);
  EXPECT_EQ(g.exit_nz, 1.0);
  EXPECT_EQ(g.exit_nx, 0.0);
  for (int k = 0; k <= 4; ++k) {
    EXPECT_EQ(r.path()(k, kRefS), 3.0 * k);
    EXPECT_EQ(r.path()(k, kRefZ), 3.0 * k);
    EXPECT_EQ(r.path()(k, kRefX), 0.0);
    EXPECT_EQ(r.path()(k, kRefDirZ), 1.0);
    EXPECT_EQ(r.path()(k, kRefDirX), 0.0);
    EXPECT_EQ(r.path()(k, kRefInvR), 0.0);
  }
}

TEST(Reference, DriftAdvancesThePhaseByTheTimeOfFlight) {
  // Phase out = 2 pi L/(beta lambda): 22.63361 rad for 1000 keV/u, 50 cm, 100 MHz.
  RefSim r(50.0, 7, 1000.0);
  Sim& s = *r.sim;
  s.current.scur = 2.5;
  ref_particle_element(s);
  const double expected = kTwoPi * 50.0 / (beta_of_w(1000.0) * kLambda);
  EXPECT_NEAR(s.history.ref_phase_out[5], expected, 1e-12 * expected);
  EXPECT_NEAR(s.history.ref_phase_out[5], 22.63361, 5e-6);
  EXPECT_NEAR(s.history.ref_W_out[5], 1000.0, 1e-9);
  EXPECT_EQ(s.ref.w0, s.history.ref_W_out[5]);
  EXPECT_EQ(s.current.scur, 2.5);  // restored after the push
  for (int k = 0; k <= 7; ++k)
    EXPECT_NEAR(r.path()(k, kRefPhase), expected * k / 7, 1e-12 * expected) << k;
  EXPECT_EQ(r.path()(0, kRefW), 1000.0);
  // The same element again gives the same columns, bit for bit.
  const RefPath first = s.ref_path;
  ref_particle_element(s);
  for (int k = 0; k <= 7; ++k) {
    EXPECT_EQ(s.ref_path(k, kRefPhase), first(k, kRefPhase));
    EXPECT_EQ(s.ref_path(k, kRefW), first(k, kRefW));
  }
}

TEST(Reference, PhaseChainStartsFromThePreviousExitPhase) {
  RefSim r(10.0, 2, 500.0);
  Sim& s = *r.sim;
  s.history.ref_phase_out[4] = 1.25;
  s.state.iflag_chain = 1;
  ref_particle_element(s);
  const double advance = kTwoPi * 10.0 / (beta_of_w(500.0) * kLambda);
  EXPECT_EQ(r.path()(0, kRefPhase), 1.25);
  EXPECT_NEAR(s.history.ref_phase_out[5], 1.25 + advance, 1e-12 * advance);
  s.state.iflag_chain = 0;
  ref_particle_element(s);
  EXPECT_NEAR(s.history.ref_phase_out[5], advance, 1e-12 * advance);
}

TEST(Reference, NegativeDesignChargeTakesTheSameSteps) {
  RefSim r(30.0, 3, 1000.0);
  Sim& s = *r.sim;
  ref_particle_element(s);
  const double positive = s.history.ref_phase_out[5];
  s.ref.QDESIGN = -1.0;
  ref_particle_element(s);
  EXPECT_EQ(s.history.ref_phase_out[5], positive);
}

// Counts the evaluations and keeps the largest z asked for.
struct CountingField {
  UniformField u;
  mutable int calls = 0;
  mutable double z_max = -1.0;
  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    ++calls;
    z_max = std::max(z_max, z);
    return u.element_field(x, y, z, t, E, B);
  }
};

TEST(Reference, UniformEzGainWithSubSteps) {
  // In a uniform Ez the design particle's gamma grows linearly:
  // W(z) = W_in + (Q/A) K (Ez 100/c) amu z = W_in + (Q/A) Ez z/1000 (to 1.5e-8).
  struct Case {
    double W_in;
    int nstep;
    bool substeps;
    double tol;  // relative; RK4 error of sub-steps that change beta by up to 5 %
  } cases[] = {{1000.0, 20, false, 1e-9}, {100.0, 2, true, 1e-6}};
  for (const auto& c : cases) {
    const double L = 20.0, Ez = 1e4, qa = 0.25;
    RefSim r(L, c.nstep, c.W_in);
    Sim& s = *r.sim;
    CountingField cf;
    cf.u.E = {0.0, 0.0, Ez};
    const TrackedField<CountingField> field{&s, {cf}};
    ref_particle_element(s, field);
    const CountingField& used = field.field.source;
    EXPECT_EQ(used.calls > 5 * c.nstep, c.substeps);
    EXPECT_NEAR(used.z_max, L, 1e-6);
    for (int k = 0; k <= c.nstep; ++k) {
      const double z = L * k / c.nstep;
      const double W = c.W_in + qa * kForceK * (Ez * 100.0 / 299792458.0) * z * 931494.3200000001;
      EXPECT_NEAR(r.path()(k, kRefW), W, c.tol * W) << k;
    }
    EXPECT_NEAR(s.history.ref_W_out[5] - c.W_in, qa * Ez * L / 1000.0, 1e-7 * 100.0 + c.tol * 200.0);
    EXPECT_EQ(s.ref.w0, s.history.ref_W_out[5]);
  }
}

TEST(Reference, DesignParticleThatCannotReachTheEndStopsTheRun) {
  RefSim r(20.0, 2, 10.0);
  Sim& s = *r.sim;
  UniformField u;
  u.E = {0.0, 0.0, -1e4};  // 20 cm at qa 1/4 would take 50 keV/u from 10 keV/u
  const TrackedField<UniformField> field{&s, {u}};
  try {
    ref_particle_element(s, field);
    FAIL() << "no stop";
  } catch (const FatalStop& stop) {
    EXPECT_NE(stop.lines().front().find("element 5 (drift)"), std::string::npos);
    EXPECT_NE(stop.lines().front().find("design particle"), std::string::npos);
  }
}

TEST(Reference, EndsOfAnElementWithoutLength) {
  RefSim r(0.0, 1, 800.0);
  Sim& s = *r.sim;
  s.history.ref_phase_out[5] = 0.5;
  s.history.ref_W_out[5] = 810.0;
  ref_path_ends(s);
  EXPECT_EQ(r.path()(0, kRefPhase), 0.0);
  EXPECT_EQ(r.path()(0, kRefW), 800.0);
  EXPECT_EQ(r.path()(1, kRefPhase), 0.5);
  EXPECT_EQ(r.path()(1, kRefW), 810.0);
  EXPECT_EQ(s.ref.w0, 810.0);
}

}  // namespace
}  // namespace linac
