// space_charge(k) as the element drivers call it: the box of the step, the
// refusal of a box without size, the output request with its step clamp and
// the RFQ cell rule, and the 2-D box that follows the aperture.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "common/constants.hpp"
#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "platform/fatal.hpp"
#include "spacecharge/space_charge.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

// Element line 3 (drift) with 4 steps at 1000 keV/u and 100 MHz, a 17^3
// grid, and a small bunch of charge state 1.
struct StepSetup {
  std::unique_ptr<Sim> sim = make_sim();
  ::linac::testing::TempDir dir;
  explicit StepSetup(bool model_2d = false) {
    Sim& s = *sim;
    s.units.set_directory(dir.path());
    s.units.open(kUnitLog, "log.dat");
    s.sc.NXGRD = s.sc.NYGRD = s.sc.NZGRD = 17;
    s.sc.zlhSC = 1000.0;
    s.config.IFLAG2D = model_2d ? 1 : 0;
    s.config.NQTOT = 1;
    s.config.nharm_sc = 1;
    s.ref.FREQB = 100e6;
    s.ref.wavelength_2pi = kSpeedOfLightCm / 100e6 / kTwoPi;
    s.ref.amu_kev = kAmuKev;
    s.ref.aper_x = 1.0;
    s.ref.aper_y = -0.8;  // elliptic: its size counts
    s.ref.nstep = 4;
    s.ref.z_entry = 100.0;
    s.current.scur = 1.0;
    s.current.qmacro[1] = 1e-12;
    s.state.ipos = 3;
    s.state.itype = 1;
    s.elements.elem_name[3] = "drift";
    for (int k = 0; k <= 4; ++k) {
      s.ref_path(k, kRefW) = 1000.0;
      s.ref_path(k, kRefPhase) = 0.1 * k;
      s.ref_path(k, kRefS) = 2.5 * k;
    }
    s.beam_moments.sigma[1][1] = 0.04;
    s.beam_moments.sigma[3][3] = 0.04;
    s.beam_moments.sigma[5][5] = 0.04;
    const double beta = std::sqrt(1.0 - 1.0 / std::pow(1000.0 / kAmuKev + 1.0, 2));
    s.config.NPAT[1] = 8;
    for (int i = 0; i <= 8; ++i) {
      s.particles.x[1][i] = 0.05 * (i - 4);
      s.particles.y[1][i] = 0.03 * (4 - i);
      s.particles.phase[1][i] = 0.02 * (i - 4);
      s.particles.beta[1][i] = beta;
      s.particles.qa[1][i] = 1.0;
      s.particles.status[1][i] = kLive;
    }
  }
  Sim& operator*() { return *sim; }
  bool exists(const char* f) const { return std::filesystem::exists(dir.path() / f); }
};

TEST(SpaceCharge, BoxWithoutSizeIsRefused) {
  struct Case {
    const char* what;
    bool model_2d;
    void (*setup)(ControlContext&);
    const char* message;
  } cases[] = {
      {"zero aper_x", false, [](ControlContext& s) { s.ref.aper_x = 0.0; }, "aper_x = 0 cm"},
      {"zero aper_y", false, [](ControlContext& s) { s.ref.aper_y = 0.0; }, "|aper_y| = 0 cm"},
      {"zero harmonic", false, [](ControlContext& s) { s.config.nharm_sc = 0; }, "nharm_sc = 0"},
      {"2-D, zero aper_y", true, [](ControlContext& s) { s.ref.aper_y = 0.0; }, "|aper_y| = 0 cm"},
  };
  for (const Case& c : cases) {
    StepSetup t(c.model_2d);
    c.setup(*t);
    try {
      space_charge(*t, 1);
      ADD_FAILURE() << c.what << ": no stop";
    } catch (const FatalStop& stop) {
      const std::string& first = stop.lines().front();
      EXPECT_NE(first.find("element 3 (drift)"), std::string::npos) << first;
      EXPECT_NE(first.find(c.message), std::string::npos) << c.what << ": " << first;
    }
  }
}

TEST(SpaceCharge, LongitudinalBoxRules) {
  // Z = pi nharm_sc rad of phase, cut to zlhSC rms phase spreads only for
  // nharm_sc = 1 outside an RFQ, without the RFQ shift and in z mode; the
  // box centre lies IRIARFQ pi behind the reference phase.
  struct Case {
    int itype, nharm, iriarfq, iflag_t;
    double zlh;
    double Z;  // expected half length in phase, rad
    bool full;
  } cases[] = {
      {1, 1, 0, 0, 1000.0, kPi, true},  {1, 1, 0, 0, 3.0, 0.6, false}, {1, 2, 0, 0, 3.0, 2 * kPi, true},
      {9, 1, 0, 0, 3.0, kPi, true},     {1, 1, 1, 0, 3.0, kPi, true},  {1, 1, 0, 1, 3.0, kPi, true},
  };
  for (const Case& c : cases) {
    StepSetup t;
    Sim& s = *t;
    s.state.itype = c.itype;
    s.config.nharm_sc = c.nharm;
    s.state.IRIARFQ = c.iriarfq;
    s.state.iflag_t = c.iflag_t;
    s.sc.zlhSC = c.zlh;
    s.beam_moments.sigma[5][5] = 0.2 * 0.2;
    space_charge(s, 2);
    const ScGrid& g = s.sc_grid;
    EXPECT_NEAR(g.sc_half_z, g.beta_sc * c.Z * s.ref.wavelength_2pi * g.gamma_sc, 1e-12) << c.itype << " " << c.nharm;
    EXPECT_EQ(g.full_period, c.full);
    EXPECT_DOUBLE_EQ(s.transport.step.sc_centre_phase, 0.1 - c.iriarfq * kPi);
    EXPECT_DOUBLE_EQ(g.sc_z_step, 102.5);
    EXPECT_DOUBLE_EQ(g.sc_half_y, 0.8);
  }
}

TEST(SpaceCharge, OutputRequestAtAClampedStep) {
  StepSetup t;
  Sim& s = *t;
  const int n = 5;
  s.state.outSC = n;
  OutScRequest& req = s.prmtr.outsc;
  req.step = 9;  // above nstep: written at the last step
  req.mode = 3;
  req.files_pending = 1;
  const auto line_ints = s.elements.elem_int[n];
  space_charge(s, 1);
  EXPECT_EQ(req.step, 4);
  // The ellipsoid comparison runs at the first step while the request waits.
  EXPECT_TRUE(t.exists("fort.301"));
  EXPECT_FALSE(t.exists("denSC.dat"));
  for (int k = 2; k <= 3; ++k) space_charge(s, k);
  EXPECT_EQ(s.state.outSC, n);
  space_charge(s, 4);
  EXPECT_EQ(s.state.outSC, 0);
  EXPECT_EQ(req.mode, 1);
  for (const char* f : {"denSC.dat", "uSC.dat", "ExSC.dat", "EySC.dat", "EzSC.dat"}) EXPECT_TRUE(t.exists(f)) << f;
  // The request lives in its own record: the line's integer row is untouched.
  EXPECT_EQ(s.elements.elem_int[n], line_ints);
}

TEST(SpaceCharge, RfqCellRuleWritesEveryIncrementUntilTheLastCell) {
  StepSetup t;
  Sim& s = *t;
  s.state.itype = 9;
  s.rfq.rfq_ncells = 5;
  const int n = 5;
  s.state.outSC = n;
  OutScRequest& req = s.prmtr.outsc;
  req.step = 1;
  req.mode = 1;  // field lines only
  req.cell = 2;
  req.increment = 2;
  req.files_pending = 1;
  for (int cell = 1; cell <= 5 && s.state.outSC != 0; ++cell) {
    s.rfq.rfq_cur = cell;
    space_charge(s, 1);
  }
  EXPECT_EQ(s.state.outSC, 0);
  EXPECT_EQ(req.cell, 6);
  s.units.close_all();
  // Cells 2 and 4: two titles, headers and 301 points each.
  EXPECT_EQ(::linac::testing::read_lines(t.dir.path() / "ExSC.dat").size(), 2u * 303);
  EXPECT_FALSE(t.exists("fort.301")) << "no ellipsoid comparison inside an RFQ";
  EXPECT_FALSE(t.exists("denSC.dat"));
}

TEST(SpaceCharge, TwoDimensionalBoxFollowsTheApertureAtEveryStep) {
  StepSetup t(true);
  Sim& s = *t;
  space_charge(s, 1);
  EXPECT_DOUBLE_EQ(s.sc_grid.sc_hx, 2.0 / 16);
  s.ref.aper_x = 0.5;
  space_charge(s, 2);
  EXPECT_DOUBLE_EQ(s.sc_grid.sc_half_x, 0.5);
  EXPECT_DOUBLE_EQ(s.sc_grid.sc_hx, 1.0 / 16);
  EXPECT_DOUBLE_EQ(s.sc_grid.sc_xn.back(), 0.5);
}

}  // namespace
}  // namespace linac
