// The energy filter on hand-made beams: which particles it removes, its
// log.dat report against lines written by hand from the report's formats,
// the new design energy and phase centre for a new design charge inside,
// between and above the charges of the beam, the phase re-centring of
// modes 0 and 1, the error-drawing pass, and the stop when no charge state
// around the new charge holds a counted particle.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "run/sim.hpp"
#include "element_run.hpp"
#include "platform/fatal.hpp"
#include "transport/filter.hpp"

namespace linac {
namespace {

using testing::ElementRun;
using testing::Particle;
using testing::speed_of_w;

constexpr double kW0 = 1000.0;  // keV/u

double energy_of(double beta) {
  const double g = 1.0 / std::sqrt(1.0 - beta * beta);
  return (g - 1.0) * kAmuKev;
}

TEST(Filter, CutsBeamParticlesAndReports) {
  ElementRun r(kW0);
  Sim& s = r.s;
  s.ref.QDESIGN = 10.0;
  s.ref.ADESIGN = 40.0;
  r.line(1, "filtr", 0, {0.1, 0.0, 0.0});
  // State 1: design, 1.09 w0, 1.11 w0, a lost particle, a test particle at
  // 1.2 w0. State 2: design, 1.10 w0 (on the acceptance), 1.11 w0,
  // 0.95 w0. State 3: emptied by a stripper (NPAT = -1).
  r.state(1, 10.0, 40.0,
          {{}, {0.1, 0, 0, 0, 0.0, 1.09 * kW0}, {0, 0, 0.1, 0, 0.0, 1.11 * kW0},
           {0, 0, 0, 0, 0.0, kW0, 0.0, kLost}, {0, 0, 0, 0, 0.0, 1.2 * kW0, 0.0, 3}},
          1);
  r.state(2, 11.0, 40.0,
          {{}, {0, 0, 0, 0, 0.0, 1.10 * kW0}, {0, 0, 0, 0, 0.0, 1.11 * kW0},
           {0, 0, 0, 0, 0.0, 0.95 * kW0}});
  r.state(3, 12.0, 40.0, {});
  // Put the 1.10 w0 particle on the acceptance as the filter computes it.
  double& b = s.particles.beta[2][1];
  while (std::abs((energy_of(b) - kW0) / kW0) > 0.1) b = std::nextafter(b, 0.0);
  ASSERT_NEAR(std::abs((energy_of(b) - kW0) / kW0), 0.1, 1e-12);
  s.current.CURRENT = {0.0, 2.0, 3.0, 1.0};
  filtr_element(s, 1);

  const ParticleArrays& p = s.particles;
  const std::int32_t expect1[] = {kLive, kLive, kLost, kLost, 3};
  const std::int32_t expect2[] = {kLive, kLive, kLost, kLive};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(p.status[1][i], expect1[i]) << i;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p.status[2][i], expect2[i]) << i;
  EXPECT_EQ(s.config.DWWACC, 0.1);
  EXPECT_EQ(s.filter_memory.live[1], 3);
  EXPECT_EQ(s.filter_memory.cut[2], 1);
  // New design charge = old (P2 = 0): the energy of state 1's counted
  // particles, (1.00 + 1.09) w0 / 2.
  EXPECT_NEAR(s.ref.w0, 1045.0, 1e-9);
  EXPECT_EQ(s.history.ref_W_in[1], s.ref.w0);
  EXPECT_EQ(s.history.ref_W_out[1], s.ref.w0);
  EXPECT_TRUE(r.file_lines("lost.dat").empty());
  const auto log = r.file_lines("log.dat");
  const std::vector<std::string> golden = {
      "           !* FILTR *! ",
      "QdesignOld     10.0000",
      "QdesignNew     10.0000",
      "   WtmpOld   1000.0000   Kev/u",
      "   WtmpNew   1045.0000   Kev/u",
      "   CHARGES  iq=1,nqtot            10.0    11.0    12.0",
      "   NPAT     initial                  3       3      -1",
      "   LOSSES   before the filter        1       0       0",
      "   LOSSES   in the filter            1       1       0",
      "   NPAT     after the filter         2       3       0",
      "   CURRENT  before filter, mA     1.50    3.00    0.00",
      "   CURRENT  after  filter, mA     1.00    2.25    0.00",
  };
  EXPECT_EQ(log, golden);
}

TEST(Filter, DeviationEqualToTheAcceptancePasses) {
  ElementRun r(kW0);
  Sim& s = r.s;
  r.state(1, 1.0, 1.0, {{}, {0, 0, 0, 0, 0.0, 1.07 * kW0}, {0, 0, 0, 0, 0.0, 0.9 * kW0}, {}});
  // The acceptance is the first particle's deviation as the kinetic energy
  // of its speed gives it.
  const double dev = std::abs((energy_of(s.particles.beta[1][1]) - kW0) / kW0);
  r.line(1, "filtr", 0, {dev, 0.0, 0.0});
  filtr_element(s, 1);
  EXPECT_EQ(s.particles.status[1][1], kLive);
  EXPECT_EQ(s.particles.status[1][2], kLost);
}

// Three states, Q = 10, 11, 11 (A = 40), all energies inside the acceptance,
// phases and energies differing by state.
struct ThreeStates {
  ElementRun r{kW0};
  std::vector<std::vector<Particle>> beams;
  explicit ThreeStates(double qnew, bool empty_first = false) {
    Sim& s = r.s;
    s.ref.QDESIGN = 10.0;
    s.ref.ADESIGN = 40.0;
    r.line(1, "filtr", 0, {0.5, qnew, 0.0});
    const double Q[] = {10.0, 11.0, 11.0};
    for (int iq = 1; iq <= 3; ++iq) {
      std::vector<Particle> b;
      for (int i = 0; i < 3 + iq; ++i) {
        Particle q;
        q.phase = 0.3 * iq + 0.05 * i;
        q.w = kW0 * (1.0 + 0.01 * iq + 0.002 * i);
        if (empty_first && iq == 1) q.w = 2.0 * kW0;  // outside the statistics acceptance
        b.push_back(q);
      }
      beams.push_back(b);
      r.state(iq, Q[iq - 1], 40.0, b);
    }
  }
  // Count, mean energy (from the stored speeds) and mean phase of state iq.
  struct Mean {
    double n = 0.0, W = 0.0, P = 0.0;
  };
  Mean mean(int iq) const {
    Mean m;
    const ParticleArrays& p = r.s.particles;
    for (std::size_t i = 0; i < beams[iq - 1].size(); ++i) {
      const double w = energy_of(p.beta[iq][i]);
      if (std::abs((w - kW0) / kW0) >= 0.5) continue;
      m.n += 1.0;
      m.W += w;
      m.P += beams[iq - 1][i].phase;
    }
    if (m.n > 0.0) {
      m.W /= m.n;
      m.P /= m.n;
    }
    return m;
  }
};

TEST(Filter, NewDesignFromTheChargeStatesAroundTheNewCharge) {
  struct Case {
    const char* what;
    double qnew;
    bool empty_first;
  } cases[] = {{"match", 11.0, false},
               {"between", 10.5, false},
               {"above", 12.0, false},
               {"below", 9.0, false},
               {"above, first state empty", 12.0, true},
               {"between, lower group empty", 10.5, true}};
  for (const auto& c : cases) {
    ThreeStates t(c.qnew, c.empty_first);
    Sim& s = t.r.s;
    const auto m1 = t.mean(1), m2 = t.mean(2), m3 = t.mean(3);
    const double phase_before = s.particles.phase[2][1];
    filtr_element(s, 1);
    double Wn = 0.0, ph = 0.0;
    const double n23 = m2.n + m3.n;
    const double W23 = (m2.n * m2.W + m3.n * m3.W) / n23;
    const double P23 = (m2.n * m2.P + m3.n * m3.P) / n23;
    const std::string what = c.what;
    if (what == "match" || what == "between, lower group empty") {
      Wn = W23;
      ph = P23;
    } else if (what == "between") {
      Wn = (m1.n * m1.W + m2.n * m2.W + m3.n * m3.W) / (m1.n + n23);
      ph = (m1.P + P23) / 2.0;
    } else if (what == "above" || what == "below") {
      Wn = m1.W;
      ph = (m1.P + m2.P + m3.P) / 3.0;
    } else {
      Wn = m2.W;
      ph = (m2.P + m3.P) / 2.0;
    }
    EXPECT_NEAR(s.ref.w0, Wn, 1e-9) << c.what;
    EXPECT_NEAR(s.filter_memory.ph, ph, 1e-12) << c.what;
    EXPECT_EQ(s.ref.QDESIGN, c.qnew) << c.what;
    // nharm_sc = 0, mode 0: every live phase is lowered by ph.
    EXPECT_NEAR(s.particles.phase[2][1], phase_before - ph, 1e-12) << c.what;
  }
}

TEST(Filter, NoCountedParticleAroundTheNewChargeStops) {
  for (double qnew : {10.0, 9.0}) {
    ThreeStates t(qnew, true);
    const std::string msg = testing::fatal_text([&] { filtr_element(t.r.s, 1); });
    if (qnew == 9.0) {
      // Below every charge: the first state with counted particles serves.
      EXPECT_EQ(msg, "<no stop>");
      continue;
    }
    EXPECT_NE(msg.find("element 1 (filtr)"), std::string::npos) << msg;
    EXPECT_NE(msg.find("design charge 10"), std::string::npos) << msg;
  }
}

TEST(Filter, PhaseRecentringModes) {
  for (int mode : {0, 1}) {
    ElementRun r(kW0);
    Sim& s = r.s;
    r.line(1, "filtr", 0, {0.5, 0.0, static_cast<double>(mode)});
    std::vector<Particle> b;
    for (int i = 0; i < 6; ++i) b.push_back({0, 0, 0, 0, 1.0 + 0.1 * i});
    b.push_back({0, 0, 0, 0, 7.5, 0.0, 0.0, 2});  // test particle
    r.state(1, 1.0, 1.0, b, 1);
    s.config.nharm_sc = 0;
    const double mean = 1.25;  // of the six beam phases
    filtr_element(s, 1);
    EXPECT_NEAR(s.filter_memory.ph, mean, 1e-12);
    for (int i = 0; i < 7; ++i) {
      double expect = b[i].phase - mean;
      if (mode == 1) {
        expect = std::remainder(expect, kTwoPi);
        EXPECT_GE(s.particles.phase[1][i], -kPi);
        EXPECT_LT(s.particles.phase[1][i], kPi);
      }
      EXPECT_NEAR(s.particles.phase[1][i], expect, 1e-12) << mode << " " << i;
    }
    EXPECT_EQ(s.config.nharm_sc, mode == 1 ? 1 : 0);
    if (mode == 1) {
      EXPECT_EQ(s.state.IRIARFQ, 0);
      EXPECT_EQ(s.qphase.qstate_phase_origin[1], 0.0);
    }
  }
}

TEST(Filter, ModeOneMovesPhasesOffTheirOrigins) {
  // With the RFQ's per-state origins still in force (IRIARFQ = 1), mode 1
  // takes every phase relative to its origin into [-pi, pi) and clears the
  // origins.
  ElementRun r(kW0);
  Sim& s = r.s;
  r.line(1, "filtr", 0, {0.5, 0.0, 1.0});
  std::vector<Particle> b;
  for (int i = 0; i < 5; ++i) b.push_back({0, 0, 0, 0, 20.0 + 0.2 * i});
  r.state(1, 1.0, 1.0, b);
  s.state.IRIARFQ = 1;
  s.config.nharm_sc = 1;
  s.qphase.qstate_phase_origin[1] = 20.3;
  filtr_element(s, 1);
  const double ph = s.filter_memory.ph;
  for (int i = 0; i < 5; ++i) {
    // O + wrap_harm(phase - ph - O), then wrap_2pi(. - O).
    const double O = 20.3;
    const double step9 = O + std::remainder(b[i].phase - ph - O, kTwoPi);
    EXPECT_NEAR(s.particles.phase[1][i], std::remainder(step9 - O, kTwoPi), 1e-9) << i;
  }
  EXPECT_EQ(s.state.IRIARFQ, 0);
  EXPECT_EQ(s.qphase.qstate_phase_origin[1], 0.0);
}

TEST(Filter, DrawingPassWritesOnlyItsMark) {
  ElementRun r(kW0);
  Sim& s = r.s;
  r.line(1, "filtr", 0, {0.01, 12.0, 1.0});
  r.state(1, 1.0, 1.0, {{}, {0, 0, 0, 0, 0.0, 2.0 * kW0}, {}});
  s.state.idraw = 1;
  const double dwwacc = s.config.DWWACC;
  filtr_element(s, 1);
  EXPECT_EQ(s.state.ipos, 1);
  EXPECT_EQ(s.config.DWWACC, dwwacc);
  EXPECT_EQ(s.particles.status[1][1], kLive);
  EXPECT_EQ(s.ref.QDESIGN, 1.0);
  EXPECT_EQ(r.file_lines("log.dat"), std::vector<std::string>{"           !* FILTR *! "});
}

}  // namespace
}  // namespace linac
