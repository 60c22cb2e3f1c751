// The run-time parameter command: every parameter code against the records
// it sets, the harmonic change, the phase redraw of the time mode, the
// phase chain, the test-particle ring, the request records and files, and
// the inputs it refuses.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numeric>
#include <algorithm>

#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "control/dispatcher.hpp"
#include "control/lattice_reader.hpp"
#include "control/prmtr.hpp"
#include "input_fixture.hpp"
#include "platform/fatal.hpp"
#include "transport/frame.hpp"

namespace linac {
namespace {

using testing::InputRun;

constexpr double kW = 1000.0;                               // design energy, keV/u
constexpr double kLambda = 29979245800.0 / 100e6;           // 100 MHz, cm
double beta_of_w(double W) {
  const double g = W / kAmuKev + 1.0;
  return std::sqrt(1.0 - 1.0 / (g * g));
}

// A run context at the start of a nominal pass over the lattice of
// linac.dat, with a beam of nq states of npat particles (phases 0.001 i
// rad, at the design energy), the last particle of each state lost.
struct PrmtrRun : InputRun {
  explicit PrmtrRun(const std::string& lattice, int nq = 2, int npat = 999) {
    Sim& s = *sim;
    s.ref.FREQB = 100e6;
    s.ref.harm = 1.0;
    s.ref.wavelength = kLambda;
    s.ref.wavelength_2pi = kLambda / kTwoPi;
    s.ref.QDESIGN = 1.0;
    s.ref.ADESIGN = 4.0;
    s.ref.w0 = kW;
    s.state.ipass = 1;
    s.state.ipos = 0;
    s.history.ref_W_out[0] = kW;
    reset_element_frame(s);
    s.units.open(kUnitLost, "lost.dat");
    file("linac.dat", lattice);
    ReadElements(s);
    beam(nq, npat);
  }
  void beam(int nq, int npat) {
    Sim& s = *sim;
    s.config.NQTOT = nq;
    s.config.IFLAG_QQ = nq;
    s.config.nqtot0 = 1;
    s.config.nqtot1 = nq;
    ParticleArrays& p = s.particles;
    for (int iq = 1; iq <= nq; ++iq) {
      s.config.NPAT[iq] = npat;
      s.config.QQ[iq] = iq;
      s.config.AMASS[iq] = 4.0;
      for (int i = 0; i <= npat + 20; ++i) {
        p.phase[iq][i] = 0.001 * i;
        p.beta[iq][i] = beta_of_w(kW);
        p.qa[iq][i] = iq / 4.0;
        p.status[iq][i] = i <= npat ? kLive : kLost;
      }
      p.status[iq][npat] = kLost;
    }
  }
  Sim& operator*() { return *sim; }
  // Runs the lines after the current position up to and including last.
  void run(int last) {
    for (std::int32_t n = sim->state.ipos + 1; n <= last; ++n) dispatch_element(*sim, n);
  }
  // The message lines of the stop that ends run(last); empty without one.
  std::vector<std::string> stop(int last) {
    try {
      run(last);
    } catch (const FatalStop& e) {
      return e.lines();
    }
    return {};
  }
};

// Each parameter line (as line 2, behind a line without action) against
// the records it sets.
TEST(PrmtrCmd, EachCodeSetsItsRecord) {
  struct Case {
    const char* line;
    std::function<void(Sim&)> setup;
    std::function<void(const Sim&, const PrmtrRun&)> check;
  };
  auto none = [](Sim&) {};
  const Case cases[] = {
      {" 1 prmtr Qdesign=2.5", none, [](const Sim& s, auto&) { EXPECT_EQ(s.ref.QDESIGN, 2.5); }},
      {" 1 prmtr Adesign=12", none, [](const Sim& s, auto&) { EXPECT_EQ(s.ref.ADESIGN, 12.0); }},
      {" 1 prmtr scur=0.5", none, [](const Sim& s, auto&) { EXPECT_EQ(s.current.scur, 0.5); }},
      {" 1 prmtr isol=1.5", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.ISOL, 2); }},
      {" 1 prmtr iflag2D=1", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.IFLAG2D, 1); }},
      // An iflag_qq above NQTOT is cut to NQTOT; 0 means every state.
      {" 1 prmtr iflag_qq=5", [](ControlContext& s) { s.config.nqtot1 = 1; },
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.config.IFLAG_QQ, 2);
         EXPECT_EQ(s.config.nqtot1, 2);
       }},
      {" 1 prmtr iflag_qq=0", [](ControlContext& s) { s.config.nqtot1 = 1; },
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.config.IFLAG_QQ, 2);
         EXPECT_EQ(s.config.nqtot1, 2);
       }},
      {" 1 prmtr nqtot=3", [](ControlContext& s) { s.config.IFLAG_QQ = 0; s.config.nqtot0 = 2; s.config.AMASS[3] = 4.0; },
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.config.NQTOT, 3);
         EXPECT_EQ(s.config.IFLAG_QQ, 3);
         EXPECT_EQ(s.config.nqtot0, 1);
         EXPECT_EQ(s.config.nqtot1, 3);
       }},
      {" 1 prmtr nqtot=1", none,
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.config.NQTOT, 1);
         EXPECT_EQ(s.config.IFLAG_QQ, 1);
         EXPECT_EQ(s.config.nqtot1, 1);
       }},
      {" 1 prmtr nqtot0=2", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.nqtot0, 2); }},
      {" 1 prmtr nqtot1=1", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.nqtot1, 1); }},
      {" 1 prmtr outQ=1", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.outQ, 1); }},
      // A time-mode value other than 1 redraws nothing.
      {" 1 prmtr iflag_t=2", none,
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.state.iflag_t, 2);
         EXPECT_EQ(s.particles.phase[1][7], 0.007);
       }},
      {" 1 prmtr iflag_dudt=1", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.iflag_dudt, 1); }},
      {" 1 prmtr iflag_ebfld=1", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.iflag_ebfld, 1); }},
      {" 1 prmtr iflag_lev=3", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.IFLAG_LEV, 3); }},
      // The bending-magnet log request stores the line index, whatever the value.
      {" 1 prmtr iflag_log=0", none, [](const Sim& s, auto&) { EXPECT_EQ(s.state.IFLAG_LOG, 2); }},
      {" 1 prmtr MonErr=3", none, [](const Sim& s, auto&) { EXPECT_EQ(s.corr.MONERR, 1); }},
      {" 1 prmtr AijRFQ=1 0 1 0 1 1", none,
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.rfq.AijRFQ[1], 1.0);
         EXPECT_EQ(s.rfq.AijRFQ[2], 0.0);
       }},
      {" 1 prmtr zlhSC=50", none, [](const Sim& s, auto&) { EXPECT_EQ(s.sc.zlhSC, 50.0); }},
      // Currents with their macro-particle charges, I / FREQB / (NPAT + 1):
      // 1 mA at 100 MHz over 1000 slots is 1e-14 C; space charge off.
      {" 1 prmtr current=1 2", [](ControlContext& s) { s.current.scur = 5.0; },
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.current.CURRENT[1], 1.0);
         EXPECT_EQ(s.current.CURRENT[2], 2.0);
         EXPECT_EQ(s.current.scur, 0.0);
         EXPECT_NEAR(s.current.qmacro[1], 1e-14, 1e-28);
         EXPECT_NEAR(s.current.qmacro[2], 2e-14, 1e-28);
       }},
      {" 1 prmtr delta2=0.3", none, [](const Sim& s, auto&) { EXPECT_EQ(s.bend.delta2, 0.3); }},
      {" 1 prmtr delta1=0.2", none, [](const Sim& s, auto&) { EXPECT_EQ(s.bend.delta1, 0.2); }},
      {" 1 prmtr gridSC=33 17 65", [](ControlContext& s) { s.sc.NXGRD = s.sc.NYGRD = s.sc.NZGRD = 129; },
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.sc.NXGRD, 33);
         EXPECT_EQ(s.sc.NYGRD, 17);
         EXPECT_EQ(s.sc.NZGRD, 65);
       }},
      {" 1 prmtr gridSC=33 33 257", none, [](const Sim& s, auto&) { EXPECT_EQ(s.sc.NZGRD, 257); }},
      // Transverse sizes above NZGRD: the solver's line buffers follow its plan.
      {" 1 prmtr gridSC=129 129 17", none,
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.sc.NXGRD, 129);
         EXPECT_EQ(s.sc.NZGRD, 17);
         EXPECT_EQ(s.sc_grid.NX, 129);
         EXPECT_EQ(s.sc_grid.sc_grid3d.size(), 129u * 129u * 17u);
       }},
      // In 2-D mode the third size is not read.
      {" 1 prmtr gridSC=65 65 17", [](ControlContext& s) { s.config.IFLAG2D = 1; s.sc.NZGRD = 129; },
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.sc.NXGRD, 65);
         EXPECT_EQ(s.sc.NYGRD, 65);
         EXPECT_EQ(s.sc.NZGRD, 129);
       }},
      {" 4 prmtr outSC=3 0.5 -0.25 1.5 2 4 5", none,
       [](const Sim& s, auto&) {
         EXPECT_EQ(s.state.outSC, 2);
         EXPECT_EQ(s.prmtr.outsc.step, 3);
         EXPECT_EQ(s.prmtr.outsc.mode, 2);
         EXPECT_EQ(s.prmtr.outsc.cell, 4);
         EXPECT_EQ(s.prmtr.outsc.increment, 5);
         EXPECT_EQ(s.prmtr.outsc.files_pending, 1);
         EXPECT_EQ(s.prmtr.outsc.cross_x, 0.5);
         EXPECT_EQ(s.prmtr.outsc.cross_y, -0.25);
         EXPECT_EQ(s.prmtr.outsc.cross_z, 1.5);
         EXPECT_EQ(s.elements.elem_int[2][11], 26);
       }},
      {" -1 prmtr outSC=3", [](ControlContext& s) { s.state.outSC = 9; },
       [](const Sim& s, auto&) { EXPECT_EQ(s.state.outSC, 0); }},
      {" 1 prmtr iflag_accep=1", none, [](const Sim& s, auto&) { EXPECT_EQ(s.state.iflag_accep, 1); }},
      {" 0 prmtr dev_field=0.5 0.7", none,
       [](const Sim& s, const PrmtrRun& r) {
         EXPECT_EQ(s.state.dev_field, 2);
         EXPECT_EQ(s.prmtr.dev_field_line.x0, 0.5);
         EXPECT_EQ(s.prmtr.dev_field_line.y0, 0.7);
         EXPECT_EQ(s.elements.elem_int[2][15], -1);
         EXPECT_EQ(s.state.ifirst_dev_field, 1);
         EXPECT_TRUE(s.units.is_open(kUnitDevField));
         EXPECT_TRUE(std::filesystem::exists(r.dir / "dev_field.dat"));
       }},
      {" -1 prmtr dev_field=0.5 0.7", [](ControlContext& s) { s.state.dev_field = 9; },
       [](const Sim& s, const PrmtrRun& r) {
         EXPECT_EQ(s.state.dev_field, 0);
         EXPECT_EQ(s.state.ifirst_dev_field, -1);
         EXPECT_FALSE(std::filesystem::exists(r.dir / "dev_field.dat"));
       }},
      {" 1 prmtr aperRFQ=0.7", none, [](const Sim& s, auto&) { EXPECT_EQ(s.rfq.aperRFQ, 0.7); }},
      {" 1 prmtr init_COSY=1", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.init_COSY, 1); }},
      {" 1 prmtr Cneutr=0.4", none, [](const Sim& s, auto&) { EXPECT_EQ(s.current.Cneutr, 0.4); }},
      {" 1 prmtr write_ascii=1", none, [](const Sim& s, auto&) { EXPECT_EQ(s.config.write_ascii, 1); }},
      {" 1 prmtr iwrite_rms=1", none,
       [](const Sim& s, const PrmtrRun& r) {
         EXPECT_EQ(s.config.iwrite_rms, 1);
         const_cast<Sim&>(s).units.flush_all();
         EXPECT_EQ(testing::read_file(r.dir / "rms.dat"),
                   std::string(61, ' ') + "*** RMS parameters of the beam *** \n"
                   "       z[cm]                X[cm]           X'[mrad]            Y[cm]           "
                   "Y'[mrad]          Phi[deg]          dW/W[%]        E,x,un[cm*mrad]   "
                   "E,y,un[cm*mrad]   E,z,un[deg*%]   \n");
       }},
      {" 1 prmtr iwrite_rms=0", [](ControlContext& s) { s.config.iwrite_rms = 2; },
       [](const Sim& s, const PrmtrRun& r) {
         EXPECT_EQ(s.config.iwrite_rms, 0);
         EXPECT_FALSE(std::filesystem::exists(r.dir / "rms.dat"));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    PrmtrRun r(std::string(" 1 prmtr msln_dstr=7\n") + c.line + "\n");
    Sim& s = *r;
    c.setup(s);
    s.stats.element_stats[0].w_mean = 1.25;  // statistics at the entrance
    r.run(2);
    EXPECT_EQ(s.state.ipos, 2);
    EXPECT_EQ(s.stats.element_stats[2].w_mean, 1.25);
    EXPECT_EQ(s.history.ref_W_out[2], kW);
    c.check(s, r);
  }
}

TEST(PrmtrCmd, RestoresTheDesignEnergyOfItsPositionInEveryPass) {
  PrmtrRun r(" 1 prmtr Qdesign=1\n 2 prmtr Qdesign=1\n");
  Sim& s = *r;
  r.run(2);
  EXPECT_EQ(s.history.ref_W_in[2], kW);
  EXPECT_EQ(s.history.ref_phase_out[2], 0.0);
  // A later pass restores the nominal pass's energy at the place.
  s.state.ipass = 2;
  s.state.ipos = 0;
  s.ref.w0 = 1234.0;
  r.run(1);
  EXPECT_EQ(s.ref.w0, kW);
}

TEST(PrmtrCmd, DevFieldOnLineMinusOneSkipsTheStatisticsCopy) {
  for (const char* number : {"-1", "1"}) {
    PrmtrRun r(std::string(" 1 prmtr Qdesign=1\n ") + number + " prmtr dev_field=0 0\n");
    Sim& s = *r;
    s.state.ipos = 1;
    s.stats.element_stats[1].w_mean = 1.0;
    s.stats.element_stats[2].w_mean = 2.0;
    prmtr_cmd(s, 2);
    EXPECT_EQ(s.stats.element_stats[2].w_mean, std::string(number) == "-1" ? 2.0 : 1.0) << number;
  }
}

// An error-study pass runs the outSC line again: it keeps its code, so
// the request is made again and no other action takes place.
TEST(PrmtrCmd, OutScLineKeepsItsCodeOverPasses) {
  PrmtrRun r(" 3 prmtr outSC=3 0 0 0 2 4 5\n");
  Sim& s = *r;
  r.run(1);
  s.prmtr.outsc = {};
  s.state.outSC = 0;
  s.state.ipass = 2;
  s.state.ipos = 0;
  r.run(1);
  EXPECT_EQ(s.elements.elem_int[1][11], 26);
  EXPECT_EQ(s.state.outSC, 1);
  EXPECT_EQ(s.prmtr.outsc.step, 3);
  EXPECT_EQ(s.ref.harm, 1.0);
}

// A harmonic change of more than 1 % scales the phase of every live beam
// particle and of the reference particle; test particles behind the beam
// and lost particles keep theirs.
TEST(PrmtrCmd, HarmonicChangeScalesLivePhases) {
  struct Case {
    double h;
    double factor;  // 1: phases kept
  } cases[] = {{2.0, 2.0}, {1.005, 1.0}, {0.995, 1.0}, {0.5, 0.5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.h);
    PrmtrRun r(fmt::format(" 1 prmtr harm={}\n", c.h), 2, 99);
    Sim& s = *r;
    s.npat.ntest[1] = 5;
    r.run(1);
    for (int iq = 1; iq <= 2; ++iq) {
      for (int i = 0; i < 99; ++i) {
        const double before = 0.001 * i;
        EXPECT_EQ(s.particles.phase[iq][i], c.factor == 1.0 ? before : c.h * before / 1.0) << i;
      }
      EXPECT_EQ(s.particles.phase[iq][99], 0.001 * 99);    // lost
      EXPECT_EQ(s.particles.phase[iq][103], 0.001 * 103);  // test particle
    }
    EXPECT_EQ(s.ref.harm, c.h);
    EXPECT_EQ(s.ref.wavelength_2pi, kLambda / c.h / kTwoPi);
  }
}

// Time mode: the beam phases spread uniformly over +-h (h = DF_4D), so the
// mean is 0 within 5 h/sqrt(3N) and the rms h/sqrt(3) within 2.3/sqrt(N)
// relative (five standard errors); the reference particles of the
// statistics range sit on the axis at phase 0 with the speed of their
// state's mean energy.
TEST(PrmtrCmd, TimeModeRedrawsPhasesUniformly) {
  constexpr int N = 100000;
  PrmtrRun r(" 1 prmtr iflag_t=1\n", 2, N);
  Sim& s = *r;
  const double h = 0.5;
  s.beam.df_4d_rad = h;
  s.config.nqtot0 = 2;
  s.stats.qstate_centroids[1][6] = 1100.0;
  s.stats.qstate_centroids[2][6] = 1200.0;
  s.particles.x[1][0] = s.particles.x[2][0] = 0.3;
  s.particles.phase[1][0] = s.particles.phase[2][0] = 0.3;
  r.run(1);
  EXPECT_EQ(s.state.iflag_t, 1);
  for (int iq = 1; iq <= 2; ++iq) {
    double sum = 0.0, sum2 = 0.0;
    const double* ph = s.particles.phase[iq];
    for (int i = 1; i < N; ++i) {
      ASSERT_LE(std::abs(ph[i]), h);
      sum += ph[i];
      sum2 += ph[i] * ph[i];
    }
    const int n = N - 1;
    EXPECT_NEAR(sum / n, 0.0, 5.0 * h / std::sqrt(3.0 * n));
    EXPECT_NEAR(std::sqrt(sum2 / n) / (h / std::sqrt(3.0)), 1.0, 2.3 / std::sqrt(n));
    EXPECT_EQ(ph[N], 0.001 * N);  // lost: not redrawn
  }
  // Only state 2 lies in the statistics range.
  EXPECT_EQ(s.particles.x[1][0], 0.3);
  EXPECT_EQ(s.particles.x[2][0], 0.0);
  EXPECT_EQ(s.particles.phase[2][0], 0.0);
  EXPECT_NEAR(s.particles.beta[2][0], beta_of_w(1200.0), 1e-15);
  EXPECT_FALSE(std::filesystem::exists(r.dir / "ini_dis.dat"));
}

TEST(PrmtrCmd, TimeModeInAnAcceptanceRunSavesTheInitialBeam) {
  PrmtrRun r(" 1 prmtr iflag_accep=1\n 2 prmtr iflag_t=1\n", 1, 50);
  (*r).beam.df_4d_rad = 0.1;
  r.run(2);
  EXPECT_TRUE(std::filesystem::exists(r.dir / "ini_dis.dat"));
}

// mhb with three values: k test particles per state behind the beam, on a
// ring in phase at (x0, y0) with the reference particle's speed and Q/A.
TEST(PrmtrCmd, MhbRingOfTestParticles) {
  PrmtrRun r(" 1 prmtr mhb=8 0.1 0.2\n", 2, 99);
  Sim& s = *r;
  s.particles.beta[2][0] = 0.0625;
  r.run(1);
  for (int iq = 1; iq <= 2; ++iq) {
    EXPECT_EQ(s.npat.ntest[iq], 8);
    for (int j = 0; j < 8; ++j) {
      const int i = 100 + j;
      EXPECT_NEAR(s.particles.phase[iq][i], -kPi + j * kPi / 4.0, 1e-15) << j;
      EXPECT_EQ(s.particles.x[iq][i], 0.1);
      EXPECT_EQ(s.particles.y[iq][i], 0.2);
      EXPECT_EQ(s.particles.xp[iq][i], 0.0);
      EXPECT_EQ(s.particles.yp[iq][i], 0.0);
      EXPECT_EQ(s.particles.status[iq][i], kLive);
      EXPECT_EQ(s.particles.beta[iq][i], s.particles.beta[iq][0]);
      EXPECT_EQ(s.particles.qa[iq][i], iq / 4.0);
    }
  }
  EXPECT_EQ(s.particles.beta[2][100], 0.0625);
}

// iflag_chain lines around two drifts leave the phases at the closing line
// as the drifts alone leave them; the opening line sets the reference
// phase of its place from P1 in degrees.
TEST(PrmtrCmd, PhaseChainAroundDriftsMatchesTheUnchainedRun) {
  auto beam_with_spread = [](ControlContext& s) {
    for (int iq = 1; iq <= 2; ++iq)
      for (int i = 0; i <= 40; ++i) {
        s.particles.beta[iq][i] = beta_of_w(kW * (1.0 + 0.002 * (i - 20)));
        s.particles.x[iq][i] = 0.01 * (i % 5);
        s.particles.xp[iq][i] = 0.001 * (i % 3);
      }
  };
  PrmtrRun plain(" 1 drift 10 0 0\n 2 drift 15 0 0\n", 2, 40);
  PrmtrRun chained(" 1 prmtr iflag_chain=0\n 2 drift 10 0 0\n 3 drift 15 0 0\n 4 prmtr iflag_chain=0\n", 2,
                   40);
  beam_with_spread(*plain);
  beam_with_spread(*chained);
  plain.run(2);
  chained.run(1);
  EXPECT_EQ((*chained).state.iflag_chain, 1);
  chained.run(4);
  EXPECT_EQ((*chained).state.iflag_chain, 0);
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i < 40; ++i)
      EXPECT_NEAR((*chained).particles.phase[iq][i], (*plain).particles.phase[iq][i], 1e-12) << iq << " " << i;
  EXPECT_EQ((*chained).history.elem_rf_phase[4], 0.0);
  EXPECT_EQ((*chained).history.ref_phase_out[4], 0.0);

  // In an error pass the record still holds the previous element's errors;
  // the chain lines move the beam without them and leave the record as it is.
  Sim& c = *chained;
  c.state.ipass = 2;
  c.state.ipos = 0;
  c.state.iflag_chain = 0;
  c.transport.misalign.off_in[0] = 0.1;
  c.transport.misalign.off_out[0] = 0.1;
  const double x7 = c.particles.x[1][7];
  chained.run(1);
  EXPECT_EQ(c.state.iflag_chain, 1);
  EXPECT_EQ(c.particles.x[1][7], x7);
  EXPECT_EQ(c.transport.misalign.off_in[0], 0.1);

  PrmtrRun open(" 1 prmtr iflag_chain=30\n", 1, 10);
  open.run(1);
  EXPECT_EQ((*open).history.elem_rf_phase[1], 30 * kDegToRad);
  EXPECT_EQ((*open).history.ref_phase_out[1], 30 * kDegToRad);
}

// A trace line writes its block once per pass, an mhb line with one value
// its analysis; in the error-drawing pass neither is written (no beam has
// moved there).
TEST(PrmtrCmd, DrawingPassWritesNoTraceBlockOrAnalysis) {
  PrmtrRun r(" 1 prmtr mhb=16 0 0\n 2 prmtr mhb=16\n 3 prmtr trace=-3\n", 1, 40);
  Sim& s = *r;
  r.run(1);
  for (int k = 1; k <= 16; ++k) s.particles.beta[1][40 + k] = 0.05 + 1e-4 * std::sin(kTwoPi * k / 16);
  r.run(3);
  s.units.flush_all();
  const auto lines = r.lines_of("log.dat");
  ASSERT_EQ(lines.size(), 10u + 17u + 16u + 16u + 47u);
  EXPECT_EQ(lines[0].substr(0, 8), "  dbeta=");
  EXPECT_EQ(lines[60], std::string(20, ' ') + "    !* beam parameter for trace= -3   *!");
  s.state.idraw = 1;
  s.state.ipass = 2;
  s.state.ipos = 0;
  r.run(3);
  s.units.flush_all();
  EXPECT_EQ(r.lines_of("log.dat"), lines);
  EXPECT_EQ(s.npat.ntest[1], 16);
}

// A whole run whose lattice starts with a harmonic line and carries a dump,
// a trace line and the rms.dat switch.
TEST(PrmtrCmd, WholeRunThroughPrmtrAndAsciiLines) {
  testing::TaskRun run(testing::kVelmoMin,
                       "1 prmtr harm=1\n1 drift 10 2 2\n5 ascii\n1 prmtr trace=2\n1 prmtr iwrite_rms=1\n"
                       "1 drift 10 2 2\nstop\n");
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const auto dump = run.lines_of("ascii.#005");
  ASSERT_GE(dump.size(), 150u);  // header and the live particles of 201 slots
  EXPECT_EQ(dump[0].substr(0, 12), "   #        ");
  const auto log = run.lines_of("log.dat");
  EXPECT_NE(std::find(log.begin(), log.end(), std::string(20, ' ') + "    !* beam parameter for trace=  2   *!"),
            log.end());
  EXPECT_EQ(run.lines_of("rms.dat").size(), 2u);
}

// Inputs the command refuses, each stop naming the line and the value
// (gridSC first with its own text).
TEST(PrmtrCmd, RefusedValuesStopNamingTheLine) {
  struct Case {
    const char* lattice;
    std::function<void(Sim&)> setup;
    std::vector<std::string> parts;  // in order: parts of message line 1, 2, ...
  };
  auto none = [](Sim&) {};
  const Case cases[] = {
      {" 1 prmtr gridSC=32 33 65", none, {" wrong NXgrd ", "lattice line 1 (prmtr gridSC): NXgrd = 32"}},
      {" 1 prmtr gridSC=257 33 65", none, {" wrong NXgrd ", "NXgrd = 257"}},
      {" 1 prmtr gridSC=33 257 65", none, {" wrong NYgrd ", "NYgrd = 257"}},
      {" 1 prmtr gridSC=33 33 513", none, {" wrong NZgrd ", "NZgrd = 513"}},
      {" 1 prmtr iflag2D=2", none, {"lattice line 1 (prmtr iflag2D): IFLAG2D = 2; the space-charge model must be 0"}},
      {" 1 prmtr nqtot=0", none, {"lattice line 1 (prmtr nqtot): NQTOT = 0"}},
      {" 1 prmtr nqtot=7", none, {"NQTOT = 7"}},
      {" 1 prmtr nqtot=3", none, {"NQTOT = 3, but charge state 3 has no mass number (AMASS = 0)"}},
      {" 1 prmtr nqtot1=3", none, {"lattice line 1 (prmtr nqtot1): charge states nqtot0 = 1 to nqtot1 = 3"}},
      {" 1 prmtr nqtot0=3", [](ControlContext& s) { s.config.NQTOT = 3; }, {"nqtot0 = 3 to nqtot1 = 2"}},
      {" 1 prmtr nqtot0=0", none, {"nqtot0 = 0"}},
      {" 1 prmtr iflag_qq=1", [](ControlContext& s) { s.config.nqtot0 = 2; }, {"nqtot0 = 2 to nqtot1 = 1"}},
      {" 1 prmtr iflag_qq=-1", none, {"IFLAG_QQ = -1"}},
      {" 1 prmtr harm=0", none, {"lattice line 1 (prmtr harm): harm = 0"}},
      {" 1 prmtr harm=-2", none, {"harm = -2"}},
      {" 1 prmtr mhb=0 0 0", none, {"lattice line 1 (prmtr mhb): a ring of 0 test particles"}},
      {" 1 prmtr mhb=165003 0 0", none, {"a ring of 165003 test particles behind the 999 particles"}},
      {" 1 prmtr mhb=8 0 0\n 2 prmtr mhb=8", none, {"lattice line 2 (prmtr mhb): harmonic analysis of 8 samples"}},
      {" 1 prmtr mhb=1001 0 0\n 2 prmtr mhb=1001", none, {"1001 samples; it takes 9..1000"}},
      {" 1 prmtr mhb=16 0 0\n 2 prmtr mhb=12", none, {"12 samples, but charge state 1 carries a ring of 16"}},
      {" 1 prmtr iwrite_rms=2", none, {"lattice line 1 (prmtr iwrite_rms): iwrite_rms = 2"}},
      {" 1 prmtr current=1", none, {"lattice line 1 (prmtr current): 1 current(s) for NQTOT = 2 charge states"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lattice);
    PrmtrRun r(std::string(c.lattice) + "\n");
    c.setup(*r);
    const std::vector<std::string> lines = r.stop((*r).config.iel_last);
    ASSERT_GE(lines.size(), c.parts.size());
    if (c.parts[0].starts_with(" wrong")) {
      EXPECT_EQ(lines[0], c.parts[0]);
    }
    for (std::size_t k = 0; k < c.parts.size(); ++k)
      EXPECT_NE(lines[k].find(c.parts[k]), std::string::npos) << lines[k];
  }
}

}  // namespace
}  // namespace linac
