#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <sstream>
#include <string>

#include "run/sim.hpp"
#include "beam/beam_state.hpp"
#include "control/initial_beam.hpp"
#include "platform/fatal.hpp"
#include "platform/unformatted.hpp"
#include "numerics/random.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::fatal_text;
using testing::read_lines;
using testing::TempDir;

std::vector<std::string> split_lines(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string l;
  while (std::getline(in, l)) out.push_back(l);
  return out;
}

double speed_of(double w, double amu_kev) {
  const double g = 1.0 + w / amu_kev;
  return std::sqrt(1.0 - 1.0 / (g * g));
}

const std::string kQqStop =
    " STOP-> qq(iq) in  TRAN.dat .ne.                     !                     qq(iq) in "
    "READ.dis      ";

struct BeamFixture : ::testing::Test {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  std::ostringstream screen;
  void SetUp() override {
    Sim& s = *sim;
    set_start_values(s);
    set_remaining_defaults(s);
    s.screen.redirect(screen);
    s.units.set_directory(dir.path());
    s.ref.FREQB = 1e8;
    s.ref.harm = 1.0;
    s.ref.wavelength = kSpeedOfLightCm / s.ref.FREQB;
    s.ref.wavelength_2pi = s.ref.wavelength / kTwoPi;
    s.config.iel_first = 1;
    s.config.iel_last = 2;
    s.elements.elem_name[1] = "drift";
    s.elements.elem_name[2] = "drift";
  }
  // read_dis.dat: w0, nq; counts; charges; per particle x, x', y, y',
  // phase, beta, status (slot i of state iq at phase 0.001 i + iq).
  void write_read_dis(double w0, std::int32_t nq, std::vector<std::int32_t> counts,
                      std::vector<double> charges, bool particles = true) {
    UnformattedOut out(sim->units, "read_dis.dat");
    RecordOut r1, r2, r3;
    r1.put(w0).put(nq);
    r2.put(std::span<const std::int32_t>(counts));
    r3.put(std::span<const double>(charges));
    out.write(r1);
    out.write(r2);
    out.write(r3);
    if (!particles) return;
    for (std::int32_t iq = 1; iq <= nq; ++iq)
      for (std::int32_t i = 0; i <= counts[iq - 1]; ++i) {
        RecordOut rp;
        rp.put(0.01 * i).put(-1e-4 * i).put(0.02 * i).put(2e-4 * i);
        rp.put(0.001 * i + iq).put(0.04).put(std::int32_t(i == 3 ? kLost : kLive));
        out.write(rp);
      }
  }
};

TEST_F(BeamFixture, SourceExclusionsInOrder) {
  struct Case {
    std::int32_t iscrch, iread, iaccep;
    const char* message;
  };
  const Case cases[] = {
      {1, 1, 1, " iflag_scr.ge.1 .and. iread_dis.eq.1"},
      {3, 1, 0, " iflag_scr.ge.1 .and. iread_dis.eq.1"},
      {2, 0, 1, " iflag_scr.ge.1 .and. iaccep.eq.1"},
      {0, 1, 1, " iaccep.eq.1 .and. iread_dis.eq.1"},
      {0, 1, 0, "<no stop>"},
      {5, 0, 0, "<no stop>"},
  };
  for (const Case& c : cases) {
    sim->state.iscrch = c.iscrch;
    sim->config.IREAD_DIS = c.iread;
    sim->config.IACCEP = c.iaccep;
    EXPECT_EQ(fatal_text([&] { check_beam_source_exclusions(*sim); }), c.message)
        << c.iscrch << c.iread << c.iaccep;
  }
}

TEST_F(BeamFixture, ReadDisUsesTheSmallerCountAndPrintsTheTables) {
  Sim& s = *sim;
  write_read_dis(1234.5, 2, {2000, 300}, {7.0, 8.0});
  s.config.NQTOT = 2;
  s.config.NPAT[1] = 1000;
  s.config.NPAT[2] = 5000;
  s.config.QQ[1] = 7.0;
  s.config.QQ[2] = 8.0 + 5e-6;  // within 1e-5
  s.elements.elem_name[1] = "prmtr";
  s.elements.elem_int[1][11] = 3;
  s.elements.elem_par[1][1] = 1.0;
  read_dis_dat(s);
  EXPECT_EQ(s.ref.w0, 1234.5);
  EXPECT_EQ(s.config.NPAT[1], 1000);
  EXPECT_EQ(s.config.NPAT[2], 300);
  EXPECT_EQ(s.config.npat0[1], 2000);
  EXPECT_EQ(s.config.qq0[2], 8.0);
  EXPECT_EQ(s.particles.x[1][1000], 10.0);
  EXPECT_EQ(s.particles.phase[2][300], 0.3 + 2);
  EXPECT_EQ(s.particles.status[1][3], kLost);
  const auto lines = split_lines(screen.str());
  const std::vector<std::string> expect = {
      " number of charge states in TRAN.dat nqtot=     2",
      " number of charge states in READ.dis nqtot=     2",
      "",
      "  iq" + std::string(10, ' ') + " qq(iq) in TRAN.dat " + " qq(iq) in READ.dis ",
      "   1               7.000               7.000",
      "   2               8.000               8.000",
      "",
      "  iq" + std::string(10, ' ') + " npat(iq) in TRAN.dat " + " npat(iq) in READ.dis " +
          "   npat(iq) in VELMO  ",
      "   1                  1000                  2000                  1000",
      "   2                  5000                   300                   300",
  };
  ASSERT_EQ(lines.size(), expect.size()) << screen.str();
  for (std::size_t k = 0; k < expect.size(); ++k) EXPECT_EQ(lines[k], expect[k]) << k;
}

TEST_F(BeamFixture, ReadDisMismatchesStopWithTheirMessages) {
  Sim& s = *sim;
  // Another number of states: refused before any particle record is read.
  write_read_dis(1000.0, 2, {10, 10}, {1.0, 2.0}, false);
  s.config.NQTOT = 1;
  EXPECT_EQ(fatal_text([&] { read_dis_dat(s); }),
            "    STOP-> nqtot in TRAN.DAT .ne. nqtot in READ_DIS");
  // A charge that differs: its table row is printed, then the stop.
  write_read_dis(1000.0, 1, {10}, {2.0});
  s.config.QQ[1] = 1.0;
  s.config.NPAT[1] = 10;
  screen.str("");
  EXPECT_EQ(fatal_text([&] { read_dis_dat(s); }), kQqStop);
  EXPECT_EQ(kQqStop.size(), 99u);
  EXPECT_NE(screen.str().find("   1               1.000               2.000\n"),
            std::string::npos);
  // A count beyond the particle block.
  write_read_dis(1000.0, 1, {kMaxParticles + 1}, {1.0}, false);
  const std::string big = fatal_text([&] { read_dis_dat(s); });
  EXPECT_NE(big.find("read_dis.dat"), std::string::npos) << big;
  EXPECT_NE(big.find("166002"), std::string::npos) << big;
  // Missing file: named, and not created.
  std::filesystem::remove(dir / "read_dis.dat");
  EXPECT_NE(fatal_text([&] { read_dis_dat(s); }).find("read_dis.dat"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "read_dis.dat"));
}

// Values a damaged read_dis.dat can hold: each is refused naming the file,
// the record and the value before the beam is used (a NaN charge would pass
// the charge comparison, NaN or a speed of c would give NaN in out.dat).
TEST_F(BeamFixture, ReadDisRefusesValuesThatAreNotFiniteOrNotPhysical) {
  Sim& s = *sim;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* what;
    double w0, q;
    int field;  // of particle 2 (record 6): x, x', y, y', phase, beta; -1 none
    double value;
    std::int32_t status;
    std::string expect;
  };
  const Case cases[] = {
      {"NaN position", 1000.0, 1.0, 0, nan, kLive, "read_dis.dat, record 6: charge state 1, particle 2: x = nan"},
      {"infinite phase", 1000.0, 1.0, 4, inf, kLive, "record 6: charge state 1, particle 2: phase = inf"},
      {"NaN in a lost particle", 1000.0, 1.0, 3, nan, kLost, "particle 2: y' = nan"},
      {"huge position", 1000.0, 1.0, 0, 1e308, kLive, "x = 1e+308; allowed range"},
      {"speed of light", 1000.0, 1.0, 5, 1.0, kLive, "speed beta = 1;"},
      {"speed above c", 1000.0, 1.0, 5, 1.5, kLive, "speed beta = 1.5;"},
      {"speed zero", 1000.0, 1.0, 5, 0.0, kLive, "speed beta = 0;"},
      {"phase of 3.7e37 rad", 1000.0, 1.0, 4, 3.7e37, kLive, "phase = 3.7e+37"},
      {"NaN charge", 1000.0, nan, -1, 0.0, kLive, "read_dis.dat, record 3: charge number qq(1) = nan"},
      {"NaN design energy", nan, 1.0, -1, 0.0, kLive, "read_dis.dat, record 1: design energy nan keV/u"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    {
      UnformattedOut out(s.units, "read_dis.dat");
      RecordOut r1, r2, r3;
      r1.put(c.w0).put(std::int32_t{1});
      r2.put(std::int32_t{5});
      r3.put(c.q);
      out.write(r1);
      out.write(r2);
      out.write(r3);
      for (std::int32_t i = 0; i <= 5; ++i) {
        double v[6] = {0.01 * i, -1e-4 * i, 0.02 * i, 2e-4 * i, 0.001 * i, 0.04};
        std::int32_t status = kLive;
        if (i == 2 && c.field >= 0) {
          v[c.field] = c.value;
          status = c.status;
        }
        RecordOut rp;
        for (double x : v) rp.put(x);
        rp.put(status);
        out.write(rp);
      }
    }
    s.config.NQTOT = 1;
    s.config.QQ[1] = 1.0;
    s.config.NPAT[1] = 5;
    const std::string msg = fatal_text([&] { read_dis_dat(s); });
    EXPECT_NE(msg.find(c.expect), std::string::npos) << msg;
  }
}

TEST_F(BeamFixture, HarmonicOfTheFirstLatticeLine) {
  Sim& s = *sim;
  s.config.NQTOT = 1;
  s.config.NPAT[1] = 10;
  s.config.QQ[1] = 1.0;
  write_read_dis(1000.0, 1, {10}, {1.0});
  s.elements.elem_name[1] = "prmtr";
  s.elements.elem_int[1][11] = 3;
  struct Case {
    double h;
    bool rescaled;
  };
  for (const Case c : {Case{3.0, true}, Case{1.005, false}, Case{0.5, true}}) {
    s.ref.harm = 1.0;
    s.elements.elem_par[1][1] = c.h;
    read_dis_dat(s);
    EXPECT_EQ(s.ref.harm, c.h);
    EXPECT_EQ(s.ref.wavelength_2pi, s.ref.wavelength / c.h / kTwoPi);
    for (int i = 0; i <= 10; ++i) {
      const double file_phase = 0.001 * i + 1;
      const double expect = (c.rescaled && i != 3) ? c.h * file_phase / 1.0 : file_phase;
      EXPECT_EQ(s.particles.phase[1][i], expect) << c.h << " slot " << i;
    }
  }
  // Any other first line: four advice lines, no change.
  s.ref.harm = 1.0;
  s.elements.elem_name[1] = "drift";
  screen.str("");
  read_dis_dat(s);
  EXPECT_EQ(s.ref.harm, 1.0);
  EXPECT_EQ(s.particles.phase[1][5], 1.005);
  const auto lines = split_lines(screen.str());
  ASSERT_GE(lines.size(), 4u);
  const std::size_t k = lines.size() - 4;
  EXPECT_EQ(lines[k], " 1st command in sclinac.dat must be 1 prmtr harm=N");
  EXPECT_EQ(lines[k + 1], " for partice distribution from read_dis.dat       ");
  EXPECT_EQ(lines[k + 2], " N is actual harmonic number at the entrance of   ");
  EXPECT_EQ(lines[k + 3], " the given part of the accelerator                ");
  // A harmonic of 0 would give an infinite wavelength.
  s.elements.elem_name[1] = "prmtr";
  s.elements.elem_par[1][1] = 0.0;
  EXPECT_NE(fatal_text([&] { read_dis_dat(s); }).find("harm"), std::string::npos);
}

TEST_F(BeamFixture, MacroChargesAndSpaceChargeSwitch) {
  Sim& s = *sim;
  s.config.NQTOT = 2;
  s.config.NPAT[1] = 199;
  s.config.NPAT[2] = 99;
  s.config.QQ[1] = 10.0;
  s.config.AMASS[1] = 238.0;
  s.config.QQ[2] = 11.0;
  s.config.AMASS[2] = 238.0;
  s.current.CURRENT[1] = 2.0;
  s.current.CURRENT[2] = 0.5;
  set_macro_charges(s);
  // q = I / FREQB shared by NPAT + 1 particles, I in A.
  EXPECT_DOUBLE_EQ(s.current.qmacro[1], 2e-3 / 1e8 / 200);
  EXPECT_DOUBLE_EQ(s.current.qmacro[2], 0.5e-3 / 1e8 / 100);
  EXPECT_EQ(s.current.scur, 2.5);
  EXPECT_EQ(s.particles.qa[1][0], 10.0 / 238.0);
  EXPECT_EQ(s.particles.qa[2][99], 11.0 / 238.0);
  EXPECT_TRUE(std::filesystem::exists(dir / "sc_warning.dat"));
}

TEST_F(BeamFixture, StripperRefusedFromTheSpaceChargeThresholdOn) {
  Sim& s = *sim;
  s.config.NQTOT = 2;
  s.config.QQ[1] = s.config.QQ[2] = 1.0;
  s.config.AMASS[1] = s.config.AMASS[2] = 1.0;
  s.elements.elem_name[2] = "strip";
  // Below the threshold: no space charge, the stripper runs.
  s.current.CURRENT[1] = 0.4e-6;
  s.current.CURRENT[2] = 0.5e-6;
  set_macro_charges(s);
  EXPECT_FALSE(std::filesystem::exists(dir / "sc_warning.dat"));
  EXPECT_LT(s.current.scur, kScurMin);
  // Exactly 1e-6 (twice 5e-7 is exact in binary): space charge is on.
  s.current.CURRENT[1] = 0.5e-6;
  EXPECT_EQ(s.current.CURRENT[1] + s.current.CURRENT[2], 1e-6);
  EXPECT_EQ(fatal_text([&] { set_macro_charges(s); }),
            " Can not calculate stripper with space charge");
  EXPECT_TRUE(std::filesystem::exists(dir / "sc_warning.dat"));
}

TEST_F(BeamFixture, ChargeStateRange) {
  struct Case {
    std::int32_t iflag_qq, nqtot, nqtot1;
  };
  for (const Case c : {Case{0, 3, 3}, Case{5, 3, 3}, Case{2, 3, 2}, Case{1, 1, 1}}) {
    sim->config.IFLAG_QQ = c.iflag_qq;
    sim->config.NQTOT = c.nqtot;
    set_charge_range(*sim);
    EXPECT_EQ(sim->config.nqtot0, 1);
    EXPECT_EQ(sim->config.nqtot1, c.nqtot1);
    EXPECT_EQ(sim->config.IFLAG_QQ, c.nqtot1);
  }
  sim->config.IFLAG_QQ = -1;
  EXPECT_NE(fatal_text([&] { set_charge_range(*sim); }).find("IFLAG_QQ = -1"),
            std::string::npos);
}

TEST_F(BeamFixture, GeneratorChoiceAndItsPreconditions) {
  Sim& s = *sim;
  s.config.NQTOT = 1;
  s.config.NPAT[1] = 50;
  s.config.QQ[1] = 1.0;
  s.config.AMASS[1] = 1.0;
  s.config.IFLAG_DIS = 5;
  s.ref.w0 = 1000.0;
  s.beam.beta_design = speed_of(1000.0, s.ref.amu_kev);
  EXPECT_EQ(fatal_text([&] { generate_beam(s); }),
            " IFLAG_DIS = 5 is not a distribution type; the types are 0, 1, 2, 20, 21, 23, 48, "
            "49, 51, 52, 53");
  s.config.IFLAG_DIS = 1;
  s.ref.w0 = 0.0;
  EXPECT_NE(fatal_text([&] { generate_beam(s); }).find("w0 = 0"), std::string::npos);
  s.config.IACCEP = 1;
  EXPECT_NE(fatal_text([&] { generate_acceptance_beam(s); }).find("w0 = 0"), std::string::npos);
}

TEST_F(BeamFixture, UniformBoxSpeedFollowsTheSourceVoltage) {
  // Every state falls through the voltage of the design particle:
  // W_q = w0 (|Q|/A) / (QDESIGN/ADESIGN).
  Sim& s = *sim;
  s.ref.QDESIGN = 10.0;
  s.ref.ADESIGN = 40.0;
  s.ref.w0 = 100.0;
  s.config.NQTOT = 2;
  s.config.NPAT[1] = s.config.NPAT[2] = 5;
  s.config.QQ[1] = 10.0;
  s.config.AMASS[1] = 40.0;
  s.config.QQ[2] = -20.0;
  s.config.AMASS[2] = 40.0;
  s.config.IFLAG_DIS = 0;
  s.beam.BETX = s.beam.BETY = 1.0;
  s.beam.epsx_geo = s.beam.epsy_geo = 1e-4;
  s.beam.DF_4D = 10.0;
  rn_set_seed(s, 214748364);
  generate_beam(s);
  EXPECT_DOUBLE_EQ(s.particles.beta[1][0], speed_of(100.0, s.ref.amu_kev));
  EXPECT_DOUBLE_EQ(s.particles.beta[2][0], speed_of(200.0, s.ref.amu_kev));
  EXPECT_EQ(s.particles.beta[2][3], s.particles.beta[2][0]);  // DB_B = 0
}

TEST_F(BeamFixture, ParticleFilesAfterThePass) {
  Sim& s = *sim;
  s.ref.w0 = 2500.0;
  s.ref.harm = 3.0;
  s.config.NQTOT = 2;
  s.config.NPAT[1] = 4;
  s.config.NPAT[2] = 2;
  s.config.QQ[1] = 1.0;
  s.config.QQ[2] = 2.0;
  s.npat.ntest[1] = 1;
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i <= 5; ++i) {
      s.particles.x[iq][i] = 0.1 * i + iq;
      s.particles.xp[iq][i] = -1e-3 * i;
      s.particles.y[iq][i] = 0.3 * i;
      s.particles.yp[iq][i] = 1e-3 / (i + 1);
      s.particles.phase[iq][i] = 3.0 * (0.25 * i - 0.1);
      s.particles.beta[iq][i] = 0.07 + 1e-4 * i;
    }
  s.particles.status[1][2] = kLost;
  s.config.write_ascii = 0;
  write_particle_file(s);
  // read_dis.out is read_dis.dat: read it back with a first line harm = 3.
  std::filesystem::rename(dir / "read_dis.out", dir / "read_dis.dat");
  auto r = make_sim();
  set_start_values(*r);
  r->screen.redirect(screen);
  r->units.set_directory(dir.path());
  r->ref.harm = 1.0;
  r->config.NQTOT = 2;
  r->config.NPAT[1] = r->config.NPAT[2] = 100;
  r->config.QQ[1] = 1.0;
  r->config.QQ[2] = 2.0;
  r->config.iel_first = 1;
  r->elements.elem_name[1] = "prmtr";
  r->elements.elem_int[1][11] = 3;
  r->elements.elem_par[1][1] = 3.0;
  read_dis_dat(*r);
  EXPECT_EQ(r->ref.w0, 2500.0);
  EXPECT_EQ(r->config.NPAT[1], 4);
  EXPECT_EQ(r->config.NPAT[2], 2);
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i <= s.config.NPAT[iq]; ++i) {
      EXPECT_EQ(r->particles.x[iq][i], s.particles.x[iq][i]);
      EXPECT_EQ(r->particles.beta[iq][i], s.particles.beta[iq][i]);
      EXPECT_EQ(r->particles.status[iq][i], s.particles.status[iq][i]);
      // Lost particles are not rescaled; live ones go back through 3 p/3.
      const double p = s.particles.phase[iq][i];
      if (s.particles.status[iq][i] < 0)
        EXPECT_EQ(r->particles.phase[iq][i], p / 3.0);
      else
        EXPECT_NEAR(r->particles.phase[iq][i], p, 4e-16 * std::fabs(p));
    }
  // The text form keeps the phase at the operating harmonic.
  s.config.write_ascii = 1;
  write_particle_file(s);
  const auto lines = read_lines(dir / "read_dis_ascii.out");
  ASSERT_EQ(lines.size(), 3u + 5u + 3u);
  EXPECT_EQ(lines[0].size(), 40u);
  EXPECT_EQ(lines[0].substr(25), "              2");
  EXPECT_EQ(lines[1], "              4              2");
  EXPECT_EQ(lines[2].size(), 50u);
  for (int k = 0; k < 8; ++k) {
    const std::string& l = lines[3 + k];
    ASSERT_EQ(l.size(), 6u * 28u + 15u);
    const int iq = k < 5 ? 1 : 2, i = k < 5 ? k : k - 5;
    EXPECT_EQ(l.substr(25, 3), "   ");
    EXPECT_NEAR(std::stod(l.substr(4 * 28, 25)), s.particles.phase[iq][i],
                1e-14 * std::fabs(s.particles.phase[iq][i]) + 1e-300);
    EXPECT_NEAR(std::stod(l.substr(0, 25)), s.particles.x[iq][i], 1e-14 * s.particles.x[iq][i]);
    EXPECT_EQ(std::stoi(l.substr(6 * 28)), s.particles.status[iq][i]);
  }
  // Any other value writes nothing.
  std::filesystem::remove(dir / "read_dis_ascii.out");
  s.config.write_ascii = 2;
  write_particle_file(s);
  EXPECT_FALSE(std::filesystem::exists(dir / "read_dis_ascii.out"));
  EXPECT_FALSE(std::filesystem::exists(dir / "read_dis.out"));
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

// A whole initial-beam step on a run context set up as velmo.dat would
// leave it: two states of a waterbag beam, no space charge.
struct WholeBeamFixture : BeamFixture {
  static constexpr int kN = 4000;
  void SetUp() override {
    BeamFixture::SetUp();
    Sim& s = *sim;
    s.ref.QDESIGN = 10.0;
    s.ref.ADESIGN = 40.0;
    s.ref.w0 = 1000.0;
    const double g = 1.0 + s.ref.w0 / s.ref.amu_kev;
    s.beam.beta_design = std::sqrt(1.0 - 1.0 / (g * g));
    s.ref.betgam0 = g * s.beam.beta_design;
    s.beam.epsx_geo = s.beam.epsy_geo = 1e-4;
    s.beam.BETX = 100.0;
    s.beam.ALPHX = 0.5;
    s.beam.BETY = 60.0;
    s.beam.EPSNZ = 5.0;
    s.beam.BETZ = 10.0;
    s.config.NQTOT = 2;
    s.config.NPAT[1] = s.config.NPAT[2] = kN;
    s.config.QQ[1] = 10.0;
    s.config.QQ[2] = 11.0;
    s.config.AMASS[1] = s.config.AMASS[2] = 40.0;
    s.config.IFLAG_DIS = 1;
    s.config.DWWACC = widen(0.2f);
    s.config.DWWMAX = s.config.DWWACC;
    rn_set_seed(s, 214748364);
  }
  static double mean(const double* a, int n) {
    double s = 0;
    for (int i = 0; i <= n; ++i) s += a[i];
    return s / (n + 1);
  }
};

TEST_F(WholeBeamFixture, GeneratedBeamIsCentredOnItsReferenceAndSaved) {
  Sim& s = *sim;
  make_initial_beam(s);
  EXPECT_EQ(s.ref.w_entry, 1000.0);
  EXPECT_EQ(s.config.nqtot1, 2);
  EXPECT_EQ(s.current.scur, 0.0);
  EXPECT_FALSE(std::filesystem::exists(dir / "sc_warning.dat"));
  for (int iq = 1; iq <= 2; ++iq) {
    EXPECT_EQ(s.config.npat0[iq], kN);
    EXPECT_EQ(s.npat.npat_pass[iq], kN);
    const ParticleArrays& p = s.particles;
    // Subtracting the centroid c of slots 0..N from slots 1..N leaves
    // c/(N+1) as the new mean; c itself is a few 1/sqrt(N) of the rms.
    for (const double* a : {p.x[iq], p.xp[iq], p.y[iq], p.yp[iq], p.phase[iq]}) {
      double rms = 0;
      for (int i = 0; i <= kN; ++i) rms += a[i] * a[i];
      rms = std::sqrt(rms / (kN + 1));
      EXPECT_LT(std::fabs(mean(a, kN)), 5.0 * rms / std::sqrt(double(kN)) / (kN + 1) + 1e-13 * rms);
    }
    std::vector<double> w(kN + 1);
    for (int i = 0; i <= kN; ++i)
      w[i] = (1.0 / std::sqrt(1.0 - p.beta[iq][i] * p.beta[iq][i]) - 1.0) * s.ref.amu_kev;
    EXPECT_NEAR(mean(w.data(), kN), w[0], 1e-3);
    EXPECT_EQ(p.qa[iq][7], s.config.QQ[iq] / 40.0);
  }
  EXPECT_EQ(s.charge_groups.n_groups, 2);
  // ini_dis.dat holds this beam.
  auto r = make_sim();
  set_start_values(*r);
  r->units.set_directory(dir.path());
  State(*r, "ini_dis.dat", "read");
  EXPECT_EQ(r->config.NPAT[2], kN);
  EXPECT_EQ(r->particles.x[2][kN], s.particles.x[2][kN]);
  EXPECT_EQ(r->particles.beta[1][17], s.particles.beta[1][17]);
}

TEST_F(WholeBeamFixture, StateOutsideTheStatisticsRangeKeepsItsEnergy) {
  // Only state 1 is counted: state 2 has no centroid and is left as made.
  Sim& s = *sim;
  s.config.IFLAG_QQ = 1;
  auto copy = make_sim();
  set_start_values(*copy);
  copy->config = s.config;
  copy->beam = s.beam;
  copy->ref = s.ref;
  copy->units.set_directory(dir.path());
  rn_set_seed(*copy, 214748364);
  generate_beam(*copy);
  rn_set_seed(s, 214748364);
  make_initial_beam(s);
  for (int i = 0; i <= kN; i += 97) {
    EXPECT_EQ(s.particles.beta[2][i], copy->particles.beta[2][i]) << i;
    EXPECT_EQ(s.particles.x[2][i], copy->particles.x[2][i]) << i;
  }
}

TEST_F(WholeBeamFixture, RestartKeepsTheSavedChargesAndCurrents) {
  Sim& s = *sim;
  s.current.CURRENT[1] = 0.3;
  make_initial_beam(s);
  std::filesystem::rename(dir / "ini_dis.dat", dir / "scratch.#07");
  std::filesystem::remove(dir / "sc_warning.dat");
  auto r = make_sim();
  set_start_values(*r);
  set_remaining_defaults(*r);
  r->ref.FREQB = s.ref.FREQB;  // from the restarting run's velmo.dat
  r->units.set_directory(dir.path());
  r->config.iel_first = 1;
  r->config.iel_last = 2;
  r->state.iscrch = 7;
  r->current.CURRENT[1] = 5.0;  // not used on a restart
  r->config.DWWACC = r->config.DWWMAX = widen(0.2f);
  make_initial_beam(*r);
  EXPECT_EQ(r->current.qmacro[1], s.current.qmacro[1]);
  EXPECT_EQ(r->current.scur, s.current.scur);
  EXPECT_FALSE(std::filesystem::exists(dir / "sc_warning.dat"));
  EXPECT_EQ(r->config.NQTOT, 2);
  EXPECT_EQ(r->particles.x[1][123], s.particles.x[1][123]);
  EXPECT_EQ(r->particles.qa[2][5], s.particles.qa[2][5]);
  // A missing restart file is named.
  r->state.iscrch = 8;
  EXPECT_NE(fatal_text([&] { make_initial_beam(*r); }).find("scratch.#08"), std::string::npos);
  // A harmonic that puts the operating frequency FREQB * harm out of range
  // (times and longitudinal emittances scale with it: 1e-300 gave asterisk
  // columns in out.dat with status 0). The harmonic is the fourth real of
  // record 1, after the 4-byte record length.
  std::string bytes = testing::read_file(dir / "scratch.#07");
  const double tiny = 1e-300;
  std::memcpy(bytes.data() + 4 + 24, &tiny, 8);
  testing::write_file(dir / "scratch.#09", bytes);
  r->state.iscrch = 9;
  EXPECT_NE(fatal_text([&] { make_initial_beam(*r); })
                .find(" beam-state file scratch.#09: harm = 1e-300 with FREQB = 100000000 Hz; the "
                      "operating frequency FREQB * harm must lie in 1000..1e+11 Hz"),
            std::string::npos);
}

TEST_F(WholeBeamFixture, AcceptanceRunNeverCarriesSpaceCharge) {
  Sim& s = *sim;
  s.config.IACCEP = 1;
  s.beam.PHMAX = 30.0;
  s.current.CURRENT[1] = 0.5e-6;
  s.current.CURRENT[2] = 0.5e-6;  // not summed: the acceptance beam is state 1 only
  make_initial_beam(s);
  EXPECT_EQ(s.config.NQTOT, 1);
  EXPECT_EQ(s.state.istat_mode, 2);
  EXPECT_TRUE(std::filesystem::exists(dir / "ini_dis.dat"));
  // Exactly the space-charge threshold: refused, after ini_dis.dat.
  auto t = make_sim();
  set_start_values(*t);
  set_remaining_defaults(*t);
  t->units.set_directory(dir.path());
  t->config = s.config;
  t->config.NQTOT = 2;
  t->beam = s.beam;
  t->ref = s.ref;
  t->current.CURRENT[1] = 1e-6;
  rn_set_seed(*t, 214748364);
  EXPECT_EQ(fatal_text([&] { make_initial_beam(*t); }),
            " Can not calculate acceptance with space charge for iaccep=1");
}

}  // namespace
}  // namespace linac
