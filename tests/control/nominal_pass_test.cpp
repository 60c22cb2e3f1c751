#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "beam/out_tables.hpp"
#include "run/sim.hpp"
#include "control/dispatcher.hpp"
#include "control/velmo_main.hpp"
#include "platform/fatal.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::TempDir;

constexpr double kW0 = 1000.0;  // design energy, keV/u

// A run context as the parameter, lattice and initial-beam steps leave it,
// set by hand: one charge state of four particles at (x, x') = (+-1, +-0.001) cm,
// rad, at the design energy, and the given lattice lines.
std::unique_ptr<Sim> prepared_run(const TempDir& dir, const std::vector<const char*>& keywords) {
  auto sim = make_sim();
  set_start_values(*sim);
  set_remaining_defaults(*sim);
  Sim& s = *sim;
  s.units.set_directory(dir.path());
  for (int u : {kUnitOut, kUnitCoord, kUnitLost, kUnitLog, kUnitWtmp}) s.units.open(u, std::to_string(u) + ".txt");
  s.config.NQTOT = 1;
  s.config.npat0[1] = 3;
  s.config.nqtot0 = 1;
  s.config.nqtot1 = 1;
  s.config.DWWMAX = s.config.DWWACC;
  s.ref.w0 = kW0;
  s.ref.FREQB = 1e8;
  s.ref.harm = 1.0;
  s.ref.wavelength_2pi = kSpeedOfLightCm / 1e8 / kTwoPi;
  const double g = 1.0 + kW0 / kAmuKev;
  const double beta = std::sqrt(1.0 - 1.0 / (g * g));
  const double xs[4][2] = {{1, 0.001}, {-1, -0.001}, {1, -0.001}, {-1, 0.001}};
  for (int i = 0; i < 4; ++i) {
    s.particles.x[1][i] = xs[i][0];
    s.particles.xp[1][i] = xs[i][1];
    s.particles.beta[1][i] = beta;
  }
  s.config.iel_first = 1;
  s.config.iel_last = static_cast<int>(keywords.size());
  for (std::size_t k = 0; k < keywords.size(); ++k) {
    s.elements.elem_name[k + 1] = keywords[k];
    s.elements.elem_pos[k + 1] = 25.0 * static_cast<double>(k + 1);
  }
  return sim;
}

std::vector<std::string> lines_of(const TempDir& dir, int unit) { return read_lines(dir / (std::to_string(unit) + ".txt")); }

TEST(NominalPass, LatticeOfCommandsWithoutAction) {
  TempDir dir;
  auto sim = prepared_run(dir, {"fit  ", "vary ", "tdstr", "fhide", "trace", "cav  "});
  Sim& s = *sim;
  s.config.IFLAG_CAV = 0;
  s.offsets.X00[1] = 0.1;  // injection offset, cm
  nominal_pass(s);
  EXPECT_EQ(s.state.ipos, 6);
  s.units.close_all();

  const auto out = lines_of(dir, kUnitOut);
  ASSERT_EQ(out.size(), 1u + 1u + 6u + 1u);
  EXPECT_EQ(out[0], out_dat_header(s.PART, false));
  const std::string& entry = out[1];
  EXPECT_EQ(entry.substr(0, 26), "   0  entry      0.00000  ");
  // x_rms = sqrt(4/3) cm; x centroid = the injection offset 0.1 cm.
  EXPECT_EQ(entry.substr(56, 15), "      1.15470  ");
  EXPECT_EQ(entry.substr(341, 15), "      0.10000  ");
  // Counts: no losses, 4 live particles.
  EXPECT_EQ(entry.substr(526, 32), "          0.0             4.0   ");
  const char* names[] = {"fit  ", "vary ", "tdstr", "fhide", "trace", "cav  "};
  const char* dists[] = {"     0.25000", "     0.50000", "     0.75000", "     1.00000", "     1.25000", "     1.50000"};
  for (int n = 1; n <= 6; ++n) {
    const std::string& l = out[static_cast<std::size_t>(n + 1)];
    ASSERT_EQ(l.size(), 558u);
    EXPECT_EQ(l.substr(0, 11), "   " + std::to_string(n) + "  " + names[n - 1]);
    EXPECT_EQ(l.substr(12, 12), dists[n - 1]);
    // Every statistic repeats the entrance line (item 3 compares with a
    // reference energy no handler stored here, so it shows 0).
    EXPECT_EQ(l.substr(41, 15), "      0.00000  ");
    EXPECT_EQ(l.substr(56), entry.substr(56)) << n;
  }
  // The end-of-pass record: the text and the seed number 0.
  const std::string& last = out.back();
  EXPECT_EQ(last.substr(0, 17), "  end of seed No.");
  EXPECT_EQ(std::stoi(last.substr(17)), 0);

  // wtmp.dat: one (I5,A9,4E15.5) record per line, all reference values 0.
  const auto wtmp = lines_of(dir, kUnitWtmp);
  ASSERT_EQ(wtmp.size(), 6u);
  const std::string zeros = "    0.00000E+00    0.00000E+00    0.00000E+00    0.00000E+00";
  EXPECT_EQ(wtmp[0], "    1    fit  " + zeros);
  EXPECT_EQ(wtmp[4], "    5    trace" + zeros);
  EXPECT_EQ(wtmp[5], "    6    cav  " + zeros);

  // coord.dat: one header and the four particles.
  EXPECT_EQ(lines_of(dir, kUnitCoord).size(), 5u);
}

TEST(NominalPass, HandlersFillTheirOwnLines) {
  // drift, fit, drift with a stand-in drift that moves the beam by 0.5 cm
  // and stores its reference values: fit repeats the first drift's line.
  TempDir dir;
  auto sim = prepared_run(dir, {"drift", "fit  ", "drift"});
  Sim& s = *sim;
  s.config.IFLAG_CORR = 1;  // an error study: no injection offsets, NP_SET kept
  s.beam.NP_SET = 1.0;
  s.config.npat0[1] = 3;
  s.handlers.set(HandlerId::drift_element, [](ControlContext& x, std::int32_t& n) {
    x.state.ipos += 1;
    const auto p = static_cast<std::size_t>(x.state.ipos);
    x.history.ref_W_in[p] = x.ref.w0;
    x.history.ref_W_out[p] = x.ref.w0;
    x.history.ref_phase_out[p] = 0.25 * n;
    for (int i = 0; i <= x.config.NPAT[1]; ++i) x.particles.x[1][i] += 0.5;
    stat(x, x.ref.nstep);
  });
  nominal_pass(s);
  s.units.close_all();
  const auto out = lines_of(dir, kUnitOut);
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(out[1].substr(341, 15), "      0.00000  ");
  EXPECT_EQ(out[2].substr(341, 15), "      0.50000  ");
  EXPECT_EQ(out[3].substr(341, 15), "      0.50000  ");
  EXPECT_EQ(out[4].substr(341, 15), "      1.00000  ");
  EXPECT_EQ(out[3].substr(0, 11), "   2  fit  ");
  const auto wtmp = lines_of(dir, kUnitWtmp);
  ASSERT_EQ(wtmp.size(), 3u);
  EXPECT_EQ(wtmp[0], "    1    drift    0.00000E+00    0.25000E+00    0.10000E+04    0.10000E+04");
  EXPECT_EQ(wtmp[1].substr(14), "    0.00000E+00    0.00000E+00    0.00000E+00    0.00000E+00");
  EXPECT_EQ(wtmp[2].substr(14, 30), "    0.00000E+00    0.75000E+00");
}

TEST(NominalPass, ClearsPassStateAndScalesParticleCounts) {
  TempDir dir;
  auto sim = prepared_run(dir, {"vary "});
  Sim& s = *sim;
  s.config.npat0[1] = 5;  // slots 4 and 5 at rest on the axis
  s.config.IFLAG_CORR = 1;
  s.beam.NP_SET = 0.5;   // 2.5 rounds away from zero to 3
  s.npat.ntest[1] = 7;
  s.state.istat_mode = 2;
  s.state.ipass = 2;
  s.state.idraw = 1;
  s.state.iseed = 4;
  s.corr.ncorr = 3;
  s.corr.kicks[100] = 1.0;
  s.frame.exit.origin = {1.0, 2.0, 3.0};
  nominal_pass(s);
  EXPECT_EQ(s.config.NPAT[1], 3);
  EXPECT_EQ(s.npat.ntest[1], 0);
  EXPECT_EQ(s.state.istat_mode, 0);
  EXPECT_EQ(s.state.ipass, 1);
  EXPECT_EQ(s.state.idraw, 0);
  EXPECT_EQ(s.state.iseed, 0);
  EXPECT_EQ(s.corr.ncorr, 0);
  EXPECT_EQ(s.corr.kicks[100], 0.0);
  EXPECT_EQ(s.frame.exit.origin[0], 0.0);
  EXPECT_EQ(s.frame.entry.axes[2][2], 1.0);
  // Without an error study NP_SET is 1.
  s.config.IFLAG_CORR = 0;
  nominal_pass(s);
  EXPECT_EQ(s.beam.NP_SET, 1.0);
  EXPECT_EQ(s.config.NPAT[1], 5);
}

TEST(NominalPass, RestartStartsFrameOnAxisAtRestartEntrance) {
  TempDir dir;
  auto sim = prepared_run(dir, {"vary "});
  Sim& s = *sim;
  s.state.iscrch = 7;
  s.ref.s_entry = 125.0;
  s.frame.entry.axes = {};  // all-zero axes would make lab positions degenerate
  nominal_pass(s);
  for (const Frame* f : {&s.frame.entry, &s.frame.exit}) {
    EXPECT_EQ(f->origin[0], 0.0);
    EXPECT_EQ(f->origin[1], 0.0);
    EXPECT_EQ(f->origin[2], 125.0);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) EXPECT_EQ(f->axes[i][j], i == j ? 1.0 : 0.0);
  }
}

TEST(NominalPass, ParticleFileWrittenAfterThePassWhenAsked) {
  TempDir dir;
  auto sim = prepared_run(dir, {"vary "});
  nominal_pass(*sim);
  EXPECT_FALSE(std::filesystem::exists(dir / "read_dis.out"));
  sim->config.IWRITE_DIS = 1;
  nominal_pass(*sim);
  EXPECT_TRUE(std::filesystem::exists(dir / "read_dis.out"));
  sim->config.write_ascii = 1;
  nominal_pass(*sim);
  EXPECT_TRUE(std::filesystem::exists(dir / "read_dis_ascii.out"));
}

}  // namespace
}  // namespace linac
