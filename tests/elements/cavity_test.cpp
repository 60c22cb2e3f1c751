// The RF cavity against the thin-gap picture of a Gaussian gap: energy
// gain E0 sigma sqrt(2 pi) T with the transit-time factor T, crest where the
// particle passes the gap centre at field phase 0, cos(offset) off the crest.
// The thin-gap formulas neglect the speed change inside the gap (about 1.2e-4
// of the gain at 1 MeV/u here); the tolerances allow for it.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "elements/cavity.hpp"
#include "elements/rf_gap_fixture.hpp"
#include "elements/rf_scan.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"

namespace linac {
namespace {

using testing::ElementRun;
using testing::GapSpec;
using testing::Particle;

constexpr double kLambdaBar = testing::kRfLambda / kTwoPi;  // 47.71345 cm at 100 MHz

// A cav line 1 on table 1: L, harmonic P2, amplitude P3, aperture P4,
// offset P5 (deg), 50 steps; Q/A = 1 beam of the given particles.
struct CavRun : ElementRun {
  GapSpec gap;
  std::ostringstream screen;
  CavRun(double W, const GapSpec& g, double P2 = 1.0, double P3 = 1.0, double P4 = 0.0,
         double P5 = 0.0)
      : ElementRun(W), gap(g) {
    s.screen.redirect(screen);
    testing::write_gap_table(s, g);
    line(1, "cav  ", 1, {g.L, P2, P3, P4, P5});
    s.elements.elem_int[1][11] = 50;
    s.tables.DEESRF = 0.0;
    rn_set_seed(s, 12345);
  }
  // The particles, then three on the axis (the statistics need three live
  // particles), then the last ntest of them as test particles.
  void beam(std::vector<Particle> ps, int ntest = 0) {
    ps.insert(ps.end() - ntest, 3, Particle{});
    state(1, 1.0, 1.0, ps, ntest);
  }
  void run() { cav_element(s, 1); }
  double gain() const { return s.history.ref_W_out[1] - s.history.ref_W_in[1]; }
  double beam_gain(int i) const {
    const double b = s.particles.beta[1][i];
    return (1.0 / std::sqrt(1.0 - b * b) - 1.0) * kAmuKev - s.history.ref_W_in[1];
  }
};

TEST(Cavity, CrestGainAndPhaseOfAGaussianGap) {
  const GapSpec g;  // E0 1000 V/cm, sigma 1 cm, L 10 cm
  CavRun r(1000.0, g);
  r.beam({{}});
  r.run();
  const double beta = testing::speed_of_w(1000.0);
  EXPECT_NEAR(beta, 0.0462994, 1e-7);
  const double G = testing::thin_gap_gain(g, 1.0, beta, kLambdaBar);
  EXPECT_NEAR(G, 2.26253, 1e-5);
  EXPECT_NEAR(r.s.rf.cav_energy_gain, G, 5e-4 * G);
  const double crest = testing::crest_phase(g, beta, kLambdaBar);
  EXPECT_NEAR(crest, 4.01982, 1e-5);
  EXPECT_NEAR(r.s.history.elem_rf_phase[1], crest, 0.005);
  // On the crest the design particle gains what the scan found.
  EXPECT_NEAR(r.gain(), r.s.rf.cav_energy_gain, 5e-4 * G);
  EXPECT_EQ(r.s.tables.field_used[1], 1.0);  // DEESRF = 0: P3 exactly
}

TEST(Cavity, OffsetFromTheCrestScalesTheGainByItsCosine) {
  const GapSpec g;
  for (double deg : {-30.0, 45.0, -90.0}) {
    CavRun r(1000.0, g, 1.0, 1.0, 0.0, deg);
    r.beam({{}});
    r.run();
    const double G = r.s.rf.cav_energy_gain;
    // Half a fine-grid step (2.1e-3 rad) of crest error times sin(offset).
    EXPECT_NEAR(r.gain(), G * std::cos(deg * kDegToRad), 3e-3 * G) << deg << " deg";
  }
}

TEST(Cavity, TraceListingOfAFastGap) {
  // 100 MeV/u, sigma 2 cm, L 20 cm, E0 2e5 V/cm: E0 sigma sqrt(2 pi) T =
  // 0.99789 MV.
  GapSpec g;
  g.E0 = 2e5;
  g.sigma = 2.0;
  g.L = 20.0;
  CavRun r(100000.0, g);
  r.beam({{}});
  r.run();
  const std::vector<std::string> log = r.file_lines("log.dat");
  const std::vector<std::string> expected = {
      "",
      "                      Cavity parameters for TRACE3D",
      "  1cav    1.     1.000",
      " EoTL=       0.998MV",
      ""};
  EXPECT_EQ(log, expected);
}

TEST(Cavity, HarmonicSwitchOfTheBeam) {
  struct Case {
    double P2;
    double harm;    // operating harmonic afterwards
    double factor;  // on every live phase
  } cases[] = {{2.0, 2.0, 2.0}, {1.005, 1.0, 1.0}, {0.995, 1.0, 1.0}, {0.98, 0.98, 0.98}};
  for (const Case& c : cases) {
    ElementRun r;
    r.state(1, 1.0, 1.0, {{.phase = 0.3}, {.phase = -1.1}, {.phase = 2.0, .status = -1}});
    r.state(2, 2.0, 1.0, {{.phase = 0.7}, {.phase = 0.9, .status = 4}});
    switch_harmonic(r.s, c.P2);
    EXPECT_EQ(r.s.ref.harm, c.harm) << c.P2;
    EXPECT_DOUBLE_EQ(r.s.ref.wavelength_2pi, testing::kRfLambda / c.harm / kTwoPi) << c.P2;
    EXPECT_DOUBLE_EQ(r.s.particles.phase[1][0], 0.3 * c.factor);
    EXPECT_DOUBLE_EQ(r.s.particles.phase[1][1], -1.1 * c.factor);
    EXPECT_EQ(r.s.particles.phase[1][2], 2.0);  // lost: untouched
    EXPECT_DOUBLE_EQ(r.s.particles.phase[2][0], 0.7 * c.factor);
    EXPECT_DOUBLE_EQ(r.s.particles.phase[2][1], 0.9 * c.factor);  // test particle
  }
}

TEST(Cavity, ApertureFromTheTableOrEqualToIt) {
  const GapSpec g;  // table aperture 2 cm
  for (double P4 : {0.0, 2.0}) {
    CavRun r(1000.0, g, 1.0, 1.0, P4);
    r.beam({{}, {.x = 1.999}, {.x = 2.0}});
    r.run();
    EXPECT_EQ(r.s.ref.aperture_r, 2.0);
    EXPECT_EQ(r.s.particles.status[1][1], 0);
    EXPECT_EQ(r.s.particles.status[1][2], kLost);  // on the circle: outside
  }
  CavRun r(1000.0, g, 1.0, 1.0, 1.5);
  r.beam({{}});
  EXPECT_EQ(testing::fatal_text([&] { r.run(); }),
            " Cavity aperture is different in sclinac.dat and em_MWS");
  const std::string screen = r.screen.str();
  EXPECT_NE(screen.find("ntype"), std::string::npos);
  EXPECT_NE(screen.find("1.5"), std::string::npos);
  EXPECT_NE(screen.find("2.0"), std::string::npos);
}

TEST(Cavity, AmplitudeFactorTakesOneUniformDeviatePerCavity) {
  const GapSpec g;
  for (double deesrf : {0.0, 0.1}) {
    CavRun r(1000.0, g, 1.0, 0.8);
    r.s.tables.DEESRF = deesrf;
    r.beam({{}});
    r.run();
    double next = 0.0;
    dRNUN(r.s, 1, &next);
    // A replayed stream: the cavity's deviate, then the next one.
    ElementRun replay;
    rn_set_seed(replay.s, 12345);
    double u[2];
    dRNUN(replay.s, 2, u);
    EXPECT_EQ(next, u[1]) << deesrf;
    const double expected = deesrf == 0.0 ? 0.8 : 0.8 * (1.0 + (1.0 - 2.0 * u[0]) * deesrf);
    EXPECT_EQ(r.s.tables.field_used[1], expected) << deesrf;
    // The set-points of the line hold the nominal amplitude and phase.
    EXPECT_EQ(r.s.elements.elem_par[1][8], expected);
    EXPECT_EQ(r.s.elements.elem_par[1][9], r.s.history.elem_rf_phase[1]);
  }
}

// Trial steps of the correction: the particle whose status equals the
// amplitude tag (the phase tag) sees P8 + its step (P9 + its step); every
// other particle sees P8 and P9. The beam runs on the crest, so a
// particle on the axis beside the design particle gains G A cos(dphi).
TEST(Cavity, TaggedTestParticlesSeeTheirTrialSteps) {
  const GapSpec g;
  CavRun r(1000.0, g);
  r.s.elements.elem_int[1][8] = 6;
  r.s.elements.elem_int[1][9] = 5;
  r.s.corr.kicks[6] = 0.5;
  r.s.corr.kicks[5] = 0.3;
  r.beam({{}, {}, {.status = 5}, {.status = 6}, {.status = 7}}, 3);
  r.run();
  const double G = r.s.rf.cav_energy_gain;
  EXPECT_NEAR(r.beam_gain(1), G, 5e-4 * G);
  // Slots 5, 6, 7: the test particles of tags 5, 6 and 7 (no step).
  EXPECT_NEAR(r.beam_gain(5), G * std::cos(0.3), 1e-3 * G);
  EXPECT_NEAR(r.beam_gain(6), 1.5 * G, 1e-3 * G);
  EXPECT_NEAR(r.beam_gain(7), G, 5e-4 * G);
}

// An error-study pass with injected deviates: a uniform phase error of
// 0.1 rad (sfas2 with u9 = 0) and a uniform relative field error of 0.2
// (serf2 with u10 = 0), no offsets (u = 0.5), no normal errors (n = 0).
// The design particle repeats the nominal pass; the beam sees the errors,
// and the phase-tagged particle its trial step on top.
TEST(Cavity, ErrorPassAppliesWeightedErrorsAndKeepsTheReference) {
  const GapSpec g;
  CavRun r(1000.0, g);
  r.s.tables.sfas2[1] = 0.1;
  r.s.tables.serf2[1] = 0.2;
  r.beam({{}, {}});
  r.run();
  const double G = r.s.rf.cav_energy_gain;
  const double W_out = r.s.history.ref_W_out[1];
  const double phase_out = r.s.history.ref_phase_out[1];
  auto& err = r.s.elements.elem_err[1];
  for (int k = 1; k <= 6; ++k) err[k] = 0.5;
  err[7] = err[8] = 0.0;
  err[9] = err[10] = 0.0;
  for (double w : {1.0, 0.5}) {
    r.s.state.ipass = 2;
    r.s.state.ipos = 0;
    r.s.ref.w0 = 1000.0;
    r.s.ref.harm = 1.0;
    r.s.transport.misalign.err_weight_1 = w;
    r.s.elements.elem_int[1][9] = 5;
    r.s.corr.kicks[5] = 0.3;
    r.beam({{}, {}, {.status = 5}}, 1);
    r.run();
    EXPECT_EQ(r.s.history.ref_W_out[1], W_out);
    EXPECT_EQ(r.s.history.ref_phase_out[1], phase_out);
    EXPECT_NEAR(r.s.transport.misalign.phase_error, 0.1 * w, 1e-15);
    const double A = 1.0 + 0.2 * w;
    EXPECT_NEAR(r.beam_gain(1), G * A * std::cos(0.1 * w), 1e-3 * G) << w;
    EXPECT_NEAR(r.beam_gain(5), G * A * std::cos(0.1 * w + 0.3), 1e-3 * G) << w;  // tag 5
  }
}

// At 100 keV/u a strong gap stops the design particle at decelerating
// phases: those phases do not get through and never form the crest, and
// the scan still finds it.
TEST(Cavity, ScanFindsTheCrestWhenDeceleratingPhasesStopTheDesignParticle) {
  GapSpec g;
  g.E0 = 3e5;
  CavRun r(100.0, g);
  r.beam({{}});
  r.run();
  const PhaseScan scan = scan_design_phases(r.s);
  EXPECT_GT(scan.count_through(), 0);
  EXPECT_LT(scan.count_through(), kScanPhases);
  const double crest = r.s.history.elem_rf_phase[1];
  const double best = r.gain();
  EXPECT_GT(best, 0.0);
  EXPECT_NEAR(best, r.s.rf.cav_energy_gain, 1e-3 * best);
  const double beta0 = testing::speed_of_w(100.0);
  for (double d : {-0.1, 0.1}) {
    r.s.ref.elem_phase = crest + d;
    const DesignExit e = design_exit(r.s, beta0);
    ASSERT_TRUE(e.through);
    EXPECT_LT(e.W - 100.0, best) << d;
  }
}

TEST(Cavity, RefusedLines) {
  const GapSpec g;
  struct Case {
    double P2;
    int nstep;
    const char* text;
  } cases[] = {{0.0, 50, "harmonic number P2 = 0"},
               {-1.0, 50, "harmonic number P2 = -1"},
               {1.0, 0, "0 integration steps"}};
  for (const Case& c : cases) {
    CavRun r(1000.0, g, c.P2);
    r.s.elements.elem_int[1][11] = c.nstep;
    r.beam({{}});
    const std::string m = testing::fatal_text([&] { r.run(); });
    EXPECT_NE(m.find("element 1 (cav)"), std::string::npos) << m;
    EXPECT_NE(m.find(c.text), std::string::npos) << m;
  }
  CavRun r(1000.0, g);
  r.line(1, "cav  ", 7, {g.L, 1.0, 1.0, 0.0, 0.0});
  r.beam({{}});
  EXPECT_NE(testing::fatal_text([&] { r.run(); }).find("eh_MWS.#07"), std::string::npos);
}

}  // namespace
}  // namespace linac
