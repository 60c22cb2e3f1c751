#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "run/sim.hpp"
#include "control/acceptance_output.hpp"
#include "beam/beam_state.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::TempDir;

double field(const std::string& row, int k) { return std::stod(row.substr(14 * k, 14)); }

// Acceptance run of one charge state, NPAT = 5: the initial beam is saved
// in ini_dis.dat, then the pass moves every particle and loses slots 2 and 4.
struct AcceptanceFixture : ::testing::Test {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  static constexpr int kN = 5;
  void SetUp() override {
    Sim& s = *sim;
    set_start_values(s);
    s.units.set_directory(dir.path());
    s.ref.FREQB = 1e8;
    // The design values a read velmo.dat leaves (the beam-state file checks them).
    s.ref.QDESIGN = s.ref.ADESIGN = s.ref.harm = 1.0;
    s.ref.wavelength_2pi = kSpeedOfLightCm / s.ref.FREQB / kTwoPi;
    s.sc.NXGRD = s.sc.NYGRD = 33;
    s.sc.NZGRD = 65;
    s.ref.w0 = s.ref.w_entry = 500.0;
    s.config.NQTOT = 1;
    s.config.NPAT[1] = kN;
    s.config.QQ[1] = s.config.AMASS[1] = 1.0;
    auto& p = s.particles;
    for (int i = 0; i <= kN; ++i) {
      const double w = 500.0 + i;  // keV/u
      const double g = 1.0 + w / s.ref.amu_kev;
      p.beta[1][i] = std::sqrt(1.0 - 1.0 / (g * g));
      p.phase[1][i] = 0.1 * i;
      p.x[1][i] = 0.01 * i;
      p.xp[1][i] = -0.001 * i;
      p.y[1][i] = 0.02 * i;
      p.yp[1][i] = 0.002 * i;
      p.status[1][i] = kLive;
    }
    State(s, "ini_dis.dat", "write");
    // The pass: everything moves, two particles are lost.
    for (int i = 0; i <= kN; ++i) {
      p.x[1][i] += 5.0;
      p.phase[1][i] += 100.0;
    }
    p.status[1][2] = p.status[1][4] = kLost;
  }
};

TEST_F(AcceptanceFixture, InitialCoordinatesSortedByFinalStatus) {
  write_acceptance_files(*sim);
  const auto acc = read_lines(dir / "accepted.dat");
  const auto stop = read_lines(dir / "stopped.dat");
  ASSERT_EQ(acc.size(), 1u + 4u);  // header, slots 0, 1, 3, 5
  ASSERT_EQ(stop.size(), 1u + 2u);
  EXPECT_EQ(acc[0], kAcceptanceHeader);
  EXPECT_EQ(stop[0], kAcceptanceHeader);
  EXPECT_EQ(acc.size() - 1 + stop.size() - 1, std::size_t(kN + 1));
  // No unit was left to the fort.N fallback.
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().rfind("fort.", 0), std::string::npos) << e.path();
  const int acc_slots[] = {0, 1, 3, 5};
  for (int k = 0; k < 4; ++k) {
    const std::string& row = acc[k + 1];
    const int i = acc_slots[k];
    ASSERT_EQ(row.size(), 112u);
    // dt = phase/(2 pi FREQB) in ns; dW and dW/W about w_entry.
    EXPECT_NEAR(field(row, 0), 0.1 * i / kTwoPi / 1e8 * 1e9, 1e-5 * (1 + 0.2 * i));
    EXPECT_NEAR(field(row, 1), double(i), 1e-4 * (1 + i) + 1e-9);
    EXPECT_NEAR(field(row, 2), 0.1 * i * 180.0 / kPi, 1e-4 * (1 + 6 * i));
    EXPECT_NEAR(field(row, 3), i / 500.0, 1e-4 * i / 500.0 + 1e-12);
    EXPECT_NEAR(field(row, 4), 0.01 * i, 1e-4 * 0.01 * i + 1e-15);  // initial x, not x + 5
    EXPECT_NEAR(field(row, 5), -1.0 * i, 1e-4 * i + 1e-15);
    EXPECT_NEAR(field(row, 6), 0.02 * i, 1e-4 * 0.02 * i + 1e-15);
    EXPECT_NEAR(field(row, 7), 2.0 * i, 2e-4 * i + 1e-15);
  }
  EXPECT_NEAR(field(stop[1], 4), 0.02, 1e-8);
  EXPECT_NEAR(field(stop[2], 4), 0.04, 1e-8);
}

}  // namespace
}  // namespace linac
