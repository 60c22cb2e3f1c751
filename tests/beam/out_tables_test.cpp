#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "beam/out_tables.hpp"
#include "beam/stats.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::TempDir;

// A run context with start values and out.dat open in a scratch directory.
struct OutRun {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  OutRun() {
    set_start_values(*sim);
    sim->units.set_directory(dir.path());
    sim->units.open(kUnitOut, "out.dat");
  }
  Sim& operator*() { return *sim; }
  // The lines of a file after every unit is closed.
  std::vector<std::string> lines_of(const std::string& name) {
    sim->units.close_all();
    return read_lines(dir / name);
  }
};

TEST(OutDat, LevelLabelFromPart) {
  EXPECT_EQ(level_label(widen(0.995f)), "99.5");
  EXPECT_EQ(level_label(0.9), "90.0");
  EXPECT_EQ(level_label(0.05), "05.0");
  EXPECT_EQ(level_label(0.5), "50.0");
}

TEST(OutDat, HeaderHeadingsAndWidth) {
  for (bool rfq : {false, true}) {
    const std::string h = out_dat_header(0.9, rfq);
    ASSERT_EQ(h.size(), 558u);
    EXPECT_EQ(h.substr(0, 30), "n_el  name       dist[m]     E");
    // The headings up to "exn" take 188 characters, then the label and two blanks.
    EXPECT_EQ(h.substr(185, 18), "exn90.0[cm*mrad]  ");
    EXPECT_NE(h.find("  eyn90.0[cm*mrad]  "), std::string::npos);
    EXPECT_NE(h.find("  ezn90.0[keV/u*ns]  "), std::string::npos);
    EXPECT_EQ(h.substr(545), " total#of_par");
    EXPECT_EQ(h.substr(510, 20), rfq ? "b_z[deg*(%ofD_W/W)] " : "b_z[deg/(%ofD_W/W)] ");
  }
}

// One out.dat line from a hand-made record, glued from fields written by
// hand: items 1-10 and 20-30 as (TR1,F12.5,TR2), the emittances and item
// 31 as (TR4,F12.5,TR4), the counts as (TR1,F12.1,TR3).
TEST(OutDat, DataLineFromRecord) {
  OutRun run;
  Sim& s = *run;
  ElementStatsRow& r = s.stats.element_stats[3];
  r.w_mean = 1.002;
  r.x_rms = 0.1;
  r.y_rms = 0.2;
  r.beam_max = {0.0, 0.5, 0.6, 0.05};
  r.phi_rms = 0.01;
  r.dww_rms = 0.001;
  r.exn_rms4 = 1e-4;
  r.exn_level = 3e-4;
  r.exn_max = 5e-4;
  r.eyn_rms4 = 2e-4;
  r.eyn_level = 4e-4;
  r.eyn_max = 6e-4;
  r.ezn_rms4 = 1.5;
  r.ezn_level = 2.5;
  r.ezn_max = 3.5;
  r.xc = -0.01;
  r.xpc = 2e-4;
  r.yc = 0.02;
  r.ypc = -3e-4;
  r.btgm = 0.0463;
  r.phic = 0.1;
  r.alpha_x = 1.25;
  r.beta_x = 2000.0;
  r.alpha_y = -0.75;
  r.beta_y = 3000.0;
  r.alpha_z = 0.5;
  r.beta_z = 150.0 * kDegToRad;  // 1.5 deg per % of dW/W
  s.stats.position_counts.n_lost[3] = 3;
  s.stats.position_counts.n_live[3] = 997;
  s.history.ref_W_out[3] = 1000.0;
  write_element_output(s, 3, "drift", 150.0);

  const std::vector<std::string> a = {"     1.50000", "     1.00200", "     0.20000", "     0.10000",
                                      "     0.20000", "     0.50000", "     0.60000", "     0.57296",
                                      "     2.86479", "     0.00100"};
  const std::vector<std::string> e = {"     0.10000", "     0.30000", "     0.50000", "     0.20000", "     0.40000",
                                      "     0.60000", "     1.50000", "     2.50000", "     3.50000"};
  const std::vector<std::string> c = {"    -0.01000", "     0.20000", "     0.02000", "    -0.30000",
                                      "     0.04630", "     5.72958", "     1.25000", "     2.00000",
                                      "    -0.75000", "     3.00000", "     0.50000"};
  std::string expect = "   3  drift";
  auto field = [&expect](int before, const std::string& f, int after) {
    expect.append(static_cast<std::size_t>(before), ' ').append(f).append(static_cast<std::size_t>(after), ' ');
  };
  for (const auto& f : a) field(1, f, 2);
  for (const auto& f : e) field(4, f, 4);
  for (const auto& f : c) field(1, f, 2);
  field(4, "     1.50000", 4);
  field(1, "         3.0", 3);
  field(1, "       997.0", 3);
  ASSERT_EQ(expect.size(), 558u);
  const auto lines = run.lines_of("out.dat");
  ASSERT_EQ(lines.size(), 1u) << "no header for a line not named entry";
  EXPECT_EQ(lines[0], expect);
  EXPECT_FALSE(std::filesystem::exists(run.dir / "out_q.dat")) << "outQ is 0";
}

TEST(OutDat, EntryLineBringsTheHeader) {
  OutRun run;
  Sim& s = *run;
  write_element_output(s, 0, "entry", 0.0);
  write_element_output(s, 1, "ENTRY", 0.0);  // the name is searched without case
  write_element_output(s, 2, "drift", 0.0);
  write_rfq_output(s, 7, 2, "rfq  ", 0.0);  // cell 7, statistics of position 2
  const auto lines = run.lines_of("out.dat");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], out_dat_header(s.PART, false));
  EXPECT_EQ(lines[0].substr(185, 18), "exn99.5[cm*mrad]  ");
  EXPECT_EQ(lines[1].substr(0, 11), "   0  entry");
  EXPECT_EQ(lines[2], lines[0]);
  EXPECT_EQ(lines[5].substr(0, 11), "   7  rfq  ");
  EXPECT_EQ(lines[5].substr(11), lines[4].substr(11)) << "the statistics of position 2";
  for (const auto& l : lines) EXPECT_EQ(l.size(), 558u);
}

TEST(OutQDat, HeaderOnceAndOneLinePerState) {
  OutRun run;
  Sim& s = *run;
  s.config.outQ = 1;
  s.config.NQTOT = 3;
  s.config.nqtot0 = 2;
  s.config.nqtot1 = 3;
  s.config.QQ = {0.0, 10.0, 11.0, 12.5, 0.0, 0.0, 0.0};
  s.ref.betgam0 = 0.05;
  // State 2: moments s11 = 4e-2, s22 = 1e-6, s12 = 1e-4 (correlation 0.5),
  // s33 = 9e-2, s44 = 4e-6, s34 = 0, s66 = 1e-6; three live slots.
  Sym6& q = s.stats.q_sigma[2];
  q[1][1] = 4e-2;
  q[2][2] = 1e-6;
  q[1][2] = q[2][1] = 1e-4;
  q[3][3] = 9e-2;
  q[4][4] = 4e-6;
  q[6][6] = 1e-6;
  s.stats.qstate_centroids[2] = {0.0, 0.1, 2e-4, -0.2, -1e-4, 0.0, 1002.5};
  s.config.NPAT[2] = 3;
  s.particles.status[2][2] = -1;
  // State 3: a single counted particle, no moments.
  s.config.NPAT[3] = 0;
  s.stats.position_counts.n_live[4] = 4;
  write_element_output(s, 4, "quad ", 250.0);
  write_element_output(s, 5, "drift", 300.0);
  const auto lines = run.lines_of("out_q.dat");
  ASSERT_EQ(lines.size(), 5u);
  ASSERT_EQ(lines[0].size(), 301u);
  EXPECT_EQ(lines[0].substr(0, 24), "n_el  name       dist[m]");
  const std::string& f = lines[1];
  EXPECT_EQ(f.substr(0, 11), "   4  quad ");
  EXPECT_EQ(f.substr(11, 13), "      2.50000");        // TR1, F12.5: z in m
  EXPECT_EQ(f.substr(24, 15), "       0.050000");        // TR2, TR3, F10.6: beta*gamma
  EXPECT_EQ(f.substr(39, 10), "      11.0");           // TR2, TR4, F4.1: Q
  EXPECT_EQ(f.substr(49, 15), "   1002.50000  ");      // W, keV/u
  EXPECT_EQ(f.substr(64, 15), "      0.10000  ");        // rms dW/W, %
  // Normalised emittance: 0.05 sqrt(4e-8 - 1e-8) 1000 = 0.008660254.
  EXPECT_EQ(f.substr(139, 19), "        0.008660   ");
  EXPECT_EQ(f.substr(158, 2 + 15), "        0.20000  ");    // TR2, sx
  EXPECT_EQ(f.substr(190, 15), "      0.50000  ");         // Rxx'
  EXPECT_EQ(f.substr(273, 7), "      3");                // Npat
  EXPECT_EQ(f.substr(288, 7), "      4");                // total
  EXPECT_EQ(f.size(), 295u);
  const std::string& o = lines[2];
  EXPECT_EQ(o.substr(0, 45), std::string(45, ' '));
  EXPECT_EQ(o.substr(45, 4), "12.5");
  EXPECT_EQ(o.substr(273, 7), "      1");
  EXPECT_EQ(o.size(), 280u) << "ends after Npat";
  EXPECT_EQ(o.find("NaN"), std::string::npos);
  EXPECT_EQ(lines[3].substr(0, 11), "   5  drift");
}

}  // namespace
}  // namespace linac
