#include "beam/distribution_readers.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "control/input_fixture.hpp"
#include "control/parameter_file.hpp"
#include "control/velmo_main.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using ::testing::HasSubstr;
using testing::read_lines;
using testing::TempDir;
using testing::write_file;

constexpr double kFreqB = 50e6;          // Hz
constexpr double kHarm = 2.0;            // operating harmonic on the first lattice line
constexpr double kAmuEvC2 = 931494320.0;  // atomic mass unit, eV/c^2

// Kinetic energy per nucleon (keV/u) from beta, through beta gamma (an
// independent route from the readers' gamma = 1/sqrt(1 - beta^2)).
double energy_kev(double beta) {
  const double bg = beta / std::sqrt((1.0 - beta) * (1.0 + beta));
  return (std::sqrt(1.0 + bg * bg) - 1.0) * kAmuKev;
}
// Speed of the kinetic energy w (keV/u): beta = sqrt(gamma^2 - 1)/gamma.
double speed_kev(double w) {
  const double g = 1.0 + w / kAmuKev;
  return std::sqrt((g - 1.0) * (g + 1.0)) / g;
}

// A run context in a scratch directory with log.dat open, the screen
// captured and a first lattice line "prmtr harm=2".
struct ReaderRun {
  TempDir tmp;
  std::unique_ptr<Sim> sim = make_sim();
  std::ostringstream screen;
  ReaderRun() {
    set_start_values(*sim);
    sim->units.set_directory(tmp.path());
    sim->screen.redirect(screen);
    sim->units.open(kUnitLog, "log.dat");
    ElementTable& e = sim->elements;
    sim->config.iel_first = 1;
    e.elem_name[1] = "prmtr";
    e.elem_int[1][11] = 3;
    e.elem_par[1][1] = kHarm;
    sim->ref.FREQB = kFreqB;
    sim->ref.wavelength = kSpeedOfLightCm / kFreqB;
    sim->ref.wavelength_2pi = sim->ref.wavelength / kTwoPi;
    sim->ref.harm = 1.0;
    rn_set_seed(*sim, 214748364);
  }
  void file(const std::string& name, const std::string& text) { write_file(tmp / name, text); }
  std::vector<std::string> log() {
    sim->units.flush(kUnitLog);
    return read_lines(tmp / "log.dat");
  }
  Sim& operator*() { return *sim; }
};

// The lines of the stop that ends `body`; fails when it does not stop.
std::vector<std::string> stop_lines(const std::function<void()>& body) {
  try {
    body();
  } catch (const FatalStop& stop) {
    return stop.lines();
  }
  ADD_FAILURE() << "the run did not stop";
  return {};
}
std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// ------------------------------------------------------------------ LANL

// Charges 10, 11, 10, 12: three states in order of first appearance; the
// fourth record continues on the next line, the third uses commas.
constexpr const char* kLanlFixture =
    "LANL beam, four particles\n"
    "1  0.1  0.002 -0.2  0.001  0.5 1.0 10 40\n"
    "2  0.3 -0.004  0.4  0.003  0.7 1.2 11 40   trailing words are not read\n"
    "3,-0.1,0.0,0.05,-0.002,0.3,1.1,10,40\n"
    "\n"
    "4  0.0  0.001  0.1 -0.001\n"
    "   0.2  0.9 12 41\n";

TEST(LanlReader, StatesInFileOrderExactCoordinatesAndCommonPhaseShift) {
  ReaderRun run;
  Sim& s = *run;
  run.file("lanl_ini.dat", kLanlFixture);
  read_lanl_distribution(s);

  ASSERT_EQ(s.config.NQTOT, 3);
  EXPECT_EQ(s.config.QQ[1], 10.0);
  EXPECT_EQ(s.config.QQ[2], 11.0);
  EXPECT_EQ(s.config.QQ[3], 12.0);
  EXPECT_EQ(s.config.AMASS[3], 41.0);
  EXPECT_EQ(s.config.NPAT[1], 1);  // reference + one beam particle
  EXPECT_EQ(s.config.NPAT[2], 0);  // a lone particle is the reference only
  EXPECT_EQ(s.config.NPAT[3], 0);
  EXPECT_EQ(s.ref.harm, kHarm);
  EXPECT_DOUBLE_EQ(s.ref.wavelength_2pi, s.ref.wavelength / kHarm / kTwoPi);

  // Plain mean of the state mean phases: ((0.5 + 0.3)/2 + 0.7 + 0.2)/3.
  const double phi = (0.4 + 0.7 + 0.2) / 3.0;
  struct Expect {
    int iq, i;
    double x, xp, y, yp, phase, w_mev;
  };
  const Expect table[] = {{1, 0, 0.1, 0.002, -0.2, 0.001, 0.5, 1.0},
                          {1, 1, -0.1, 0.0, 0.05, -0.002, 0.3, 1.1},
                          {2, 0, 0.3, -0.004, 0.4, 0.003, 0.7, 1.2},
                          {3, 0, 0.0, 0.001, 0.1, -0.001, 0.2, 0.9}};
  const ParticleArrays& p = s.particles;
  for (const auto& e : table) {
    SCOPED_TRACE(::testing::Message() << "state " << e.iq << " slot " << e.i);
    EXPECT_EQ(p.x[e.iq][e.i], e.x);
    EXPECT_EQ(p.xp[e.iq][e.i], e.xp);
    EXPECT_EQ(p.y[e.iq][e.i], e.y);
    EXPECT_EQ(p.yp[e.iq][e.i], e.yp);
    EXPECT_NEAR(p.phase[e.iq][e.i], e.phase - phi, 1e-15);
    EXPECT_NEAR(p.beta[e.iq][e.i], speed_kev(1000.0 * e.w_mev), 1e-15);
    EXPECT_EQ(p.status[e.iq][e.i], kLive);
  }
  // Per-state means of the particles as read (before the phase shift).
  const auto& cen = s.stats.qstate_centroids;
  EXPECT_NEAR(cen[1][1], 0.0, 1e-17);
  EXPECT_NEAR(cen[1][3], -0.075, 1e-16);
  EXPECT_NEAR(cen[1][5], 0.4, 1e-16);
  EXPECT_NEAR(cen[1][6], 1050.0, 1e-12);
  EXPECT_EQ(cen[2][2], -0.004);
  EXPECT_EQ(cen[3][4], -0.001);
  // Plain mean of the state mean energies: (1050 + 1200 + 900)/3 keV/u.
  EXPECT_NEAR(s.ref.WIN, 1050.0, 1e-10);
  // After the shift the plain mean of the state means is zero.
  const double m = ((p.phase[1][0] + p.phase[1][1]) / 2 + p.phase[2][0] + p.phase[3][0]) / 3;
  EXPECT_NEAR(m, 0.0, 1e-15);

  const auto log = run.log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0], "      Parameters of the LANL_ini.dat distribution");
  EXPECT_EQ(log[1],
            " iq   Q     A      npat      Xavr[cm]     X'avr[mrad]      Yavr[cm]     "
            "Y'avr[mrad]      Phi[deq]      Wkin[Kev/u] ");
  // State 1: means x 0, x' 1 mrad, y -0.075, y' -0.5 mrad, phase 0.4 rad =
  // 22.918 deg, W 1050 keV/u.
  EXPECT_EQ(log[2],
            "  1   10.0   40.0       1    0.00000E+00    0.10000E+01   -0.75000E-01   "
            "-0.50000E+00    0.22918E+02    0.10500E+04");
  // State 2: 0.7 rad = 40.107 deg.
  EXPECT_EQ(log[3],
            "  2   11.0   40.0       0    0.30000E+00   -0.40000E+01    0.40000E+00    "
            "0.30000E+01    0.40107E+02    0.12000E+04");
}

// ----------------------------------------------------------------- ASTRA

TEST(AstraReader, PositionsInCmMomentaReplacedPhaseFromZ) {
  ReaderRun run;
  Sim& s = *run;
  // Two states (Q 5 and 6, A 40); the momenta of the later records differ
  // wildly from the first and must not matter.
  run.file("astra_ini.dat",
           "ASTRA beam\n"
           " 1.0e-3 -2.0e-3  5.0e-4  1.0e3  2.0e3  3.0e8  5 40\n"
           " 2.0e-3  1.0e-3 -1.0e-3  9.0e6 -9.0e6  1.0e5  6 40\n"
           "-1.0e-3  0.0     2.0e-3  0.0    0.0    7.0e9  5 40\n");
  // The deviates the reader must use: two per particle, in file order.
  auto ref_sim = make_sim();
  set_start_values(*ref_sim);
  rn_set_seed(*ref_sim, 214748364);
  double u[6];
  dRNUN(*ref_sim, 6, u);

  read_astra_distribution(s);
  ASSERT_EQ(s.config.NQTOT, 2);
  EXPECT_EQ(s.config.QQ[1], 5.0);
  EXPECT_EQ(s.config.QQ[2], 6.0);
  EXPECT_EQ(s.config.NPAT[1], 1);
  EXPECT_EQ(s.config.NPAT[2], 0);

  const double p_ref = 3.0e8;
  const double wl = s.ref.wavelength / kHarm / kTwoPi;
  struct Expect {
    int iq, i;
    double x, y, z;
    int draw;  // index of its first deviate
  };
  const Expect table[] = {{1, 0, 0.1, -0.2, 5e-4, 0}, {2, 0, 0.2, 0.1, -1e-3, 2}, {1, 1, -0.1, 0.0, 2e-3, 4}};
  double phase_raw[3];
  double w[3];
  const ParticleArrays& p = s.particles;
  for (int k = 0; k < 3; ++k) {
    const auto& e = table[k];
    SCOPED_TRACE(::testing::Message() << "record " << k + 1);
    EXPECT_NEAR(p.x[e.iq][e.i], e.x, 1e-15);
    EXPECT_NEAR(p.y[e.iq][e.i], e.y, 1e-15);
    const double xp = (2.0 * u[e.draw] - 1.0) * 0.001;
    const double yp = (2.0 * u[e.draw + 1] - 1.0) * 0.001;
    EXPECT_NEAR(p.xp[e.iq][e.i], xp, 1e-18);
    EXPECT_NEAR(p.yp[e.iq][e.i], yp, 1e-18);
    EXPECT_LE(std::fabs(p.xp[e.iq][e.i]), 1e-3);
    // Every particle has p = p_ref sqrt(1 + x'^2 + y'^2): beta gamma = p/(A m c).
    const double bg = p_ref * std::sqrt(1.0 + xp * xp + yp * yp) / (40.0 * kAmuEvC2);
    const double beta = bg / std::sqrt(1.0 + bg * bg);
    EXPECT_NEAR(p.beta[e.iq][e.i], beta, 1e-15);
    phase_raw[k] = -(100.0 * e.z / beta) / wl;
    w[k] = energy_kev(beta);
  }
  const double phi = ((phase_raw[0] + phase_raw[2]) / 2 + phase_raw[1]) / 2;
  for (int k = 0; k < 3; ++k) {
    const auto& e = table[k];
    EXPECT_NEAR(p.phase[e.iq][e.i], phase_raw[k] - phi, 1e-12);
  }
  EXPECT_NEAR(s.ref.WIN, ((w[0] + w[2]) / 2 + w[1]) / 2, 1e-9);
  const auto log = run.log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0], "      Parameters of the ASTRA_ini.dat distribution");
  EXPECT_THAT(log[3], ::testing::StartsWith("  2    6.0   40.0       0    0.20000E+00"));
}

// ----------------------------------------------------------------- KOBRA

TEST(KobraReader, ChargesWithinToleranceShareAStateCurrentsSummedThenStop) {
  ReaderRun run;
  Sim& s = *run;
  // Charges 3 and 3.00005 form one state (within 1e-4), and both particles
  // are stored in it; 4 is the second state.
  run.file("kobra_ini.dat",
           "0 0  1.0e-3  2.0e-3  1.0e7  1.0e4 -2.0e4  3.0      40 0  0.25\n"
           "0 0 -1.0e-3  0.0     2.0e7  0.0    4.0e4  4.0      40 0  0.5\n"
           "0 0  3.0e-3 -1.0e-3  1.5e7 -3.0e4  0.0    3.00005  40 0  0.125\n");
  s.current.CURRENT[1] = 99.0;  // replaced by the file's sum
  // The run ends, without a message and as a planned end, after the table.
  EXPECT_THROW(read_kobra_distribution(s), PlannedStop);

  ASSERT_EQ(s.config.NQTOT, 2);
  EXPECT_EQ(s.config.QQ[1], 3.0);
  EXPECT_EQ(s.config.QQ[2], 4.0);
  EXPECT_EQ(s.config.NPAT[1], 1);
  EXPECT_EQ(s.config.NPAT[2], 0);
  EXPECT_EQ(s.current.CURRENT[1], 0.375);
  EXPECT_EQ(s.current.CURRENT[2], 0.5);

  const ParticleArrays& p = s.particles;
  const double c = 299792458.0;
  EXPECT_NEAR(p.x[1][1], 0.3, 1e-15);
  EXPECT_NEAR(p.y[1][1], -0.1, 1e-15);
  EXPECT_EQ(p.xp[1][1], -3.0e4 / 1.5e7);
  EXPECT_EQ(p.yp[1][1], 0.0);
  EXPECT_NEAR(p.beta[1][1], std::hypot(1.5e7, 3.0e4) / c, 1e-16);
  EXPECT_NEAR(p.xp[2][0], 0.0, 0.0);
  EXPECT_EQ(p.yp[2][0], 4.0e4 / 2.0e7);
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i <= s.config.NPAT[iq]; ++i) {
      EXPECT_GT(p.phase[iq][i], -kPi);
      EXPECT_LT(p.phase[iq][i], kPi);
      EXPECT_EQ(p.status[iq][i], kLive);
    }
  const auto log = run.log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0],
            " iq     Q     A      npat      Xavr[cm]     X'avr[mrad]      Yavr[cm]     "
            "Y'avr[mrad]      Phi[deq]    Wkin[Kev/u] ");
  // State 1: mean x (0.1 + 0.3)/2 cm, x' (1e-3 - 2e-3)/2 rad.
  EXPECT_THAT(log[1], ::testing::StartsWith("  1    3.0   40.0       1    0.20000E+00   -0.50000E+00"));
}

// -------------------------------------------------------------- DINAMION

TEST(DinamionReader, ParticlesFiledUnderEveryStateWithinTenthAndMeanEnergy) {
  ReaderRun run;
  Sim& s = *run;
  s.config.NQTOT = 2;
  s.config.QQ[1] = 5.0;
  s.config.QQ[2] = 5.15;
  s.particles.status[1][1] = 0;
  // Q = 5.08 lies within 0.1 of both states and joins both.
  run.file("dinamion_ini.dat",
           "1  0.10  0.0010  -0.20  0.0020  0  0.040  10.0  5.0\n"
           "2  0.30 -0.0005   0.40  0.0000  0  0.050 -20.0  5.15\n"
           "3 -0.10  0.0000   0.05 -0.0010  0  0.045  90.0\n"
           "   5.08\n"
           "4  0.00  0.0002   0.00  0.0003  0  0.041   0.0  4.95\n");
  read_dinamion(s);
  ASSERT_EQ(s.config.NQTOT, 2);
  EXPECT_EQ(s.config.QQ[2], 5.15);
  EXPECT_EQ(s.config.NPAT[1], 2);
  EXPECT_EQ(s.config.NPAT[2], 1);
  struct Expect {
    int iq, i;
    double x, bx, y, by, bz, deg;
  };
  const Expect table[] = {{1, 0, 0.10, 0.0010, -0.20, 0.0020, 0.040, 10.0},
                          {1, 1, -0.10, 0.0, 0.05, -0.0010, 0.045, 90.0},
                          {1, 2, 0.0, 0.0002, 0.0, 0.0003, 0.041, 0.0},
                          {2, 0, 0.30, -0.0005, 0.40, 0.0, 0.050, -20.0},
                          {2, 1, -0.10, 0.0, 0.05, -0.0010, 0.045, 90.0}};
  const ParticleArrays& p = s.particles;
  double w_sum = 0.0;
  for (const auto& e : table) {
    SCOPED_TRACE(::testing::Message() << "state " << e.iq << " slot " << e.i);
    EXPECT_EQ(p.x[e.iq][e.i], e.x);
    EXPECT_EQ(p.y[e.iq][e.i], e.y);
    EXPECT_EQ(p.z[e.iq][e.i], 0.0);
    EXPECT_EQ(p.xp[e.iq][e.i], e.bx / e.bz);
    EXPECT_EQ(p.yp[e.iq][e.i], e.by / e.bz);
    const double beta = std::sqrt(e.bx * e.bx + e.by * e.by + e.bz * e.bz);
    EXPECT_NEAR(p.beta[e.iq][e.i], beta, 1e-17);
    EXPECT_NEAR(p.phase[e.iq][e.i], e.deg * kDegToRad, 1e-15);
    w_sum += energy_kev(beta);
  }
  EXPECT_NEAR(s.ref.w_file_mean, w_sum / 5.0, 1e-9);
  EXPECT_TRUE(run.log().empty());
}

// The parameter file reads dinamion_ini.dat once for the design energy:
// WIN := 1000 w_file_mean eV/u, then keV/u like any WIN.
TEST(DinamionReader, ParameterFileTakesTheDesignEnergyFromTheFile) {
  testing::InputRun r;
  r.file("velmo.dat",
         "&TRAN QDESIGN=5, ADESIGN=40, FREQB=1.0D8, NQTOT=2, NPAT=10,10, QQ=5,6, AMASS=40,40 /\n"
         "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=49 /\n");
  r.file("dinamion_ini.dat",
         "1 0.1 0.001 0.2 0.0 0 0.040 10.0 5.0\n"
         "2 0.0 0.000 0.0 0.0 0 0.050 20.0 6.0\n"
         "3 0.0 0.000 0.0 0.0 0 0.045 30.0 6.0\n");
  ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
  const Sim& s = *r.sim;
  const double wm = (energy_kev(std::hypot(0.040, 0.001)) + energy_kev(0.050) + energy_kev(0.045)) / 3;
  EXPECT_NEAR(s.ref.w_file_mean, wm, 1e-9);
  EXPECT_NEAR(s.ref.WIN, wm, 1e-9);
  EXPECT_NEAR(s.ref.w0, wm, 1e-9);
  EXPECT_EQ(s.config.NPAT[1], 0);
  EXPECT_EQ(s.config.NPAT[2], 1);

  // A source voltage as well as the file's energy is refused as for WIN.
  testing::InputRun u;
  u.file("velmo.dat",
         "&TRAN QDESIGN=5, ADESIGN=40, UDESIGN=1000, FREQB=1.0D8, NQTOT=1, QQ=5, AMASS=40 /\n"
         "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=49 /\n");
  u.file("dinamion_ini.dat", "1 0.1 0.001 0.2 0.0 0 0.040 10.0 5.0\n");
  EXPECT_NE(u.run(read_velmo_dat), 0);
  EXPECT_THAT(u.screen.str(), HasSubstr("Udesign.ne.0d0 .and. Win.ne.0d0"));

  // Without the file the run stops naming it.
  testing::InputRun m;
  m.file("velmo.dat",
         "&TRAN QDESIGN=5, ADESIGN=40, FREQB=1.0D8, NQTOT=1, QQ=5, AMASS=40 /\n"
         "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=49 /\n");
  EXPECT_NE(m.run(read_velmo_dat), 0);
  EXPECT_THAT(m.screen.str(), HasSubstr("dinamion_ini.dat"));
}

// ----------------------------------------------------------- bad files

// One bad file per case: the run stops with a message naming the file and
// the line, and nothing of the file reaches the particle block.
struct BadFile {
  const char* name;
  std::function<void(Sim&)> read;
  const char* file;
  std::string text;
  std::vector<std::string> expect;  // substrings of the message
};

std::string repeat_lines(const std::string& line, int n) {
  std::string s;
  s.reserve(line.size() * static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) s += line;
  return s;
}

TEST(DistributionReaders, BadFilesStopWithFileAndLine) {
  const std::string lanl_ok = "title\n1 0.1 0.0 0.0 0.0 0.0 1.0 10 40\n";
  const std::string seven_states = [] {
    std::string s = "title\n";
    for (int q = 1; q <= 7; ++q) s += "1 0 0 0 0 0 1.0 " + std::to_string(q) + " 40\n";
    return s;
  }();
  const std::vector<BadFile> cases = {
      {"truncated record", read_lanl_distribution, "lanl_ini.dat",
       lanl_ok + "2 0.1 0.0 0.0\n0.0 0.0\n",
       {"lanl_ini.dat line 4", "end of file", "begins on line 3", "9 numbers expected, 6 read"}},
      {"bad number", read_lanl_distribution, "lanl_ini.dat",
       lanl_ok + "2 0.1 0.0 0.0 0.0 0.0 1.O 10 40\n", {"lanl_ini.dat line 3", "'1.O'"}},
      {"seven charge states", read_lanl_distribution, "lanl_ini.dat", seven_states,
       {"lanl_ini.dat line 8", "charge 7", "at most 6 charge states"}},
      {"too many particles", read_lanl_distribution, "lanl_ini.dat",
       "title\n" + repeat_lines("1 0.1 0.0 0.0 0.0 0.0 1.0 10 40\n", kParticleSlots + 1),
       {"lanl_ini.dat line 166004", "more than 166002 particles of charge state 1"}},
      {"no particles", read_lanl_distribution, "lanl_ini.dat", "title only\n\n",
       {"lanl_ini.dat", "no particle record"}},
      {"empty file", read_astra_distribution, "astra_ini.dat", "", {"astra_ini.dat", "empty"}},
      {"missing file", read_lanl_distribution, "other.dat", "", {"lanl_ini.dat"}},
      {"zero energy", read_lanl_distribution, "lanl_ini.dat",
       lanl_ok + "2 0.1 0.0 0.0 0.0 0.0 0.0 10 40\n", {"lanl_ini.dat line 3", "W = 0"}},
      {"mass number zero", read_lanl_distribution, "lanl_ini.dat",
       lanl_ok + "2 0.1 0.0 0.0 0.0 0.0 1.0 11 0\n", {"lanl_ini.dat line 3", "A = 0"}},
      {"zero reference momentum", read_astra_distribution, "astra_ini.dat",
       "t\n0 0 0 1 1 0 5 40\n", {"astra_ini.dat line 2", "pz"}},
      {"zero vz", read_kobra_distribution, "kobra_ini.dat",
       "0 0 0 0 1e7 0 0 3 40 0 1\n0 0 0 0 0 1e4 0 3 40 0 1\n", {"kobra_ini.dat line 2", "vz = 0"}},
      {"faster than light", read_kobra_distribution, "kobra_ini.dat",
       "0 0 0 0 3e8 0 0 3 40 0 1\n", {"kobra_ini.dat line 1", "speed"}},
      {"charge not in velmo.dat", read_dinamion, "dinamion_ini.dat",
       "1 0 0 0 0 0 0.04 0 5.0\n2 0 0 0 0 0 0.04 0 5.3\n",
       {" wrong charge state in DINAMION_distr", "dinamion_ini.dat line 2", "5.3"}},
      {"integer column", read_dinamion, "dinamion_ini.dat", "1.5 0 0 0 0 0 0.04 0 5.0\n",
       {"dinamion_ini.dat line 1", "'1.5' is not an integer"}},
      {"state without particles", read_dinamion, "dinamion_ini.dat", "1 0 0 0 0 0 0.04 0 5.0\n",
       {"dinamion_ini.dat", "no particle of charge state 2"}},
      {"zero beta_z", read_dinamion, "dinamion_ini.dat",
       "1 0 0 0 0 0 0.04 0 5.0\n2 0 0.01 0 0 0 0 0 6.0\n", {"dinamion_ini.dat line 2", "beta_z = 0"}},
      {"too many particles", read_dinamion, "dinamion_ini.dat",
       repeat_lines("1 0 0 0 0 0 0.04 0 6.0\n", kParticleSlots + 1),
       {"dinamion_ini.dat line 166003", "more than 166002 particles of charge state 2"}},
      {"truncated record", read_dinamion, "dinamion_ini.dat", "1 0 0 0 0 0 0.04 0\n",
       {"dinamion_ini.dat line 1", "end of file"}},
      // Finite values no machine reaches: each would give NaN or asterisks
      // in out.dat further on.
      {"phase of 3.7e37 rad", read_lanl_distribution, "lanl_ini.dat",
       lanl_ok + "2 0.1 0.0 0.0 0.0 3.7e37 1.0 10 40\n", {"lanl_ini.dat line 3", "phase (rad) = 3.7e+37"}},
      {"charge of 1e9", read_lanl_distribution, "lanl_ini.dat",
       lanl_ok + "2 0.1 0.0 0.0 0.0 0.0 1.0 1e9 40\n", {"lanl_ini.dat line 3", "charge number Q = 1000000000"}},
      {"mass of 1e300", read_lanl_distribution, "lanl_ini.dat",
       lanl_ok + "2 0.1 0.0 0.0 0.0 0.0 1.0 11 1e300\n", {"lanl_ini.dat line 3", "mass number A = 1e+300"}},
      {"tiny pz", read_astra_distribution, "astra_ini.dat", "t\n0 0 0 0 0 1e-300 5 40\n",
       {"astra_ini.dat line 2", "pz = 1e-300 eV/c gives the particles"}},
      {"position of 1e300 m", read_astra_distribution, "astra_ini.dat", "t\n0 0 1e300 0 0 2.6e9 5 40\n",
       {"astra_ini.dat line 2", "z (m) = 1e+300"}},
      {"tiny vz", read_kobra_distribution, "kobra_ini.dat", "0 0 0 0 1e-300 1e5 0 3 40 0 1\n",
       {"kobra_ini.dat line 1", "slope x' (rad)"}},
      {"tiny beta_z", read_dinamion, "dinamion_ini.dat", "1 0 0.01 0 0 0 1e-300 0 5.0\n",
       {"dinamion_ini.dat line 1", "slope x' (rad) = 1e+298"}},
      {"phase of 1e300 deg", read_dinamion, "dinamion_ini.dat", "1 0 0 0 0 0 0.04 1e300 5.0\n",
       {"dinamion_ini.dat line 1", "phase (deg) = 1e+300"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReaderRun run;
    Sim& s = *run;
    s.config.NQTOT = 2;
    s.config.QQ[1] = 5.0;
    s.config.QQ[2] = 6.0;
    s.config.NPAT[1] = 7;
    s.particles.x[1][0] = 42.0;
    run.file(c.file, c.text);
    const std::string msg = joined(stop_lines([&] { c.read(s); }));
    for (const auto& e : c.expect) EXPECT_THAT(msg, HasSubstr(e));
    // Nothing of a refused file is kept.
    EXPECT_EQ(s.config.NQTOT, 2);
    EXPECT_EQ(s.config.NPAT[1], 7);
    EXPECT_EQ(s.particles.x[1][0], 42.0);
  }
}

TEST(DistributionReaders, FirstLatticeLineMustSetTheHarmonic) {
  struct Case {
    const char* reader;
    std::function<void(Sim&)> read;
    const char* who;
  };
  const Case cases[] = {
      {"LANL", read_lanl_distribution, "  for partice distribution from LANL_ini.dat       "},
      {"ASTRA", read_astra_distribution, "  for partice distribution from ASTRA_ini.dat      "},
      {"KOBRA", read_kobra_distribution, "  for partice distribution from KOBRA_ini.dat      "}};
  for (const auto& c : cases) {
    for (int variant = 0; variant < 2; ++variant) {
      SCOPED_TRACE(::testing::Message() << c.reader << " variant " << variant);
      ReaderRun run;
      Sim& s = *run;
      if (variant == 0) s.elements.elem_name[1] = "drift";  // not a prmtr line
      else s.elements.elem_int[1][11] = 9;                    // prmtr, but not harm
      // No file is needed: the check comes before the file is opened.
      const auto lines = stop_lines([&] { c.read(s); });
      ASSERT_EQ(lines.size(), 4u);
      EXPECT_EQ(lines[0], "  1st command in sclinac.dat must be 1 prmtr harm=N");
      EXPECT_EQ(lines[1], c.who);
      EXPECT_EQ(lines[2], "  N is operating harmonic number at the entrance of");
      EXPECT_EQ(lines[3], "  the given part of the accelerator                ");
    }
  }
}

}  // namespace
}  // namespace linac
