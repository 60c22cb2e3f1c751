// The drift element on the stepping template: its step rule, transport of
// every charge state, the loss bookkeeping of rectangular and elliptical
// apertures, the phase chain, the seams that stop a run, and results that do
// not depend on the number of threads.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>

#include "beam/lost_coord.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "platform/fatal.hpp"
#include "test_support.hpp"
#include "transport/drift.hpp"
#include "transport/frame.hpp"
#include "straight_line_loss.hpp"
#include "uniform_field.hpp"

namespace linac {
namespace {

using testing::beta_of_w;
using testing::first_outside_step;

constexpr double kLambda = 29979245800.0 / 100e6;  // 100 MHz, cm

// A run context with a lattice of drift lines 1..n_lines, positioned before
// line 1, and its lost.dat open.
struct DriftRun {
  testing::TempDir tmp;
  std::unique_ptr<Sim> sim = make_sim();
  explicit DriftRun(double W = 1000.0) {
    Sim& s = *sim;
    set_start_values(s);
    set_remaining_defaults(s);
    s.units.set_directory(tmp.path());
    s.units.open(kUnitLost, "lost.dat");
    s.config.IGRAPH = 0;
    s.ref.FREQB = 100e6;
    s.ref.harm = 1.0;
    s.ref.wavelength = kLambda;
    s.ref.wavelength_2pi = kLambda / kTwoPi;
    s.ref.QDESIGN = 1.0;
    s.ref.ADESIGN = 4.0;
    s.ref.w0 = W;
    s.config.iel_first = 1;
    s.state.ipass = 1;
    s.state.ipos = 0;
    s.history.ref_W_out[0] = W;
    reset_element_frame(s);
  }
  Sim& operator*() { return *sim; }
  void line(int n, double L, double ax, double ay, int nstep) {
    Sim& s = *sim;
    s.elements.elem_name[n] = "drift";
    s.elements.elem_par[n][1] = L;
    s.elements.elem_par[n][2] = ax;
    s.elements.elem_par[n][3] = ay;
    s.elements.elem_int[n][11] = nstep;
  }
  // Charge state iq with particles at (x, x', y, y') and the design energy.
  void beam(int iq, const std::vector<std::array<double, 4>>& coords, double qa) {
    Sim& s = *sim;
    s.config.NQTOT = std::max(s.config.NQTOT, iq);
    s.config.NPAT[iq] = static_cast<int>(coords.size()) - 1;
    s.config.QQ[iq] = qa * 4.0;
    s.config.AMASS[iq] = 4.0;
    const double beta = beta_of_w(s.ref.w0);
    for (std::size_t i = 0; i < coords.size(); ++i) {
      ParticleArrays& p = s.particles;
      p.x[iq][i] = coords[i][0];
      p.xp[iq][i] = coords[i][1];
      p.y[iq][i] = coords[i][2];
      p.yp[iq][i] = coords[i][3];
      p.phase[iq][i] = 0.0;
      p.beta[iq][i] = beta;
      p.qa[iq][i] = qa;
      p.z[iq][i] = 0.0;
      p.status[iq][i] = kLive;
    }
  }
  std::vector<std::string> lost_lines() {
    sim->units.close_all();
    auto lines = testing::read_lines(tmp / "lost.dat");
    return lines;
  }
};

std::vector<double> lost_fields(const std::string& rec) {
  std::vector<double> v;
  for (std::size_t pos = 23; pos + 12 <= rec.size(); pos += 12) v.push_back(std::stod(rec.substr(pos, 12)));
  return v;
}

TEST(DriftElement, StepRule) {
  // L = 10 cm, beta = 0.1, RF wavelength 100 cm: trunc(10/2.5) + 1 = 5 steps.
  const double wl2pi = 100.0 / kTwoPi;
  struct Case {
    int given;
    double L, beta;
    double steps;
  } cases[] = {{0, 10.0, 0.1, 5.0},  {1, 10.0, 0.1, 2.0},   {-3, 10.0, 0.1, 2.0},
               {7, 10.0, 0.1, 7.0},  {0, 0.0, 0.1, 2.0},    {0, 9.99, 0.1, 4.0},
               {0, 300.0, 0.01, 1201.0}};
  for (const auto& c : cases)
    EXPECT_EQ(drift_step_count(c.given, c.L, c.beta, wl2pi), c.steps) << c.given << " " << c.L;
}

TEST(DriftElement, TooManyStepsStopTheRunNamingTheElement) {
  DriftRun r(4.6572);  // beta = 0.0099999
  (*r).ref.wavelength_2pi = 100.0 / kTwoPi;
  const double steps = std::trunc(300.0 / (beta_of_w(4.6572) * 25.0)) + 1.0;
  ASSERT_GT(steps, 1040.0);
  r.line(3, 300.0, 0.0, 0.0, 0);
  r.beam(1, {{0, 0, 0, 0}, {0.1, 0, 0, 0}, {0, 0, 0.1, 0}, {0.1, 0, 0.1, 0}}, 0.25);
  (*r).state.ipos = 2;
  try {
    drift_element(*r, 3);
    FAIL() << "no stop";
  } catch (const FatalStop& stop) {
    EXPECT_NE(stop.lines().front().find("element 3 (drift)"), std::string::npos);
    EXPECT_NE(stop.lines().front().find(std::to_string(static_cast<int>(steps))), std::string::npos);
  }
  r.line(3, 300.0, 0.0, 0.0, 1041);
  (*r).state.ipos = 2;
  EXPECT_THROW(drift_element(*r, 3), FatalStop);
  r.line(3, 300.0, 0.0, 0.0, 1040);
  (*r).state.ipos = 2;
  EXPECT_NO_THROW(drift_element(*r, 3));
  // No design velocity: no step count can be derived.
  (*r).ref.w0 = 0.0;
  r.line(3, 0.0, 0.0, 0.0, 0);
  (*r).state.ipos = 2;
  EXPECT_THROW(drift_element(*r, 3), FatalStop);
}

TEST(DriftElement, MovesEveryChargeStateOnStraightLines) {
  DriftRun r(1000.0);
  Sim& s = *r;
  const double L = 50.0;
  r.line(1, L, 0.0, 0.0, 0);
  const std::vector<std::array<double, 4>> c1 = {
      {0, 0, 0, 0}, {0.3, 0.002, -0.1, 0.0}, {-0.2, -0.001, 0.25, 0.003}, {0.01, 0.0, 0.02, -0.004}};
  const std::vector<std::array<double, 4>> c2 = {
      {0, 0, 0, 0}, {0.1, 0.001, 0.1, 0.001}, {-0.1, -0.002, 0.05, 0.0}, {0.2, 0.0, -0.2, 0.002}};
  r.beam(1, c1, 0.25);
  r.beam(2, c2, 0.5);
  drift_element(s, 1);
  EXPECT_EQ(s.state.ipos, 1);
  EXPECT_EQ(s.state.imoved, 1);
  EXPECT_EQ(s.state.itype, 1);
  const double beta = beta_of_w(1000.0);
  // Step rule: trunc(L/(beta lambda/4)) + 1.
  EXPECT_EQ(s.ref.nstep, static_cast<int>(std::trunc(L / (beta * kLambda / 4.0))) + 1);
  // Reference: phase 2 pi L/(beta lambda) = 22.63361 rad, energy unchanged.
  const double phase_out = kTwoPi * L / (beta * kLambda);
  EXPECT_NEAR(s.history.ref_phase_out[1], phase_out, 1e-12 * phase_out);
  EXPECT_NEAR(s.history.ref_phase_out[1], 22.63361, 5e-6);
  EXPECT_EQ(s.history.ref_W_in[1], 1000.0);
  EXPECT_NEAR(s.history.ref_W_out[1], 1000.0, 1e-9);
  EXPECT_EQ(s.history.elem_rf_phase[1], 0.0);
  for (int iq = 1; iq <= 2; ++iq) {
    const auto& c = iq == 1 ? c1 : c2;
    for (int i = 0; i < 4; ++i) {
      const ParticleArrays& p = s.particles;
      EXPECT_NEAR(p.x[iq][i], c[i][0] + c[i][1] * L, 1e-12 * std::abs(c[i][0] + c[i][1] * L) + 1e-15);
      EXPECT_NEAR(p.y[iq][i], c[i][2] + c[i][3] * L, 1e-12 * std::abs(c[i][2] + c[i][3] * L) + 1e-15);
      EXPECT_EQ(p.xp[iq][i], c[i][1]);
      EXPECT_EQ(p.yp[iq][i], c[i][3]);
      EXPECT_EQ(p.beta[iq][i], beta);
      EXPECT_EQ(p.z[iq][i], 0.0);
      EXPECT_EQ(p.status[iq][i], kLive);
      // Phases relative to the design particle: 2 pi L (S - 1)/(beta lambda).
      const double S = std::sqrt(1.0 + c[i][1] * c[i][1] + c[i][3] * c[i][3]);
      EXPECT_NEAR(p.phase[iq][i], phase_out * (S - 1.0), 1e-12 * phase_out);
    }
  }
  EXPECT_EQ(r.lost_lines().size(), 0u);
  // The element frame advanced by the drift.
  EXPECT_EQ(s.frame.exit.origin[2], L);
}

TEST(DriftElement, ApertureLosesExactlyTheParticlesOutside) {
  struct Shape {
    const char* what;
    double ax, ay;
  } shapes[] = {{"rectangle", 1.0, 0.6}, {"ellipse", 1.0, -0.6}};
  for (const auto& shape : shapes) {
    DriftRun r(1000.0);
    Sim& s = *r;
    const double L = 20.0;
    const int nstep = 20;
    r.line(1, L, shape.ax, shape.ay, nstep);
    s.ref.z_entry = 100.0;
    // A fan of particles: a grid of start points and slopes.
    std::vector<std::array<double, 4>> c;
    c.push_back({0, 0, 0, 0});
    for (int ix = -3; ix <= 3; ++ix)
      for (int iy = -2; iy <= 2; ++iy)
        for (int is = -1; is <= 1; ++is)
          c.push_back({0.25 * ix, 0.02 * is + 0.003 * iy, 0.2 * iy, -0.015 * is + 0.002 * ix});
    r.beam(1, c, 0.25);
    drift_element(s, 1);
    const auto lines = r.lost_lines();
    const double h = L / nstep;
    std::size_t expected_losses = 0;
    std::vector<std::pair<int, int>> order;  // (step, slot) of the expected records
    for (std::size_t i = 0; i < c.size(); ++i) {
      const int k = first_outside_step(c[i][0], c[i][1], c[i][2], c[i][3], shape.ax, shape.ay, nstep, h);
      const ParticleArrays& p = s.particles;
      if (k == 0) {
        EXPECT_EQ(p.status[1][i], kLive) << shape.what << " slot " << i;
        continue;
      }
      ++expected_losses;
      order.push_back({k, static_cast<int>(i)});
      EXPECT_EQ(p.status[1][i], kLost) << shape.what << " slot " << i;
      // Stored z: lab path position of the start of the step.
      EXPECT_NEAR(p.z[1][i], 100.0 + (k - 1) * h, 1e-12) << shape.what << " slot " << i;
      // The particle keeps its state from before the failed step.
      EXPECT_NEAR(p.x[1][i], c[i][0] + c[i][1] * (k - 1) * h, 1e-12) << shape.what << " slot " << i;
    }
    ASSERT_EQ(lines.size(), expected_losses) << shape.what;
    std::sort(order.begin(), order.end());
    for (std::size_t j = 0; j < order.size(); ++j) {
      const auto [k, i] = order[j];
      const auto v = lost_fields(lines[j]);
      EXPECT_EQ(lines[j].substr(0, 11), "   1  drift");
      // Element-frame position before the failed step, z inside the element.
      EXPECT_NEAR(v[6], c[i][0] + c[i][1] * (k - 1) * h, 1e-3) << shape.what << " record " << j;
      EXPECT_NEAR(v[7], c[i][2] + c[i][3] * (k - 1) * h, 1e-3) << shape.what << " record " << j;
      EXPECT_NEAR(v[8], (k - 1) * h, 1e-3) << shape.what << " record " << j;
      // Lab position: the first element stands at the lab origin.
      EXPECT_NEAR(v[0], v[6], 1e-3);
      EXPECT_NEAR(v[2], v[8], 1e-3);
    }
  }
}

TEST(DriftElement, ParticleLostByTheEndPointProbeShowsItsPreStepState) {
  // 1 x 1 cm box, x0 = 0.902, x' = 0.01, 20 steps of 1 cm: x = 1.002 at the
  // end of step 10; no stage of step 9 reaches 1.
  DriftRun r(1000.0);
  Sim& s = *r;
  r.line(1, 20.0, 1.0, 1.0, 20);
  s.ref.z_entry = 35.0;
  r.beam(1, {{0, 0, 0, 0}, {0.902, 0.01, 0, 0}, {0.1, 0, 0, 0}, {0, 0, 0.1, 0}}, 0.25);
  // The second element: its lab position in lost.dat continues from the first.
  place_element(s, 0.0, 35.0, 1.0, 0.0);
  drift_element(s, 1);
  const auto lines = r.lost_lines();
  ASSERT_EQ(lines.size(), 1u);
  const auto v = lost_fields(lines[0]);
  EXPECT_NEAR(v[6], 0.992, 1e-9);
  EXPECT_NEAR(v[8], 9.0, 1e-9);
  EXPECT_NEAR(v[2], 35.0 + 9.0, 1e-9);  // lab z
  EXPECT_EQ(s.particles.z[1][1], 35.0 + 9.0);
  EXPECT_EQ(s.particles.status[1][1], kLost);
}

TEST(DriftElement, LossesAreRecordedByStepThenChargeStateThenSlot) {
  DriftRun r(1000.0);
  Sim& s = *r;
  r.line(1, 10.0, 1.0, 1.0, 10);
  // Charge state 1 loses slot 3 in step 5 and slot 1 in step 8;
  // charge state 2 loses slot 2 in step 5 and slot 4 in step 2.
  r.beam(1, {{0, 0, 0, 0}, {0.25, 0.1, 0, 0}, {0, 0, 0, 0}, {0.55, 0.1, 0, 0}, {0, 0, 0.5, 0}}, 0.25);
  r.beam(2, {{0, 0, 0, 0}, {0, 0, 0, 0}, {-0.55, -0.1, 0, 0}, {0, 0, 0.2, 0}, {0.85, 0.1, 0, 0}}, 0.5);
  drift_element(s, 1);
  const auto lines = r.lost_lines();
  ASSERT_EQ(lines.size(), 4u);
  const double expected_z[] = {1.0, 4.0, 4.0, 7.0};
  const double expected_q[] = {2.0, 1.0, 2.0, 1.0};
  const double expected_x[] = {0.95, 0.95, -0.95, 0.95};
  for (int j = 0; j < 4; ++j) {
    const auto v = lost_fields(lines[j]);
    EXPECT_NEAR(v[8], expected_z[j], 1e-9) << j;
    EXPECT_NEAR(v[6], expected_x[j], 1e-9) << j;
    EXPECT_EQ(std::stod(lines[j].substr(11, 6)), expected_q[j]) << j;
  }
}

TEST(DriftElement, PhaseChainCarriesTheElementPhaseAndKeepsAbsolutePhases) {
  DriftRun r(1000.0);
  Sim& s = *r;
  r.line(1, 10.0, 0.0, 0.0, 4);
  r.line(2, 15.0, 0.0, 0.0, 4);
  r.beam(1, {{0, 0, 0, 0}, {0.1, 0, 0, 0}, {0, 0, 0.1, 0}, {0.1, 0.01, 0, 0}}, 0.25);
  s.state.iflag_chain = 1;
  s.history.elem_rf_phase[0] = 0.75;
  s.history.ref_phase_out[0] = 0.5;
  drift_element(s, 1);
  drift_element(s, 2);
  const double beta = beta_of_w(1000.0);
  const double d1 = kTwoPi * 10.0 / (beta * kLambda), d2 = kTwoPi * 15.0 / (beta * kLambda);
  EXPECT_EQ(s.history.elem_rf_phase[1], 0.75);
  EXPECT_EQ(s.history.elem_rf_phase[2], 0.75);
  EXPECT_NEAR(s.history.ref_phase_out[1], 0.5 + d1, 1e-12 * d1);
  EXPECT_NEAR(s.history.ref_phase_out[2], 0.5 + d1 + d2, 1e-12 * d1);
  // Particle phases stay absolute (they started at 0).
  EXPECT_NEAR(s.particles.phase[1][1], d1 + d2, 1e-12 * d1);
}

TEST(DriftElement, ErrorPassRepeatsTheNominalReference) {
  DriftRun r(1000.0);
  Sim& s = *r;
  r.line(1, 10.0, 0.0, 0.0, 4);
  r.beam(1, {{0, 0, 0, 0}, {0.1, 0, 0, 0}, {0, 0, 0.1, 0}, {0.1, 0.01, 0, 0}}, 0.25);
  drift_element(s, 1);
  const double out = s.history.ref_phase_out[1];
  // Second pass with a different design energy standing: the drift starts from
  // the stored entrance energy.
  s.state.ipass = 2;
  s.state.ipos = 0;
  s.ref.w0 = 2000.0;
  r.beam(1, {{0, 0, 0, 0}, {0.1, 0, 0, 0}, {0, 0, 0.1, 0}, {0.1, 0.01, 0, 0}}, 0.25);
  drift_element(s, 1);
  EXPECT_EQ(s.history.ref_phase_out[1], out);
  EXPECT_EQ(s.history.ref_W_in[1], 1000.0);
  EXPECT_NEAR(s.ref.w0, 1000.0, 1e-9);
}

TEST(DriftElement, SeamsStopTheRunInsteadOfSkippingPhysics) {
  struct Case {
    const char* what;
    const char* message;
    void (*setup)(ControlContext&);
  } cases[] = {
      {"beam current in a drift without aperture", "aperture half size aper_x = 0 cm",
       [](ControlContext& s) { s.current.scur = 1.0; }},
      {"ebfld", "ebfld", [](ControlContext& s) { s.config.iflag_ebfld = 1; }},
  };
  for (const auto& c : cases) {
    DriftRun r(1000.0);
    Sim& s = *r;
    r.line(1, 10.0, 0.0, 0.0, 4);
    r.beam(1, {{0, 0, 0, 0}, {0.1, 0, 0, 0}, {0, 0, 0.1, 0}, {0.1, 0.01, 0, 0}}, 0.25);
    c.setup(s);
    try {
      drift_element(s, 1);
      ADD_FAILURE() << c.what << ": no stop";
    } catch (const FatalStop& stop) {
      std::string all;
      for (const auto& l : stop.lines()) all += l;
      EXPECT_NE(all.find(c.message), std::string::npos) << c.what << ": " << all;
    }
  }
  // In the error-drawing pass the drift draws the deviates of its position
  // and leaves the beam where it is.
  {
    DriftRun r(1000.0);
    Sim& s = *r;
    r.line(1, 10.0, 0.0, 0.0, 4);
    r.beam(1, {{0, 0, 0, 0}, {0.1, 0, 0, 0}, {0, 0, 0.1, 0}, {0.1, 0.01, 0, 0}}, 0.25);
    s.state.idraw = 1;
    drift_element(s, 1);
    EXPECT_EQ(s.state.ipos, 1);
    EXPECT_EQ(s.particles.x[1][3], 0.1);
    EXPECT_EQ(s.particles.z[1][3], 0.0);
    EXPECT_GT(s.elements.elem_err[1][1], 0.0);
    EXPECT_GT(s.elements.elem_err[1][9], 0.0);
  }
  // vary and fit do nothing, not even take a position.
  DriftRun r;
  vary_cmd(*r, 1);
  fit_cmd(*r, 1);
  EXPECT_EQ((*r).state.ipos, 0);
}

TEST(DriftElement, StatisticsAfterEveryStepOnlyWithPlots) {
  // The statistics of step k leave the beam maxima in row k - 1 of the
  // reference path: with IGRAPH = 0 only steps 0 and nstep take statistics.
  for (int igraph : {0, 1}) {
    DriftRun r(1000.0);
    Sim& s = *r;
    s.config.IGRAPH = igraph;
    s.config.DWWMAX = 1.0;  // maxima of the particles with |dW/W| < 1
    r.line(1, 10.0, 0.0, 0.0, 5);
    r.beam(1, {{0, 0, 0, 0}, {0.1, 0.01, 0, 0}, {0, 0, 0.1, 0}, {-0.1, 0.01, 0, 0}}, 0.25);
    drift_element(s, 1);
    const RefPath& path = s.ref_path;
    EXPECT_NEAR(path(-1, kRefBeamMax), 0.1, 1e-12) << igraph;  // step 0
    EXPECT_NEAR(path(4, kRefBeamMax), 0.2, 1e-12) << igraph;   // step 5: |x| = 0.1 + 0.01 * 10
    for (int k = 1; k <= 4; ++k) {
      const double expected = igraph == 1 ? 0.1 + 0.01 * 2.0 * k : 0.0;
      EXPECT_NEAR(path(k - 1, kRefBeamMax), expected, 1e-12) << igraph << " step " << k;
    }
  }
}

TEST(DriftElement, ResultsDoNotDependOnTheThreadCount) {
  std::vector<std::array<double, 4>> c;
  for (int i = 0; i < 5001; ++i) {
    const double u = std::sin(1.7 * i), v = std::cos(2.3 * i), w = std::sin(0.37 * i + 1.0);
    c.push_back({0.9 * u, 0.01 * v, 0.5 * w, 0.012 * u * v});
  }
  std::string lost[2];
  std::vector<double> xs[2];
  const int saved = omp_get_max_threads();
  for (int run = 0; run < 2; ++run) {
    omp_set_num_threads(run == 0 ? 1 : 4);
    DriftRun r(1000.0);
    Sim& s = *r;
    r.line(1, 30.0, 1.0, -0.8, 0);
    r.beam(1, c, 0.25);
    r.beam(2, c, 0.5);
    drift_element(s, 1);
    for (int iq = 1; iq <= 2; ++iq)
      for (std::size_t i = 0; i < c.size(); ++i) {
        xs[run].push_back(s.particles.x[iq][i]);
        xs[run].push_back(s.particles.phase[iq][i]);
        xs[run].push_back(s.particles.z[iq][i]);
      }
    s.units.close_all();
    lost[run] = testing::read_file(r.tmp / "lost.dat");
  }
  omp_set_num_threads(saved);
  EXPECT_GT(lost[0].size(), 1000u);
  EXPECT_EQ(lost[0], lost[1]);
  EXPECT_EQ(xs[0], xs[1]);
}

// With the plots on, the statistics of every step of a drift taken on the
// way through all its steps equal those taken after each step, bit for bit:
// the step rows, the beam maxima of the reference path, the exit record,
// moments and counts, lost.dat and the particles. A beam of several chunks
// per state, a state outside the statistics range (counts only), test
// particles, particles lost before and in the drift, energies outside the
// acceptance and the limit of the maxima, phases beyond one turn; with the
// statistics of every step, of the ends only (istat_mode = 1), and mean
// phases kept from an RFQ; one and four threads.
TEST(DriftElement, StatisticsOnTheWayEqualThoseAfterEachStep) {
  struct Case {
    const char* what;
    int istat_mode;
    int iriarfq;
  } cases[] = {{"every step", 0, 0}, {"ends only", 1, 0}, {"rfq mean phases", 0, 1}};
  const int saved = omp_get_max_threads();
  for (const Case& cs : cases) {
    struct Result {
      std::vector<double> numbers;
      std::vector<std::int32_t> counts;
      std::string lost;
      int steps_taken = 0;
    };
    std::vector<Result> results;
    for (const int threads : {1, 4})
      for (const bool whole : {false, true}) {
        omp_set_num_threads(threads);
        DriftRun r(1000.0);
        Sim& s = *r;
        s.config.IGRAPH = 1;
        s.config.DWWACC = 0.03;
        s.config.DWWMAX = 0.025;
        s.config.nqtot0 = 1;
        s.config.nqtot1 = 2;
        s.state.istat_mode = cs.istat_mode;
        s.state.IRIARFQ = cs.iriarfq;
        s.qphase.qstate_phase_origin = {0.0, 0.3, -0.2, 0.1};
        s.transport.whole_element_push = whole;
        const int nstep = 7;
        r.line(1, 14.0, 1.0, -0.8, nstep);
        const std::array<int, 4> sizes{0, 9008, 5001, 3001};
        for (int iq = 1; iq <= 3; ++iq) {
          std::vector<std::array<double, 4>> c;
          for (int i = 0; i < sizes[iq]; ++i) {
            const double u = std::sin(1.7 * i + iq), v = std::cos(2.3 * i), w = std::sin(0.37 * i + 1.0);
            c.push_back({0.8 * u, 0.02 * v, 0.5 * w, 0.015 * u * v});
          }
          r.beam(iq, c, 0.25 * iq);
          ParticleArrays& p = s.particles;
          for (int i = 0; i < sizes[iq]; ++i) {
            p.phase[iq][i] = 5.0 * std::sin(0.91 * i);
            p.beta[iq][i] = beta_of_w(1000.0 * (1.0 + 0.035 * std::cos(0.53 * i + iq)));
            p.status[iq][i] = i % 89 == 3 ? kLost : (i % 7 == 1 ? 2 : kLive);
          }
        }
        // The last 7 slots of state 1 are test particles.
        s.config.NPAT[1] = sizes[1] - 8;
        s.npat.ntest[1] = 7;
        drift_element(s, 1);
        Result res;
        res.steps_taken = s.stats.step_sums.steps;
        const RefPath& path = s.ref_path;
        for (int k = -1; k <= nstep; ++k)
          for (int col = 0; col < kRefCols; ++col) res.numbers.push_back(path(k, col));
        for (int k = 0; k <= nstep; ++k)
          for (const double v : s.stats.step_stats[static_cast<std::size_t>(k)].v) res.numbers.push_back(v);
        const ElementStatsRow& row = s.stats.element_stats[1];
        const double* first = &row.exn_rms4;
        res.numbers.insert(res.numbers.end(), first, first + sizeof(row) / sizeof(double));
        const BeamMoments& bm = s.beam_moments;
        for (const auto* a : {&bm.twiss_alpha, &bm.twiss_beta, &bm.twiss_gamma, &bm.eps_rms, &bm.eps_max})
          res.numbers.insert(res.numbers.end(), a->begin(), a->end());
        res.numbers.insert(res.numbers.end(), bm.centroid.begin(), bm.centroid.end());
        for (const auto& line : bm.sigma) res.numbers.insert(res.numbers.end(), line.begin(), line.end());
        res.numbers.push_back(s.ref.w_origin);
        res.numbers.push_back(s.ref.phase_origin);
        res.counts = {s.stats.position_counts.n_live[1], s.stats.position_counts.n_lost[1]};
        for (int iq = 1; iq <= 3; ++iq)
          for (int i = 0; i < sizes[iq]; ++i) {
            res.numbers.push_back(s.particles.x[iq][i]);
            res.numbers.push_back(s.particles.yp[iq][i]);
            res.numbers.push_back(s.particles.phase[iq][i]);
            res.counts.push_back(s.particles.status[iq][i]);
          }
        s.units.close_all();
        res.lost = testing::read_file(r.tmp / "lost.dat");
        results.push_back(std::move(res));
      }
    omp_set_num_threads(saved);
    // Runs: 1 thread step by step, 1 thread on the way, 4 threads the same.
    const Result& ref = results[0];
    EXPECT_GT(ref.lost.size(), 1000u) << cs.what;
    EXPECT_EQ(ref.steps_taken, 0) << cs.what;
    EXPECT_EQ(results[1].steps_taken, cs.istat_mode == 0 ? 6 : 0) << cs.what;
    // The step rows of the intermediate steps were filled.
    // The rms x of step 3 (after the nstep + 2 rows of the reference path)
    // is taken only with the statistics of every step.
    const std::size_t rms_x_step3 = 9 * kRefCols + 3 * 10 + 1;
    if (cs.istat_mode == 0) EXPECT_GT(ref.numbers[rms_x_step3], 0.0) << cs.what;
    else EXPECT_EQ(ref.numbers[rms_x_step3], 0.0) << cs.what;
    for (std::size_t run = 1; run < results.size(); ++run) {
      const Result& got = results[run];
      ASSERT_EQ(got.numbers.size(), ref.numbers.size()) << cs.what;
      std::size_t differ = 0;
      for (std::size_t j = 0; j < ref.numbers.size(); ++j)
        if (std::memcmp(&got.numbers[j], &ref.numbers[j], sizeof(double)) != 0 && differ++ < 5)
          ADD_FAILURE() << cs.what << ", run " << run << ": number " << j << " is " << got.numbers[j]
                        << ", step by step " << ref.numbers[j];
      EXPECT_EQ(differ, 0u) << cs.what << ", run " << run;
      EXPECT_EQ(got.counts, ref.counts) << cs.what << ", run " << run;
      EXPECT_EQ(got.lost, ref.lost) << cs.what << ", run " << run;
    }
  }
}

}  // namespace
}  // namespace linac
