// The ascii dump: golden lines of the four layouts for a hand-made beam of
// two charge states holding a lost particle, a tagged test particle and a
// ring particle behind the beam; the seed filter, the file that a later
// line overwrites, an unknown layout and the error-drawing pass.
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>

#include <string>
#include <vector>

#include "beam/particle_dump.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::TempDir;

struct Slot {
  double x, xp, y, yp, phase, z;
  std::int32_t status;
};

// Two states (Q = 1 and 2, A = 4) at the design energy, gamma = 1.25
// (beta = 0.6, W = amu/4), with a bunch period of 1 ns per rad of phase.
struct DumpRun {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  DumpRun() {
    Sim& s = *sim;
    set_start_values(s);
    s.units.set_directory(dir.path());
    s.ref.amu_kev = kAmuKev;
    s.ref.w0 = 0.25 * kAmuKev;
    s.ref.wavelength_2pi = 29.9792458;  // cm/rad: 1 ns per rad
    s.config.NQTOT = 2;
    s.config.nharm_sc = 1;
    s.state.ipass = 1;
    const std::vector<Slot> q1 = {{0, 0, 0, 0, 0, 0, 0},
                                  {0.1, 0.002, -0.2, -0.001, 0.5, 0, 0},
                                  {1.5, 0.01, 0, 0, -1.25, 12.5, -1},  // lost
                                  {0, 0, 0, 0, 3.0, 0, 0}};            // ring, behind the beam
    const std::vector<Slot> q2 = {{0, 0, 0, 0, 0.25, 0, 0},
                                  {-0.05, 0, 0.05, 0.0005, -0.5, 0, 3}};  // test tag 3
    fill(1, 1.0, q1, 2);
    fill(2, 2.0, q2, 1);
    s.npat.ntest[1] = 1;
  }
  void fill(int iq, double Q, const std::vector<Slot>& slots, int npat) {
    Sim& s = *sim;
    s.config.QQ[iq] = Q;
    s.config.AMASS[iq] = 4.0;
    s.config.NPAT[iq] = npat;
    ParticleArrays& p = s.particles;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      p.x[iq][i] = slots[i].x;
      p.xp[iq][i] = slots[i].xp;
      p.y[iq][i] = slots[i].y;
      p.yp[iq][i] = slots[i].yp;
      p.phase[iq][i] = slots[i].phase;
      p.z[iq][i] = slots[i].z;
      p.status[iq][i] = slots[i].status;
      p.beta[iq][i] = 0.6;
    }
  }
  // Lattice line n: "N ascii mode seed".
  void line(int n, int N, int mode, int seed) {
    auto& ints = sim->elements.elem_int[n];
    ints[kElemN] = N;
    ints[11] = mode;
    ints[12] = seed;
  }
  std::vector<std::string> dump(int mode) {
    write_particle_dump(*sim, mode, "ascii.#007");
    return read_lines(dir / "ascii.#007");
  }
};

const std::string kZ = "   0.000000E+00";

// Text right-justified in an A field of width w.
std::string a(const std::string& text, std::size_t w) { return std::string(w - text.size(), ' ') + text; }

TEST(ParticleDump, EverySlotInAbsoluteUnits) {
  DumpRun r;
  const std::vector<std::string> want = {
      "     2",
      "        1.00        2.00",
      std::string(" charge ") + "  Amass " + "    x [cm]     " + a("   x' [rad]   ", 15) +
          "    y [cm]     " + a("   y' [rad]   ", 15) + "  phase [rad]  " + "     beta      " +
          "  zloss [cm]   " + "  spin  ",
      "    1.00    4.00" + kZ + kZ + kZ + kZ + kZ + "   0.600000E+00" + kZ + "  0",
      "    1.00    4.00   0.100000E+00   0.200000E-02  -0.200000E+00  -0.100000E-02   0.500000E+00   "
      "0.600000E+00" + kZ + "  0",
      "    1.00    4.00   0.150000E+01   0.100000E-01" + kZ + kZ +
          "  -0.125000E+01   0.600000E+00   0.125000E+02 -1",
      "    1.00    4.00" + kZ + kZ + kZ + kZ + "   0.300000E+01   0.600000E+00" + kZ + "  0",
      "    2.00    4.00" + kZ + kZ + kZ + kZ + "   0.250000E+00   0.600000E+00" + kZ + "  0",
      "    2.00    4.00  -0.500000E-01" + kZ + "   0.500000E-01   0.500000E-03  -0.500000E+00   "
      "0.600000E+00" + kZ + "  3",
  };
  EXPECT_EQ(r.dump(1), want);
}

// Slopes in mrad, time in ns and the energy deviation from the design
// energy in MeV/u, which is 0 for every particle at the design energy.
TEST(ParticleDump, EverySlotWithTimeAndEnergyDeviation) {
  DumpRun r;
  const auto got = r.dump(2);
  ASSERT_EQ(got.size(), 9u);
  EXPECT_EQ(got[2], std::string(" charge ") + "  Amass " + "    x [cm]     " + a("   x' [mrad]  ", 15) +
                        "    y [cm]     " + a("   y' [mrad]  ", 15) + "  time [nsec]  " +
                        "  W-W0 [MeV/ u]" + "  zloss [cm]   " + "  spin  ");
  EXPECT_EQ(got[4], "    1.00    4.00   0.100000E+00   0.200000E+01  -0.200000E+00  -0.100000E+01   "
                    "0.500000E+00" + kZ + kZ + "  0");
  EXPECT_EQ(got[5], "    1.00    4.00   0.150000E+01   0.100000E+02" + kZ + kZ +
                        "  -0.125000E+01" + kZ + "   0.125000E+02 -1");
  for (std::size_t i = 3; i < got.size(); ++i) EXPECT_EQ(got[i].substr(91, 15), kZ) << i;
}

// The live beam only: status exactly 0 within slots 0..NPAT; the slot
// number plus one keeps the gaps. Energy 0.25 amu = 232.87358 MeV/u.
TEST(ParticleDump, LiveBeamParticlesAndFoldedPhases) {
  DumpRun r;
  const std::string header =
      "   #        x(cm)       x'(rad)         y(cm)      y'(rad)     phi(rad)       W(MeV/amu)       "
      "Q(e)    A(amu)";
  const std::string z5 = "   0.00000E+00";
  const std::string w = "       0.23287E+03";
  EXPECT_EQ(r.dump(0), (std::vector<std::string>{
                           header,
                           "    1" + z5 + z5 + z5 + z5 + "   0.00000" + w + "      1.00      4.00",
                           "    2   0.10000E+00   0.20000E-02  -0.20000E+00  -0.10000E-02   0.50000" + w +
                               "      1.00      4.00",
                           "    1" + z5 + z5 + z5 + z5 + "   0.25000" + w + "      2.00      4.00",
                       }));
  // After the RFQ's half-turn: phase + pi folded into [-pi, pi).
  r.sim->state.IRIARFQ = 1;
  EXPECT_EQ(r.dump(-1), (std::vector<std::string>{
                            header,
                            "    1" + z5 + z5 + z5 + z5 + "  -3.14159" + w + "      1.00      4.00",
                            "    2   0.10000E+00   0.20000E-02  -0.20000E+00  -0.10000E-02  -2.64159" + w +
                                "      1.00      4.00",
                            "    1" + z5 + z5 + z5 + z5 + "  -2.89159" + w + "      2.00      4.00",
                        }));
}

// Slots are formatted in chunks on threads: the file is the same for any
// number of threads, across chunk boundaries and with left-out slots.
TEST(ParticleDump, SameFileForAnyThreadCount) {
  DumpRun r;
  Sim& s = *r.sim;
  const int npat = 9000;  // three chunks of text
  s.config.NPAT[2] = npat;
  for (int i = 0; i <= npat; ++i) {
    s.particles.x[2][i] = 1e-3 * i;
    s.particles.phase[2][i] = std::sin(0.01 * i);
    s.particles.beta[2][i] = 0.6;
    s.particles.status[2][i] = (i % 7 == 3) ? kLost : kLive;
  }
  for (int mode : {1, 0}) {
    std::vector<std::vector<std::string>> files;
    for (int threads : {1, 4}) {
      omp_set_num_threads(threads);
      files.push_back(r.dump(mode));
    }
    omp_set_num_threads(omp_get_num_procs());
    EXPECT_EQ(files[0], files[1]) << mode;
    const std::size_t live = npat + 1 - (npat + 4) / 7;
    EXPECT_EQ(files[0].size(), mode == 1 ? 3u + 4 + npat + 1 : 1u + 2 + live) << mode;
    EXPECT_EQ(files[0].back().substr(0, 5), mode == 1 ? "    2" : " 9001");  // slot 9000, numbered from 1
  }
}

TEST(ParticleDump, UnknownLayoutLeavesAnEmptyFile) {
  DumpRun r;
  EXPECT_TRUE(r.dump(3).empty());
  EXPECT_TRUE(std::filesystem::exists(r.dir / "ascii.#007"));
}

// ascii lines: the seed filter, a later line with the same number that
// overwrites the file, a negative number that writes nothing, the
// reference record of the nominal pass and the error-drawing pass that
// only takes the position.
TEST(AsciiCmd, SeedFilterOverwriteAndPasses) {
  DumpRun r;
  Sim& s = *r.sim;
  r.line(1, 7, 1, 3);   // mode 1, only in seed 3
  r.line(2, 8, 0, 0);   // mode 0 in the nominal run
  r.line(3, 8, 1, 0);   // same file, mode 1: the later one wins
  r.line(4, -1, 0, 0);  // no file
  s.stats.element_stats[0].w_mean = 2.5;
  for (int n = 1; n <= 4; ++n) ascii_cmd(s, n);
  EXPECT_EQ(s.state.ipos, 4);
  EXPECT_FALSE(std::filesystem::exists(r.dir / "ascii.#007"));
  EXPECT_EQ(read_lines(r.dir / "ascii.#008").size(), 9u);
  EXPECT_EQ(s.history.ref_W_out[4], s.ref.w0);
  EXPECT_EQ(s.stats.element_stats[4].w_mean, 2.5);

  s.state.iseed = 3;
  s.state.ipass = 2;
  s.state.ipos = 0;
  ascii_cmd(s, 1);
  EXPECT_EQ(read_lines(r.dir / "ascii.#007").size(), 9u);

  std::filesystem::remove(r.dir / "ascii.#007");
  s.state.idraw = 1;
  s.state.ipos = 0;
  s.stats.element_stats[1].w_mean = 0.0;
  ascii_cmd(s, 1);
  EXPECT_EQ(s.state.ipos, 1);
  EXPECT_FALSE(std::filesystem::exists(r.dir / "ascii.#007"));
  EXPECT_EQ(s.stats.element_stats[1].w_mean, 0.0);
}

}  // namespace
}  // namespace linac
