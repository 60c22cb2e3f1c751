// The envelope-code beam block: golden text written by hand from a fixture,
// the beam matrix SIGI = D G D against a product written out term by term,
// and a block that does not depend on the scratch design-particle values.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "beam/trace_block.hpp"
#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::TempDir;

constexpr double kW = 1000.0;  // keV/u
constexpr int kLine = 5;

// A run context at trace line 5: exit energy 1000 keV/u, 100 MHz, A = 4,
// PART = 0.95, and statistics chosen so that every printed value is round:
// level emittances twice the 4 rms ones (level scale s = 2 sqrt 2, s^2 = 8).
struct TraceRun {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  double T = 0.0;  // keV/u*ns per rad at W
  TraceRun() {
    Sim& s = *sim;
    set_start_values(s);
    s.units.set_directory(dir.path());
    s.units.open(kUnitLog, "log.dat");
    s.ref.FREQB = 1e8;
    s.ref.harm = 1.0;
    s.ref.wavelength_2pi = 29979245800.0 / 1e8 / (2.0 * kPi);
    s.ref.ADESIGN = 4.0;
    s.PART = 0.95;
    s.state.ipos = kLine;
    s.history.ref_W_out[kLine] = kW;
    T = 1e9 * kW / (2.0 * kPi * 1e8);
    ElementStatsRow& r = s.stats.element_stats[kLine];
    r.w_mean = 1.0;
    r.btgm = 0.05;
    r.alpha_x = 1.5;
    r.beta_x = 200.0;  // cm/rad = 2 mm/mrad
    r.exn_rms4 = 1e-4;  // cm*rad = 1 mm*mrad
    r.exn_level = 2e-4;
    r.exn_max = 3e-4;
    r.alpha_y = -0.5;
    r.beta_y = 50.0;
    r.eyn_rms4 = 0.5e-4;
    r.eyn_level = 1e-4;
    r.eyn_max = 1.5e-4;
    r.alpha_z = 0.25;
    r.beta_z = 10.0;
    // deg*% per keV/u*ns: 5729.58 / T.
    r.ezn_rms4 = 4.0 * T / 5729.5779513082325;
    r.ezn_level = 8.0 * T / 5729.5779513082325;
    r.ezn_max = 12.0 * T / 5729.5779513082325;
    Sym6& g = s.beam_moments.sigma;
    g[1][1] = 0.01;
    g[1][2] = g[2][1] = 1e-4;
    g[2][2] = 1e-6;
    g[3][3] = 0.0025;
    g[3][4] = g[4][3] = -0.25e-4;
    g[4][4] = 0.25e-6;
  }
  std::vector<std::string> block(int label) {
    write_trace_block(*sim, kLine, label);
    sim->units.close_all();
    return read_lines(dir / "log.dat");
  }
};

TEST(TraceBlock, GoldenTextOfTheFixture) {
  TraceRun r;
  const std::string b20(20, ' ');
  const std::string zero = "      0.00000000";
  const std::vector<std::string> want = {
      "",
      b20 + "    !* beam parameter for trace=  7   *!",
      "",
      b20 + "     VELMO",
      " Wavr             1.00000 [MeV/u]      ",
      " betgam           0.05000",
      "",
      " a_x             1.50000",
      " b_x             2.00000 [mm/mrad]    ",
      " 4*En_rms_x      1.00000 [mm*mrad]    ",
      " En_x            2.00000 [mm*mrad]      95.0   % level",
      " En_x            3.00000 [mm*mrad]     100.0   % level",
      "",
      " a_y            -0.50000",
      " b_y             0.50000 [mm/mrad]    ",
      " 4*En_rms_y      0.50000 [mm*mrad]    ",
      " En_y            1.00000 [mm*mrad]      95.0   % level",
      " En_y            1.50000 [mm*mrad]     100.0   % level",
      "",
      " a_z             0.25000",
      " b_z             5.72958 [deg/%]      ",
      "4*Eun_rms_z      4.00000 [deg*%]      ",
      "Eun_z            8.00000 [deg*%]        95.0   % level",
      "Eun_z           12.00000 [deg*%]       100.0   % level",
      "",
      "",
      b20 + "   TRACE3D",
      "    UNITS: E_x, E_y [mm*mrad] ,E_z [deg*keV] ",
      "           b_x, b_y [mm/mrad] ,b_z [deg/keV] ",
      "           SIGI [internal units of the TRACE3D]",
      "  Emittances contain 95.00  % particles ,see variable part in VELMO.dat",
      "",
      " W=        4.00000[MeV]",
      "",
      "              Eun_x          Eun_y        Eun_z    ",
      "  emit        40.000        20.000       320.000",
      "",
      "               a_x         b_x         a_y         b_y         a_z         b_z",
      "  beam     1.50000     2.00000    -0.50000     0.50000     0.25000     0.14324",
      "",
      "SIGI(1,1)=      8.00000000      8.00000000" + zero + zero + zero + zero,
      "SIGI(1,2)=      8.00000000      8.00000000" + zero + zero + zero + zero,
      "SIGI(1,3)=" + zero + zero + "      2.00000000     -2.00000000" + zero + zero,
      "SIGI(1,4)=" + zero + zero + "     -2.00000000      2.00000000" + zero + zero,
      "SIGI(1,5)=" + zero + zero + zero + zero + zero + zero,
      "SIGI(1,6)=" + zero + zero + zero + zero + zero + zero,
      "",
  };
  const auto got = r.block(7);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "line " << i + 1;
}

// M = D G D with D diagonal: M(i, j) = D(i) G(i, j) D(j).
TEST(TraceBlock, SigiIsTheScaledSecondMomentMatrix) {
  Matrix6 G;
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) G(i, j) = 1.0 / (i + j) + (i == j ? 1.0 : 0.0);
  const double sx = 1.5, sy = 2.5, sz = 0.75, beta = 0.2, gamma = 1.0 / std::sqrt(1.0 - 0.04),
               wl = 47.7;
  const double D[7] = {0.0, 10 * sx, 1000 * sx, 10 * sy, 1000 * sy, -10 * beta * wl * sz,
                       sz * gamma / (gamma + 1)};
  const Matrix6 M = trace_sigma(G, sx, sy, sz, beta, gamma, wl);
  for (int i = 1; i <= 6; ++i)
    for (int j = 1; j <= 6; ++j) EXPECT_NEAR(M(i, j), D[i] * G(i, j) * D[j], 1e-12 * std::abs(D[i] * D[j])) << i << j;
}

// The longitudinal terms take beta and gamma of the block's own energy W,
// whatever the scratch design-particle values hold (they change with the
// plot switch); a plane without rms emittance prints zeros.
TEST(TraceBlock, LongitudinalTermsFollowTheExitEnergy) {
  std::vector<std::string> first;
  for (int variant = 0; variant < 2; ++variant) {
    TraceRun r;
    Sim& s = *r.sim;
    s.config.IGRAPH = variant;
    s.ref.beta_s = variant ? 0.9 : 0.01;
    s.ref.gamma_s = variant ? 7.0 : 1.00005;
    s.beam_moments.sigma[5][5] = 1e-4;
    s.beam_moments.sigma[6][6] = 1e-6;
    const auto got = r.block(1);
    if (variant == 0) {
      first = got;
      const double g = kW / kAmuKev + 1.0, b = std::sqrt(1.0 - 1.0 / (g * g));
      const double d55 = -10.0 * b * s.ref.wavelength_2pi * 2.0 * std::sqrt(2.0);
      const double d66 = 2.0 * std::sqrt(2.0) * g / (g + 1.0);
      EXPECT_NEAR(std::stod(got[44].substr(10 + 4 * 16, 16)), d55 * d55 * 1e-4, 1e-8);
      EXPECT_NEAR(std::stod(got[45].substr(10 + 5 * 16, 16)), d66 * d66 * 1e-6, 1e-8);
    } else {
      EXPECT_EQ(got, first);
    }
  }
  TraceRun flat;
  flat.sim->stats.element_stats[kLine].exn_rms4 = 0.0;
  const auto got = flat.block(1);
  EXPECT_EQ(got[40].substr(10, 32), "      0.00000000      0.00000000");
}

}  // namespace
}  // namespace linac
