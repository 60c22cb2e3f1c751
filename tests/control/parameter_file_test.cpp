#include "control/parameter_file.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "input_fixture.hpp"
#include "common/input_ranges.hpp"
#include "numerics/random.hpp"

namespace linac {
namespace {

using testing::InputRun;
using testing::kVelmoMin;

// velmo.dat built from the minimal file with extra members in TRAN and
// INDEX and optional further groups.
std::string velmo(const std::string& tran_extra, const std::string& index_extra = "",
                  const std::string& more = "") {
  return "&TRAN QDESIGN=1, ADESIGN=1, WIN=1.0D6, FREQB=1.0D8, NQTOT=1, NPAT=200, QQ=1, AMASS=1,\n"
         "      EPSNX=0.1, BETX=100, EPSNY=0.1, BETY=100, EPSNZ=100, BETZ=100 " +
         tran_extra + " /\n&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1 " + index_extra + " /\n" + more;
}

TEST(VelmoDat, MinimalFileGivesTheDesignParticle) {
  InputRun r;
  r.file("velmo.dat", kVelmoMin);
  ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
  const Sim& s = *r.sim;
  // WIN = 1e6 eV/u is 1000 keV/u.
  EXPECT_DOUBLE_EQ(s.ref.WIN, 1000.0);
  EXPECT_DOUBLE_EQ(s.ref.w0, 1000.0);
  // beta*gamma = sqrt(t (2 + t)) with t = W / (m_u c^2), m_u c^2 = 931494.32 keV
  // (independent of the code's gamma-then-beta route); reference values to
  // 18 digits, tolerance from the cancellation in 1 - 1/gamma^2 (about
  // 1e-16 / 2e-3).
  EXPECT_NEAR(s.ref.betgam0, 0.0463491121762136449, 1e-12 * 0.046);
  EXPECT_NEAR(s.beam.beta_design, 0.0462994077317123491, 1e-12 * 0.046);
  // Geometric emittance: EPSNX * 1e-3 / (beta gamma), cm rad.
  EXPECT_NEAR(s.beam.epsx_geo, 0.00215753863029376386, 1e-12 * 0.0022);
  EXPECT_DOUBLE_EQ(s.beam.epsy_geo, s.beam.epsx_geo);
  // Wavelength c / FREQB = 299.792458 cm, and per radian.
  EXPECT_DOUBLE_EQ(s.ref.wavelength, 299.792458);
  EXPECT_NEAR(s.ref.wavelength_2pi, 47.7134515923694226, 1e-14 * 47.7);
  EXPECT_EQ(s.ref.harm, 1.0);
  EXPECT_EQ(s.ref.QAVR, 1.0);
  EXPECT_EQ(s.config.nharm_sc, 1);
  // Defaults that stay: DWWMAX takes DWWACC (the single-precision 0.2).
  EXPECT_EQ(s.config.DWWMAX, 0.20000000298023224);
  EXPECT_EQ(s.config.NSTEP_CAV, 50);
  EXPECT_EQ(s.config.IINT, 50);
  EXPECT_EQ(s.sc.NXGRD, 33);
  EXPECT_EQ(s.sc.NZGRD, 65);
  EXPECT_EQ(s.tables.WORK_DIR, "empty");
  EXPECT_EQ(s.PART, 0.9950000047683716);
  EXPECT_EQ(s.corr.PARTCORR, 1.0);
  EXPECT_EQ(s.corr.MONERR, 1);
}


TEST(VelmoDat, UnitConversionsAndDerivedSettings) {
  InputRun r;
  r.file("velmo.dat",
         velmo("TE00_STEP=2, PHDEV_LIM=3, DF_4D=200, XP00=1, 0, 0, YP00(2)=3, PH00=90, DWW00=5, "
               "SFAS(5)=1, SERF(99)=3, ATP=2, QAVR=7, X00=0.5, DWWMAX=0.3",
               "IRIARFQ=5"));
  ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
  const Sim& s = *r.sim;
  const double deg = M_PI / 180.0;
  // Correction limits: percent and deg to fraction and rad; a zero limit
  // takes the converted step.
  EXPECT_DOUBLE_EQ(s.corr_limits.TE00_STEP, 0.02);
  EXPECT_DOUBLE_EQ(s.corr_limits.TE00_LIM, 0.02);
  EXPECT_DOUBLE_EQ(s.corr_limits.PHDEV_STEP, deg);
  EXPECT_DOUBLE_EQ(s.corr_limits.PHDEV_LIM, 3 * deg);
  EXPECT_EQ(s.beam.DF_4D, 180.0);
  EXPECT_DOUBLE_EQ(s.beam.df_4d_rad, M_PI);
  EXPECT_DOUBLE_EQ(s.offsets.XP00[1], 0.001);
  EXPECT_DOUBLE_EQ(s.offsets.YP00[2], 0.003);
  EXPECT_EQ(s.offsets.X00[1], 0.5);  // cm as read
  EXPECT_DOUBLE_EQ(s.offsets.PH00[1], M_PI / 2);
  EXPECT_DOUBLE_EQ(s.offsets.DWW00[1], 0.05);
  EXPECT_DOUBLE_EQ(s.tables.SFAS[5], deg);
  EXPECT_DOUBLE_EQ(s.tables.SERF[99], 0.03);
  EXPECT_EQ(s.tables.SERF[98], 0.0);
  // QAVR is replaced by QDESIGN; the RFQ factor is ATP Q / (QAVR A).
  EXPECT_EQ(s.ref.QAVR, 1.0);
  EXPECT_DOUBLE_EQ(s.ref.rfq_cell_factor[0], 2.0);
  EXPECT_EQ(s.config.DWWMAX, 0.3);
  EXPECT_EQ(s.state.IRIARFQ, 0);  // forced to 0 after group INDEX
}

TEST(VelmoDat, EdgeValuesOfTheDerivations) {
  {  // A negative phase half width stays as read.
    InputRun r;
    r.file("velmo.dat", velmo("DF_4D=-5"));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->beam.DF_4D, -5.0);
  }
  {  // The source voltage gives the energy: 1e5 V * Q/A = 25 keV/u.
    InputRun r;
    r.file("velmo.dat", velmo("WIN=0, UDESIGN=1.0D5, QDESIGN=1, ADESIGN=4"));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_DOUBLE_EQ(r.sim->ref.w0, 25.0);
    // sqrt(t (2 + t)), t = 25 / 931494.32; cancellation error about 1e-16 / 5e-5.
    EXPECT_NEAR(r.sim->ref.betgam0, 0.00732652119960770013, 1e-11 * 0.0073);
  }
  {  // No energy at all is allowed here (a beam file may set it): w0 = 0.
    InputRun r;
    r.file("velmo.dat", velmo("WIN=0"));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->ref.w0, 0.0);
    EXPECT_EQ(r.sim->ref.betgam0, 0.0);
  }
  {  // An acceptance run switches the plots and envelope flags.
    InputRun r;
    r.file("velmo.dat", velmo("", "IACCEP=1, IFLAG_ENV=0, IFLAG_ELL=1, IFLAG_BC=1"));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->state.iflag_accep, 1);
    EXPECT_EQ(r.sim->config.IFLAG_ENV, 1);
    EXPECT_EQ(r.sim->config.IFLAG_ELL, 0);
    EXPECT_EQ(r.sim->config.IFLAG_BC, 0);
  }
  {  // A long table directory is kept whole.
    InputRun r;
    const std::string dir = "/data/" + std::string(100, 'x') + "/tables/";
    r.file("velmo.dat", velmo("TABLE_DIR='" + dir + "'"));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->tables.TABLE_DIR, dir);
  }
}

TEST(VelmoDat, ConditionalGroups) {
  {  // IFLAG_DIS = 50: group OTHER is not read (the file has none).
    InputRun r;
    r.file("velmo.dat", velmo("", "IFLAG_DIS=50"));
    EXPECT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
  }
  {  // IFLAG_DIS = 51 needs group OTHER.
    InputRun r;
    r.file("velmo.dat", velmo("", "IFLAG_DIS=51"));
    EXPECT_NE(r.run(read_velmo_dat), 0);
    EXPECT_NE(r.screen.str().find("OTHER"), std::string::npos) << r.screen.str();
  }
  {
    InputRun r;
    r.file("velmo.dat", velmo("", "IFLAG_DIS=51", "&OTHER A_AXE=0.5, C_AXE=2 /\n"));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->sc.A_AXE, 0.5);
    EXPECT_EQ(r.sim->sc.C_AXE, 2.0);
  }
  {  // Without an error study group CORRECT is not read; its defaults hold.
    InputRun r;
    r.file("velmo.dat", velmo("", "", "&CORRECT MONERR=3 /\n"));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->corr.MONERR, 1);
    EXPECT_EQ(r.sim->corr.PARTCORR, 1.0);
  }
  {  // IFLAG_CORR = 2 (study without corrections) reads it.
    InputRun r;
    r.file("velmo.dat", velmo("", "IFLAG_CORR=2, NRZ=3",
                              "&CORRECT MONERR=3, PARTCORR=0.5, IFLAG_VRAND=-1 /\n"));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->corr.MONERR, 3);
    EXPECT_EQ(r.sim->corr.PARTCORR, 0.5);
    EXPECT_EQ(r.sim->config.IFLAG_VRAND, -1);
  }
}

// Every refusal with its message, in the order the checks run: a file that
// breaks several rules shows the first.
TEST(VelmoDat, FatalChecksInOrder) {
  struct Case {
    const char* what;
    std::string text;
    std::string message;  // the first screen line, or a part of it when partial
    bool partial;
  };
  const std::string noQ = "&TRAN ADESIGN=1, FREQB=1D8 /\n&INDEX /\n";
  const std::string study = "IFLAG_CORR=2, NRZ=1";
  const std::string correct = "&CORRECT /\n";
  const Case cases[] = {
      {"no QDESIGN", noQ, " Qdesign don't define", false},
      {"no QDESIGN nor ADESIGN", "&TRAN FREQB=0 /\n&INDEX IACCEP=1, IFLAG_CORR=1 /\n",
       " Qdesign don't define", false},
      {"no ADESIGN", "&TRAN QDESIGN=1 /\n&INDEX IACCEP=1, IFLAG_CORR=1 /\n",
       " Adesign don't define", false},
      {"no FREQB", "&TRAN QDESIGN=1, ADESIGN=1 /\n&INDEX IACCEP=1, IFLAG_CORR=1 /\n",
       " velmo.dat, group TRAN: FREQB = 0 Hz", true},
      {"negative FREQB", velmo("FREQB=-5"), "FREQB = -5 Hz", true},
      {"NQTOT above 6", velmo("NQTOT=7"), "NQTOT = 7; the number of charge states must lie in 0..6",
       true},
      {"NPAT above capacity", velmo("NPAT(2)=166002"), "NPAT(2) = 166002", true},
      {"negative NPAT", velmo("NPAT=-1"), "NPAT(1) = -1", true},
      {"zero AMASS in use", velmo("AMASS=0"), "AMASS(1) = 0 for a charge state in use", true},
      {"acceptance with error study", velmo("", "IACCEP=1, IFLAG_CORR=1, NXGRD=300"),
       " iflag_accep.eq.1 .and. iflag_corr.ne.0 ", false},
      {"grid above capacity", velmo("", "NXGRD=257, NZGRD=257"),
       " velmo.dat, group INDEX: NXGRD = 257; space-charge grid nodes must lie in 4..129", false},
      {"grid too small", velmo("", "NYGRD=3"), "NYGRD = 3;", true},
      {"z grid above capacity", velmo("", "NZGRD=513"), "NZGRD = 513;", true},
      {"space-charge model other than 0 or 1", velmo("", "IFLAG2D=2"),
       " velmo.dat, group INDEX: IFLAG2D = 2; the space-charge model must be 0 (3-D, bunched) or 1 "
       "(2-D, continuous)",
       false},
      {"negative first seed", velmo("", "IFLAG_CORR=2, NRZ_MIN=-1, NRZ=2"),
       "error seeds NRZ_MIN = -1", true},
      {"seed above 999", velmo("", "IFLAG_CORR=2, NRZ_MIN=995, NRZ=10"),
       "NRZ_MIN + NRZ - 1 = 1004; seed numbers must lie in 0..999", true},
      {"table directory too long", velmo("TABLE_DIR='/" + std::string(256, 'd') + "'"),
       " velmo.dat, group TRAN: TABLE_DIR is longer than 256 characters: its value holds 257 ", true},
      {"table directory of 300 characters", velmo("TABLE_DIR='" + std::string(300, 'd') + "  '"),
       " velmo.dat, group TRAN: TABLE_DIR is longer than 256 characters: its value holds 300 ", true},
      // A directory name with a control character: a NUL would cut the
      // name short and open another file.
      {"table directory with a NUL", velmo(std::string("TABLE_DIR='/etc/passwd") + '\0' + "'"),
       " velmo.dat, group TRAN: TABLE_DIR holds the control character 0x00 at position 12; a directory "
       "name takes printable characters only",
       false},
      {"table directory with a tab", velmo("TABLE_DIR='tab\tles/'"),
       "TABLE_DIR holds the control character 0x09 at position 4", true},
      {"work directory with DEL", velmo("WORK_DIR='w\x7f'"), "WORK_DIR holds the control character 0x7F at position 2",
       true},
      {"both WIN and UDESIGN", velmo("UDESIGN=1000"), "  Udesign.ne.0d0 .and. Win.ne.0d0 ", false},
      // Values that feed a division, a square root, an index or a phase,
      // and physical values no machine reaches: each is refused naming its
      // group, member, value and the allowed range, before any of it is used.
      // NINT(NPAT NP_SET) would exceed the particles that exist.
      {"NP_SET=1.5", velmo("NP_SET=1.5", study, correct), "group TRAN: NP_SET = 1.5; allowed range (0, 1]", true},
      {"NP_SET=0", velmo("NP_SET=0", study, correct), "NP_SET = 0; allowed range (0, 1]", true},
      {"NP_SET=2147483648", velmo("NP_SET=2147483648", study, correct), "NP_SET = 2147483648;", true},
      // -100 % leaves no kinetic energy (speed NaN).
      {"NQTOT=2, AMASS=2*1, DWW00(2)=-100", velmo("NQTOT=2, AMASS=2*1, DWW00(2)=-100"), "DWW00(2) = -100 %; allowed range (-100,", true},
      {"PART=1", velmo("PART=1"), "PART = 1; allowed range (0, 1)", true},
      {"PART=-0.005", velmo("PART=-0.005"), "PART = -0.005;", true},
      {"DWWACC=0", velmo("DWWACC=0"), "DWWACC = 0; allowed range (0,", true},
      {"DWWMAX=-0.1", velmo("DWWMAX=-0.1"), "DWWMAX = -0.1; allowed range [0,", true},
      {"FREQB=0.5", velmo("FREQB=0.5"), "FREQB = 0.5 Hz; allowed range [1000, 100000000000]", true},
      {"BETZ=1e300", velmo("BETZ=1e300"), "BETZ = 1e+300;", true},
      {"ALPHX=1e8", velmo("ALPHX=1e8"), "ALPHX = 100000000;", true},
      {"EPSNZ=1e300", velmo("EPSNZ=1e300"), "EPSNZ = 1e+300;", true},
      {"BETY=1e-300", velmo("BETY=1e-300"), "BETY = 1e-300; allowed range 0 or [0.01, 1000000]", true},
      {"QQ=1e9", velmo("QQ=1e9"), "QQ(1) = 1000000000;", true},
      {"QQ=2147483648", velmo("QQ=2147483648"), "QQ(1) = 2147483648;", true},
      {"AMASS=1e300", velmo("AMASS=1e300"), "AMASS(1) = 1e+300;", true},
      {"AMASS=-4", velmo("AMASS=-4"), "AMASS(1) = -4;", true},
      {"ADESIGN=-1", velmo("ADESIGN=-1"), "ADESIGN = -1;", true},
      {"WIN=-5", velmo("WIN=-5"), "WIN = -5 eV/u;", true},
      {"WIN=0, UDESIGN=-1D6", velmo("WIN=0, UDESIGN=-1D6"), "design energy WIN = -1000 keV/u", true},
      {"DB_B=1", velmo("DB_B=1"), "DB_B = 1; allowed range [0, 1)", true},
      {"CURRENT=-1", velmo("CURRENT=-1"), "CURRENT(1) = -1 mA;", true},
      {"SERF(7)=1e300", velmo("SERF(7)=1e300"), "SERF(7) = 1e+300 %;", true},
      {"PH00=3.7e37", velmo("PH00=3.7e37"), "PH00(1) = 3.7e+37 deg;", true},
      {"IFLAG_QQ=7", velmo("", "IFLAG_QQ=7"), "group INDEX: IFLAG_QQ = 7; allowed range [0, 6]", true},
      {"NSTEP_CAV=0", velmo("", "NSTEP_CAV=0"), "NSTEP_CAV = 0;", true},
      {"TE00_STEP=0", velmo("TE00_STEP=0", study, correct), "TE00_STEP = 0 (fraction); allowed range (0, 1]", true},
      {"PHDEV_STEP=0", velmo("PHDEV_STEP=0", study, correct), "PHDEV_STEP = 0 rad; allowed range (0, ", true},
      {"CORRECT PARTCORR=1.5", velmo("", study, "&CORRECT PARTCORR=1.5 /\n"), "group CORRECT: PARTCORR = 1.5;", true},
      {"OTHER C_AXE=1e300", velmo("", "IFLAG_DIS=52", "&OTHER C_AXE=1e300 /\n"), "group OTHER: C_AXE = 1e+300;", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InputRun r;
    r.file("velmo.dat", c.text);
    EXPECT_NE(r.run(read_velmo_dat), 0);
    const auto lines = r.screen_lines();
    ASSERT_FALSE(lines.empty());
    if (c.partial)
      EXPECT_NE(lines[0].find(c.message), std::string::npos) << lines[0];
    else
      EXPECT_EQ(lines[0], c.message);
  }
}

// The fraction of particles a pass uses never reaches beyond the particles
// that exist, whatever the caller hands in.
TEST(ScaledParticleCount, StaysWithinTheParticlesThatExist) {
  EXPECT_EQ(scaled_particle_count(1000, 1.0, "NP_SET"), 1000);
  EXPECT_EQ(scaled_particle_count(1000, 0.5, "NP_SET"), 500);
  EXPECT_EQ(scaled_particle_count(3, 0.5, "NP_SET"), 2);  // NINT rounds halves away from zero
  for (double bad : {1.5, -0.5, 2147483648.0, std::nan("")}) {
    try {
      scaled_particle_count(996006, bad, "NP_SET");
      ADD_FAILURE() << bad << " accepted";
    } catch (const FatalStop& stop) {
      EXPECT_NE(stop.lines().at(0).find("NP_SET"), std::string::npos) << stop.lines().at(0);
    }
  }
}

TEST(VelmoDat, UdesignConflictIsAlsoLogged) {
  InputRun r;
  r.file("velmo.dat", velmo("UDESIGN=1000"));
  EXPECT_NE(r.run(read_velmo_dat), 0);
  const auto log = r.lines_of("log.dat");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "   Udesign.ne.0d0 .and. Win.ne.0d0 ");  // list-directed: one blank more
}

TEST(VelmoDat, AcceptedBoundaryValues) {
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"table directory of 256 characters", velmo("TABLE_DIR='/" + std::string(255, 'd') + "  '")},
      {"largest grid", velmo("", "NXGRD=129, NYGRD=129, NZGRD=257")},
      {"grid at NZGRD + 2", velmo("", "NXGRD=67, NYGRD=67, NZGRD=65")},
      {"transverse grid above NZGRD", velmo("", "NXGRD=129, NYGRD=129, NZGRD=65")},
      {"2-D model", velmo("", "IFLAG2D=1, NXGRD=129, NYGRD=129")},
      {"particles at capacity", velmo("NPAT=166001")},
      {"zero AMASS of an unused state", velmo("AMASS=1, 0")},
      {"six charge states", velmo("NQTOT=6, AMASS=6*1")},
      {"no charge state", velmo("NQTOT=0, AMASS=0")},
      {"last seed 999", velmo("", "IFLAG_CORR=2, NRZ_MIN=990, NRZ=10", "&CORRECT /\n")},
      {"seed range unused without a study", velmo("", "NRZ_MIN=-3, NRZ=5000")},
      {"whole beam in the nominal pass", velmo("NP_SET=1", "IFLAG_CORR=2, NRZ=1", "&CORRECT /\n")},
      {"fraction ignored without a study", velmo("NP_SET=1.5")},
      {"energy offset of -99 %", velmo("DWW00=-99")},
      {"level fraction 0.995", velmo("PART=0.995")},
      {"tiny energy acceptance", velmo("DWWACC=1e-300")},
      {"zero DWWMAX takes DWWACC", velmo("DWWMAX=0")},
      {"highest frequency and charge", velmo("FREQB=1e11, QQ=300, QDESIGN=-300")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InputRun r;
    r.file("velmo.dat", c.text);
    EXPECT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
  }
}

TEST(VelmoDat, MissingFileIsNamed) {
  InputRun r;
  EXPECT_NE(r.run(read_velmo_dat), 0);
  EXPECT_EQ(r.screen.str(),
            " velmo.dat not found in the working directory: the run needs its parameter file\n");
}


// Any non-zero ISRF seeds the stream with 214748364, whose first deviate is
// 16807 * 214748364 mod (2^31 - 1) / (2^31 - 1) = 1503226788 / 2147483647.
TEST(VelmoDat, NonZeroIsrfSeedsTheFixedSeed) {
  for (const char* isrf : {"ISRF=7", "ISRF=-1"}) {
    SCOPED_TRACE(isrf);
    InputRun r;
    r.file("velmo.dat", velmo("", std::string(isrf)));
    ASSERT_EQ(r.run(read_velmo_dat), 0) << r.screen.str();
    EXPECT_EQ(r.sim->config.ISRF, 214748364);
    EXPECT_DOUBLE_EQ(rn_next(*r.sim), 1503226788.0 / 2147483647.0);
  }
}

}  // namespace
}  // namespace linac
