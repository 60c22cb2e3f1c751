#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "beam/lost_coord.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::TempDir;

std::string fixed(double v, int w, int d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%*.*f", w, d, v);
  return buf;
}

// Field k (0-based) of the 28 numeric items after n_el and name: items 3..28
// of the record; Q and A are 6 wide, the rest 12 wide.
std::string lost_field(const std::string& rec, int item) {
  // item numbering as in the record description: 1 n_el, 2 name, 3 Q, 4 A, 5.. 12-wide.
  if (item == 1) return rec.substr(0, 4);
  if (item == 2) return rec.substr(6, 5);
  if (item <= 4) return rec.substr(11 + 6 * (item - 3), 6);
  return rec.substr(23 + 12 * (item - 5), 12);
}

struct LostFixture : ::testing::Test {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  void SetUp() override {
    set_start_values(*sim);
    sim->units.set_directory(dir.path());
    sim->units.open(kUnitLost, "lost.dat");
    sim->elements.elem_name[7] = "quad";
    sim->config.NQTOT = 2;
    sim->config.QQ[2] = 11.0;
    sim->config.AMASS[2] = 238.0;
  }
  std::string only_record() {
    sim->units.close(kUnitLost);
    const auto lines = read_lines(dir / "lost.dat");
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines[0];
  }
  void identity_frame(double ox, double oy, double oz) {
    sim->frame.entry.origin = {ox, oy, oz};
    sim->frame.entry.axes = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
  }
};

TEST_F(LostFixture, IdentityFrameWithoutSlopesGivesEqualLabAndElementValues) {
  identity_frame(0, 0, 0);
  auto& p = sim->particles;
  p.x[2][5] = 1.25;
  p.y[2][5] = -0.5;
  p.z[2][5] = 3.0;
  p.beta[2][5] = 0.04;
  write_lost_particle(*sim, 7, 5, 2, kLostPushedInZ);
  const std::string rec = only_record();
  ASSERT_EQ(rec.size(), 311u);
  EXPECT_EQ(lost_field(rec, 1), "   7");
  EXPECT_EQ(lost_field(rec, 2), "quad ");
  EXPECT_EQ(lost_field(rec, 3), fixed(11.0, 6, 1));
  EXPECT_EQ(lost_field(rec, 4), fixed(238.0, 6, 1));
  const double lab[6] = {1.25, -0.5, 3.0, 0.0, 0.0, 0.04};
  for (int k = 0; k < 6; ++k) {
    const int d = k < 3 ? 3 : 7;
    EXPECT_EQ(lost_field(rec, 5 + k), fixed(lab[k], 12, d)) << "lab item " << 5 + k;
    EXPECT_EQ(lost_field(rec, 11 + k), fixed(lab[k], 12, d)) << "element item " << 11 + k;
  }
  const double frame[12] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (int k = 0; k < 12; ++k)
    EXPECT_EQ(lost_field(rec, 17 + k), fixed(frame[k], 12, k < 3 ? 3 : 7)) << 17 + k;
}

TEST_F(LostFixture, RotatedShiftedFrameMapsToLaboratory) {
  // Element axes in lab components: x_el = lab y, y_el = -lab x, z_el = lab z.
  sim->frame.entry.origin = {10.0, 20.0, 30.0};
  sim->frame.entry.axes = {{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};
  auto& p = sim->particles;
  p.x[2][3] = 1.0;
  p.y[2][3] = 2.0;
  p.z[2][3] = 3.0;
  p.xp[2][3] = 0.003;
  p.yp[2][3] = -0.004;
  p.beta[2][3] = 0.05;
  write_lost_particle(*sim, 7, 3, 2, kLostPushedInZ);
  const std::string rec = only_record();
  // v = beta (x', y', 1)/sqrt(1 + x'^2 + y'^2).
  const double vz = 0.05 / std::sqrt(1.0 + 0.003 * 0.003 + 0.004 * 0.004);
  const double vx = 0.003 * vz, vy = -0.004 * vz;
  const double lab[6] = {10.0 - 2.0, 20.0 + 1.0, 33.0, -vy, vx, vz};
  for (int k = 0; k < 6; ++k)
    EXPECT_EQ(lost_field(rec, 5 + k), fixed(lab[k], 12, k < 3 ? 3 : 7)) << 5 + k;
  EXPECT_EQ(lost_field(rec, 14), fixed(vx, 12, 7));
  EXPECT_EQ(lost_field(rec, 15), fixed(vy, 12, 7));
  EXPECT_EQ(lost_field(rec, 18), fixed(20.0, 12, 3));
  EXPECT_EQ(lost_field(rec, 21), fixed(1.0, 12, 7));   // O(12)
  EXPECT_EQ(lost_field(rec, 23), fixed(-1.0, 12, 7));  // O(21)
}

TEST_F(LostFixture, TimePushedParticleUsesStoredVelocity) {
  identity_frame(0, 0, 0);
  auto& p = sim->particles;
  p.xp[2][1] = 0.5;  // would give a different velocity in mode 0
  p.beta[2][1] = 0.3;
  p.betax[2][1] = 0.01;
  p.betay[2][1] = -0.02;
  p.betaz[2][1] = 0.2;
  write_lost_particle(*sim, 7, 1, 2, kLostPushedInTime);
  const std::string rec = only_record();
  EXPECT_EQ(lost_field(rec, 14), fixed(0.01, 12, 7));
  EXPECT_EQ(lost_field(rec, 15), fixed(-0.02, 12, 7));
  EXPECT_EQ(lost_field(rec, 16), fixed(0.2, 12, 7));
}

// Value k (0-based) of a coord.dat line: (I7,I7,8(TR3,E15.5)).
double coord_value(const std::string& line, int k) { return std::stod(line.substr(14 + 18 * k + 3, 15)); }

struct CoordFixture : ::testing::Test {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  void SetUp() override {
    set_start_values(*sim);
    sim->units.set_directory(dir.path());
    sim->units.open(kUnitCoord, "coord.dat");
    Sim& s = *sim;
    s.ref.FREQB = 1e8;
    s.ref.harm = 1.0;
    s.ref.wavelength = kSpeedOfLightCm / s.ref.FREQB;
    s.ref.wavelength_2pi = s.ref.wavelength / kTwoPi;
    s.ref.w0 = 1000.0;  // keV/u
    s.config.NQTOT = 2;
    s.config.NPAT[1] = 2;
    s.config.NPAT[2] = 1;
    s.npat.ntest[1] = 1;  // a test particle after the beam: never written
    const double g = 1.0 + s.ref.w0 / s.ref.amu_kev;
    const double b = std::sqrt(1.0 - 1.0 / (g * g));
    for (int iq = 1; iq <= 2; ++iq)
      for (int i = 0; i <= 3; ++i) s.particles.beta[iq][i] = b;
    s.particles.status[1][3] = 1;
    s.particles.phase[1][1] = kTwoPi;  // one RF period: 10 ns at 100 MHz
    s.particles.xp[1][1] = 0.002;
    s.particles.x[1][2] = 0.7;
    // State 2: every particle lost.
    s.particles.status[2][0] = s.particles.status[2][1] = kLost;
  }
};

TEST_F(CoordFixture, BlockHasHeaderAndLiveBeamParticlesOnly) {
  write_coord_dat(*sim);
  sim->state.iseed = 5;
  write_coord_dat(*sim);
  sim->units.close(kUnitCoord);
  const auto lines = read_lines(dir / "coord.dat");
  ASSERT_EQ(lines.size(), 8u);  // two blocks of header + slots 0..2 of state 1
  for (int b = 0; b < 2; ++b) {
    EXPECT_EQ(lines[4 * b], kCoordHeader);
    for (int k = 1; k <= 3; ++k) {
      const std::string& l = lines[4 * b + k];
      ASSERT_EQ(l.size(), 122u);
      EXPECT_EQ(l.substr(0, 7), b == 0 ? "      0" : "      5");
      EXPECT_EQ(l.substr(7, 7), "      1");
    }
  }
  // Slot 1: dt = phase/(2 pi FREQB) = 10 ns; dW = 0 at the reference energy.
  const std::string& l = lines[2];
  EXPECT_NEAR(coord_value(l, 0), 10.0, 1e-4);
  EXPECT_NEAR(coord_value(l, 1), 0.0, 1e-12);
  EXPECT_NEAR(coord_value(l, 3), 2.0, 1e-5);  // x' in mrad
  EXPECT_NEAR(coord_value(lines[3], 2), 0.7, 1e-5);
}

TEST_F(CoordFixture, EnergyDeviationInMevPerNucleon) {
  // A particle at 1010 keV/u against the 1000 keV/u reference: dW = 0.01 MeV/u.
  const double g = 1.0 + 1010.0 / sim->ref.amu_kev;
  sim->particles.beta[1][2] = std::sqrt(1.0 - 1.0 / (g * g));
  write_coord_dat(*sim);
  sim->units.close(kUnitCoord);
  const auto lines = read_lines(dir / "coord.dat");
  ASSERT_GE(lines.size(), 4u);
  EXPECT_NEAR(coord_value(lines[3], 1), 0.01, 1e-6);
}

}  // namespace
}  // namespace linac
