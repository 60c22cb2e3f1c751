// The RFQ's preparation of the beam on a hand-made beam of two charge
// groups (two bunches some RF periods apart): the shift IRIARFQ, the phase
// origins of the charge states, the re-centred phases and the harmonic
// change, against values worked out by hand from the rules of the
// preparation.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "beam/phase_groups.hpp"
#include "run/sim.hpp"
#include "elements/rfq/rfq_cells.hpp"
#include "elements/rfq/rfq_element.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

constexpr double kW = 50.0;  // keV/u

// Offsets of the particles of a bunch from its reference particle (slot 0,
// offset 0). The last lies beyond pi/2 of the reference particle and is
// left out of the mean phase, which is the centre c + 0.075 of the bunch.
const std::vector<double> kOffsets = {0.0, -0.1, 0.1, 0.3, 2.0};
constexpr double kMeanOffset = (0.0 - 0.1 + 0.1 + 0.3) / 4.0;

// Two charge states, QQ 1 and 2 (two groups), bunch of state iq centred at
// centre[iq] (rad), every particle at the design energy.
std::unique_ptr<Sim> two_group_beam(double c1, double c2, double qdesign) {
  auto sim = make_sim();
  Sim& s = *sim;
  s.config.NQTOT = 2;
  s.config.QQ[1] = 1.0;
  s.config.QQ[2] = 2.0;
  s.config.AMASS[1] = s.config.AMASS[2] = 4.0;
  s.config.DWWACC = 0.05;
  s.config.nharm_sc = 1;
  s.ref.amu_kev = kAmuKev;
  s.ref.w0 = s.ref.w_origin = kW;
  s.ref.harm = 1.0;
  s.ref.wavelength = 85.65;
  s.ref.wavelength_2pi = s.ref.wavelength / kTwoPi;
  s.ref.QDESIGN = qdesign;
  s.state.iflag_t = 1;
  const double beta = speed_of_energy(kW, kAmuKev);
  const double centre[3] = {0.0, c1, c2};
  for (int iq = 1; iq <= 2; ++iq) {
    s.config.NPAT[iq] = static_cast<int>(kOffsets.size()) - 1;
    for (std::size_t i = 0; i < kOffsets.size(); ++i) {
      s.particles.phase[iq][i] = centre[iq] + kOffsets[i];
      s.particles.beta[iq][i] = beta;
      s.particles.status[iq][i] = kLive;
    }
  }
  return sim;
}

// A cell set whose only use here is the length before the regular section.
RfqCellSet cells_with_pre_len(double pre_len) {
  RfqCellSet cs;
  cs.line = 3;
  cs.pre_len = pre_len;
  return cs;
}

TEST(RfqPrepareBeam, ShiftOriginsAndPhasesOfTwoGroups) {
  struct Case {
    const char* what;
    double c1, c2, qdesign;
    int iriarfq;
    double origin1, origin2;  // rad
    double phi_ref;           // rad, from the hand means g1, g2 below
  };
  const double p1 = 0.3;
  const double g1 = p1 + kMeanOffset;
  // Worked by hand: g_k = c_k + 0.075; between the groups m = nint((g2 -
  // g1)/pi), IRIARFQ = m/2 truncated; origins 2 pi nint((g_k - g_lo)/(2 pi));
  // phi_ref the midpoint once IRIARFQ periods are taken off.
  const Case cases[] = {
      // g2 - g1 = 2 pi + 0.4: m = 2, IRIARFQ = 1, phi_ref = g1 + 0.2.
      {"one period and 0.4 apart", p1, p1 + kTwoPi + 0.4, 1.5, 1, 0.0, kTwoPi, g1 + 0.2},
      // g2 - g1 = 4 pi: m = 4, IRIARFQ = 2, phi_ref = g1.
      {"two periods apart", p1, p1 + 2 * kTwoPi, 1.5, 2, 0.0, 2 * kTwoPi, g1},
      // g2 - g1 = 3 pi + 0.2: m = 3, IRIARFQ = 1 (3/2 truncated), origin 2 pi
      // nint(1.53) = 4 pi, phi_ref = g1 + pi/2 + 0.1.
      {"one and a half periods apart", p1, p1 + 3 * kPi + 0.2, 1.5, 1, 0.0, 2 * kTwoPi,
       g1 + kPi / 2 + 0.1},
      // g2 - g1 = 0.5: m = 0, IRIARFQ = 0, origins 0, phi_ref = g1.
      {"within one period", p1, p1 + 0.5, 1.5, 0, 0.0, 0.0, g1},
      // Design charge 3 above both groups: group_lo = 2, group_hi = 0;
      // IRIARFQ = nint(-g2/pi) = nint(2.135) = 2; origin(1) = 2 pi nint((g1 -
      // g2)/(2 pi)) = 2 pi nint(1.127) = 2 pi; phi_ref = g2.
      {"design charge above the groups", p1, -kTwoPi - 0.5, 3.0, 2, kTwoPi, 0.0,
       -kTwoPi - 0.5 + kMeanOffset},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto sim = two_group_beam(c.c1, c.c2, c.qdesign);
    Sim& s = *sim;
    const double pre_len = 1.7, phi0 = -0.5;
    rfq_prepare_beam(s, cells_with_pre_len(pre_len), 1.0, phi0);
    EXPECT_EQ(s.state.IRIARFQ, c.iriarfq);
    EXPECT_NEAR(s.qphase.qstate_phase_origin[1], c.origin1, 1e-12);
    EXPECT_NEAR(s.qphase.qstate_phase_origin[2], c.origin2, 1e-12);
    EXPECT_EQ(s.state.iflag_t, 0) << "the time-mode request is used up";
    EXPECT_EQ(s.config.nharm_sc, 1);
    EXPECT_NEAR(s.qphase.group_mean_phase[1], c.c1 + kMeanOffset, 1e-12);
    EXPECT_NEAR(s.qphase.group_mean_phase[2], c.c2 + kMeanOffset, 1e-12);
    // Element phase: phi0 less the design particle's phase over pre_len.
    const double beta = speed_of_energy(kW, kAmuKev);
    EXPECT_NEAR(s.ref.elem_phase, phi0 - pre_len / (beta * 85.65 / kTwoPi), 1e-12);
    // Every phase is moved by -phi_ref and then by whole periods into
    // [-pi, pi).
    for (int iq = 1; iq <= 2; ++iq) {
      const double centre = iq == 1 ? c.c1 : c.c2;
      for (std::size_t i = 0; i < kOffsets.size(); ++i) {
        const double moved = centre + kOffsets[i] - c.phi_ref;
        const double got = s.particles.phase[iq][i];
        EXPECT_GE(got, -kPi);
        EXPECT_LT(got, kPi);
        const double turns = (moved - got) / kTwoPi;
        EXPECT_NEAR(turns, std::round(turns), 1e-12) << "state " << iq << " slot " << i;
      }
    }
  }
  // The first case in closed form: the two bunch centres end at -0.2 and
  // +0.2 about the reference phase, slot 0 of each at -0.275 and +0.125.
  auto sim = two_group_beam(p1, p1 + kTwoPi + 0.4, 1.5);
  rfq_prepare_beam(*sim, cells_with_pre_len(0.0), 1.0, 0.0);
  EXPECT_NEAR(sim->particles.phase[1][0], -0.2 - kMeanOffset, 1e-12);
  EXPECT_NEAR(sim->particles.phase[2][0], 0.2 - kMeanOffset, 1e-12);
}

TEST(RfqPrepareBeam, HarmonicChangeScalesPhasesBeforeGrouping) {
  // P5 = 2 at harmonic 1: phases doubled, nharm_sc 2, wavelength halved,
  // then phases wrapped into [-2 pi, 2 pi). Centres 0.3 and 0.3 + pi + 0.2
  // become 0.6 and 0.6 + 2 pi + 0.4; the mean offset doubles too (the
  // particle at offset 2.0 goes to 4.0, still outside pi/2).
  auto sim = two_group_beam(0.3, 0.3 + kPi + 0.2, 1.5);
  Sim& s = *sim;
  rfq_prepare_beam(s, cells_with_pre_len(0.0), 2.0, 0.0);
  EXPECT_EQ(s.ref.harm, 2.0);
  EXPECT_EQ(s.config.nharm_sc, 2);
  EXPECT_NEAR(s.ref.wavelength_2pi, 85.65 / 2 / kTwoPi, 1e-12);
  const double g1 = 0.6 + 2 * kMeanOffset;
  EXPECT_NEAR(s.qphase.group_mean_phase[1], g1, 1e-12);
  EXPECT_NEAR(s.qphase.group_mean_phase[2], g1 + kTwoPi + 0.4, 1e-12);
  // m = nint(2 + 0.4/pi) = 2: IRIARFQ 1, origin(2) 2 pi, phi_ref g1 + 0.2.
  EXPECT_EQ(s.state.IRIARFQ, 1);
  EXPECT_NEAR(s.qphase.qstate_phase_origin[2], kTwoPi, 1e-12);
  // Slot 0 of state 1 at -0.2 - 0.15; slot 4 of state 2 at 0.6 + 2 pi +
  // 0.4 + 4.0 - (g1 + 0.2) = 2 pi + 4.65 (less 0.15), wrapped at 4 pi.
  EXPECT_NEAR(s.particles.phase[1][0], -0.2 - 2 * kMeanOffset, 1e-12);
  EXPECT_NEAR(s.particles.phase[2][4], kTwoPi + 4.0 + 0.2 - 2 * kMeanOffset - 2 * kTwoPi, 1e-12);
}

TEST(RfqPrepareBeam, LostParticlesKeepTheirPhaseAndAMissingRequestStops) {
  auto sim = two_group_beam(0.3, 0.3 + kTwoPi + 0.4, 1.5);
  Sim& s = *sim;
  s.particles.status[1][3] = kLost;
  const double before = s.particles.phase[1][3];
  rfq_prepare_beam(s, cells_with_pre_len(0.0), 1.0, 0.0);
  EXPECT_EQ(s.particles.phase[1][3], before);
  // The lost particle leaves the mean: (0 - 0.1 + 0.1)/3 = 0.
  EXPECT_NEAR(s.qphase.group_mean_phase[1], 0.3, 1e-12);
  // A second preparation without a new time-mode request stops (its message
  // also goes to log.dat, here in a scratch directory).
  testing::TempDir dir;
  s.units.set_directory(dir.path());
  EXPECT_NE(testing::fatal_text([&] { rfq_prepare_beam(s, cells_with_pre_len(0.0), 1.0, 0.0); })
                .find("RFQerror -> command \"1 prmtr iflag_t=1\" is omitted"),
            std::string::npos);
}

}  // namespace
}  // namespace linac
