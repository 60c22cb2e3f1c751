// Longitudinal correction of a section: a corrector cavity with a +1 %
// amplitude error retuned so that the beam energy at the phcor line meets
// the design energy, and the phcor phase shift that brings the beam phase
// back to the reference there; the inputs for which no correction exists
// stop the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "beam/beam_state.hpp"
#include "control/input_fixture.hpp"
#include "corrections/correction_steps.hpp"
#include "platform/unformatted.hpp"
#include "test_support.hpp"
#include "vrand_fixture.hpp"

namespace linac {
namespace {

using testing::TaskRun;

const std::string kVelmo =
    "&TRAN QDESIGN=1, ADESIGN=1, WIN=1.0D6, FREQB=1.0D8, NQTOT=1, QQ=1, AMASS=1, NPAT=300,\n"
    "      EPSNX=0.05, ALPHX=0, BETX=100, EPSNY=0.05, ALPHY=0, BETY=100,\n"
    "      EPSNZ=0.01, ALPHZ=0, BETZ=100 /\n"
    "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1, IFLAG_CAV=1, IFLAG_CORR=1, NRZ_MIN=1, NRZ=1 /\n"
    "&CORRECT MONERR=1, PARTEQ=1, PARTCORR=1, IFLAG_VRAND=-1 /\n";

// A gap of table 1 (keyword `cavity`; its phase from the crest in
// fi_in.dat) between drifts, then the phcor line with both modes 2 and tolerances 0.
std::string lattice(const std::string& cavity) {
  std::ostringstream l;
  l << "1 align cav 0 0 0 0 0 0 1\n"  // uniform field error amplitude 1 %
    << "1 cdump\n"
    << "1 drift 10 2 -2\n"
    << "1 " << cavity << " 10.0 1.0 1.0 0.0 40\n"
    << "1 drift 10 2 -2\n"
    << "1 phcor 2 2 0 0\n"
    << "1 cdump\n"
    << "1 drift 10 2 -2\n"
    << "stop\n";
  return l.str();
}
constexpr int kLines = 8;
constexpr int kCavLine = 4;
constexpr int kPhcorLine = 6;

// Every line without error except the cavity's uniform field error, +1 %.
void write_errors(const TaskRun& run) {
  testing::write_seed1_deviates(run, kLines, [](int n, int k) { return n == kCavLine && k == 10 ? 0.0 : -1.0; });
}

void make_table(const TaskRun& run) {
  const std::string cmd = "cd '" + run.dir.path().string() + "' && '" LINAC_MAKE_FIELD_TABLE
                          "' mws gap eh_MWS.#01 e0=50000 sigma=1 xmax=2 ymax=2 zmax=5 aper=2 cells=1 > t.txt 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << testing::read_file(run.dir / "t.txt");
}

// The " dTE00" line of ph_monitor.dat: the correction in %, or NaN.
double dte00(const TaskRun& run) {
  for (const auto& l : run.lines_of("ph_monitor.dat"))
    if (l.rfind(" dTE00", 0) == 0) return std::stod(l.substr(6, 12));
  return NAN;
}

TEST(LongitudinalRun, CorrectorCavityRestoresEnergyAndPhcorThePhase) {
  struct Case {
    const char* name;
    const char* cavity;
    double phase;  // deg from the crest
  };
  for (const Case c : {Case{"accelerating corrector", "cavc", 0.0}, Case{"decelerating corrector", "cavc", 180.0},
                       Case{"plain cavity: no energy correction", "cav", 0.0}}) {
    TaskRun run(kVelmo, lattice(c.cavity));
    run.file("fi_in.dat", std::to_string(c.phase) + "\n");
    make_table(run);
    write_errors(run);
    ASSERT_EQ(run.go(), 0) << c.name << "\n" << run.screen.str();
    const Sim& sim = *run.sim;
    const auto& h = sim.history;
    const double gain = h.ref_W_out[kCavLine] - h.ref_W_in[kCavLine];  // keV/u, signed
    const double wr = h.ref_W_out[kPhcorLine];
    const double w = 1000.0 * sim.stats.element_stats[kPhcorLine].w_mean;
    const double field = sim.tables.field_used[kCavLine];
    const double p8 = sim.elements.elem_par[kCavLine][8];
    const bool corrector = std::string(c.cavity) == "cavc";
    if (corrector) {
      // First order in the 1 % error: the energy error left is of order
      // (1 %)^2 of the gain.
      EXPECT_LE(std::abs(w - wr), 1e-4 * std::abs(gain)) << c.name << " W " << w << " Wr " << wr;
      // The set-point drops by about 1 %, whatever the sign of the gain;
      // the printed correction has the sign of the energy deficit.
      EXPECT_NEAR(p8 / field, 1.0 / 1.01, 2e-3) << c.name;
      const double d = dte00(run);
      EXPECT_NEAR(d, c.phase == 0.0 ? -1.0 : 1.0, 0.05) << c.name;
    } else {
      // Energy mode dropped: the cavity keeps its amplitude and the energy
      // error stays, about 1 % of the gain.
      EXPECT_TRUE(std::isnan(dte00(run))) << c.name;
      EXPECT_EQ(p8, field) << c.name;
      EXPECT_GT(std::abs(w - wr), 5e-3 * std::abs(gain)) << c.name;
    }
    // The phcor shift brings the beam's phase centroid to the reference in
    // the section's final pass, which starts from the same beam as the
    // measurement: out_phq.dat holds that centroid at the phcor line
    // (PHavr, deg, the last field).
    const std::vector<std::string> phq = run.lines_of("out_phq.dat");
    ASSERT_EQ(phq.size(), 10u) << c.name;  // header, align, header, lines 2..7, seed record
    ASSERT_EQ(phq[7].substr(0, 6), " phcor") << c.name;
    std::string avr = phq[7].substr(96, 15);
    avr[avr.find('D')] = 'E';
    EXPECT_LE(std::abs(std::stod(avr)), 1e-9) << c.name << " " << phq[7];
    // The seed's full pass differs from the correction passes in slot 0
    // alone, one of the NPAT + 1 particles of the statistics: the reference
    // particle there, the beam's centroid in the correction passes. Its
    // phase centroid at the phcor line is thus about the entrance centroid
    // / (NPAT + 1), carried through the cavity.
    const double entrance = sim.stats.element_stats[1].phic;
    EXPECT_LE(std::abs(sim.stats.element_stats[kPhcorLine].phic), 1.1 * std::abs(entrance) / 301.0) << c.name;
  }
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

// ph_monitor.dat byte for byte where its lines follow from fixed layouts: the
// section list, the seed and section headers, and the energy line of each
// section's closing block (values taken from the run, laid out by hand).
TEST(LongitudinalRun, PhMonitorLinesFollowTheirLayouts) {
  testing::TaskRun run(kVelmo, lattice("cavc"));
  run.file("fi_in.dat", "0.0\n");
  make_table(run);
  write_errors(run);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const Sim& sim = *run.sim;
  const std::vector<std::string> lines = run.lines_of("ph_monitor.dat");
  // Section list: (8X,A8,I2,25X,A21) or (8X,A8,I2,13X,A30,I3), then
  // (3(A6,I4,1X)), (3(I3,1X,A5,2X)) and an empty line; blanks left by a
  // trailing X descriptor end no record.
  const auto b = [](int n) { return std::string(static_cast<std::size_t>(n), ' '); };
  const std::vector<std::string> list = {
      b(8) + "SECTION# 1" + b(25) + b(8) + "no correction",
      "  ne1=   1   ne2=   1   ne3=   1",
      "  1 align    1 align    1 align",
      "",
      b(8) + "SECTION# 2" + b(13) + b(8) + " correction for CDUMP#  1",
      "  ne1=   2   ne2=   7   ne3=   7",
      "  1 cdump    1 cdump    1 cdump",
      "",
  };
  ASSERT_GE(lines.size(), list.size());
  for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(lines[i], list[i]) << "line " << i + 1;
  // Seed header (28X,A8,I5,A2) and section headers (10X,A13,I4,A3).
  const auto has = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
  // The seed header between two lines of 28 blanks and 14 asterisks written
  // list-directed (one more blank in front): the asterisks stand in the
  // columns 30..43 of "* Seed#    1 *".
  const auto seed = std::find(lines.begin(), lines.end(), b(28) + " * Seed#    1 *");
  ASSERT_NE(seed, lines.end());
  ASSERT_NE(seed, lines.begin());
  ASSERT_NE(seed + 1, lines.end());
  EXPECT_EQ(*(seed - 1), b(29) + std::string(14, '*'));
  EXPECT_EQ(*(seed + 1), b(29) + std::string(14, '*'));
  EXPECT_TRUE(has(b(10) + "  !* Section#   1 *!"));
  EXPECT_TRUE(has(b(10) + "  !* Section#   2 *!"));
  // Closing block energy line (A12,F8.2,2(A7,F10.2),A6) at each section's end.
  for (const int last : {1, 7}) {
    const double e = 1000.0 * sim.stats.element_stats[last].w_mean;
    const double wr = sim.history.ref_W_out[last];
    char buf[128];
    // " Wkin-Wtmp=" is 11 wide: one blank pads it to A12.
    std::snprintf(buf, sizeof buf, "  Wkin-Wtmp=%8.2f  Wkin=%10.2f  Wtmp=%10.2f Kev/u", e - wr, e, wr);
    EXPECT_TRUE(has(buf)) << "missing: [" << buf << "]\n" << testing::read_file(run.dir / "ph_monitor.dat");
  }
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

// A section of `count` copies of the line `cavity` before a phcor line
// with both modes 2.
std::string cavities_lattice(int count, const std::string& cavity) {
  std::string l = "1 cdump\n";
  for (int i = 0; i < count; ++i) l += cavity + "\n";
  return l + "1 phcor 2 2 0 0\n1 cdump\n1 drift 10 2 -2\nstop\n";
}

TEST(LongitudinalRun, InputsThatStopTheCorrection) {
  struct Case {
    const char* name;
    int count;
    const char* cavity;
    const char* message;  // a part of the stop's line on the screen
  };
  const Case cases[] = {
      {"51 corrector cavities", 51, "1 cavc 2.0 1.0 0.01 0.0 4",
       " seed 1, correction section 1: 51 corrector cavities before the phcor line"},
      {"corrector cavity of amplitude 0", 1, "1 cavc 10.0 1.0 0.0 0.0 40",
       "gain no energy with an amplitude step (sum of gains 0 keV/u)"},
  };
  for (const Case& c : cases) {
    testing::TaskRun run(kVelmo, cavities_lattice(c.count, c.cavity));
    std::string phases;  // from the crest
    for (int i = 0; i < c.count; ++i) phases += "0.0\n";
    run.file("fi_in.dat", phases);
    make_table(run);
    testing::write_seed1_deviates(run, c.count + 4, [](int, int) { return -1.0; });
    EXPECT_NE(run.go(), 0) << c.name;
    EXPECT_NE(run.screen.str().find(c.message), std::string::npos) << c.name << "\n" << run.screen.str();
    EXPECT_LE(run.lines_of("co_monitor.dat").size(), 2u) << c.name;  // seed and section records at most
  }
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

// No lattice the reader accepts brings the design energy to 0 (a cavity
// cannot stop the reference particle); the guard of the energy correction
// is reached by clearing the design energy at the phcor line after a run
// and repeating the section's correction from its saved beam.
TEST(LongitudinalRun, ZeroDesignEnergyAtThePhcorLineStops) {
  testing::TaskRun run(kVelmo, lattice("cavc"));
  run.file("fi_in.dat", "0.0\n");
  make_table(run);
  write_errors(run);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  run.screen.str("");
  run.sim->history.ref_W_out[kPhcorLine] = 0.0;
  EXPECT_NE(run.run([](ControlContext& sim) {
    State(sim, "corr_dis.dat", "read");
    sim.corr.corr_on_long = 0;
    longitudinal_correction(sim, 2);
  }),
            0);
  EXPECT_NE(run.screen.str().find(" seed 1, correction section 2: design energy 0 keV/u at "), std::string::npos)
      << run.screen.str();
}

}  // namespace
}  // namespace linac
