// Whole runs that make, save, write back and sort the initial beam.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>

#include "run/sim.hpp"
#include "control/acceptance_output.hpp"
#include "beam/beam_state.hpp"
#include "control/initial_beam.hpp"
#include "control/velmo_main.hpp"
#include "input_fixture.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_file;
using testing::read_lines;
using testing::TaskRun;

// A parameter file: 1 MeV/u protons at 100 MHz, fixed seed, no plots;
// `tran` and `index` add members to the groups.
std::string velmo(const std::string& tran, const std::string& index) {
  return "&TRAN QDESIGN=1, ADESIGN=1, WIN=1.0D6, FREQB=1.0D8, NQTOT=1, QQ=1, AMASS=1,\n"
         "      EPSNX=0.1, ALPHX=0.5, BETX=100, EPSNY=0.2, ALPHY=-1.5, BETY=40,\n"
         "      EPSNZ=100, ALPHZ=0.3, BETZ=50, " +
         tran + " /\n&INDEX IGRAPH=0, ISRF=1, " + index + " /\n";
}

const std::string kCommandsOnly = "1 vary\n2 vary\nstop\n";
const std::string kDrifts = "1 drift 10 2 2\n2 drift 5 2 2\nstop\n";

// Emittance in cm rad of the bounding ellipse handed to the generators:
// EPSNX 0.001 / (beta gamma) at 1000 keV/u.
double geometric(double epsn) {
  const double g = 1.0 + 1000.0 / kAmuKev;
  return epsn * 0.001 / (g * std::sqrt(1.0 - 1.0 / (g * g)));
}

struct Moments {
  double eps, alpha, beta;
};
Moments moments(const double* q, const double* qp, int n) {
  double mq = 0, mp = 0;
  for (int i = 0; i <= n; ++i) mq += q[i], mp += qp[i];
  mq /= n + 1;
  mp /= n + 1;
  double s11 = 0, s12 = 0, s22 = 0;
  for (int i = 0; i <= n; ++i) {
    s11 += (q[i] - mq) * (q[i] - mq);
    s12 += (q[i] - mq) * (qp[i] - mp);
    s22 += (qp[i] - mp) * (qp[i] - mp);
  }
  const double eps = std::sqrt(s11 * s22 - s12 * s12) / n;
  return {eps, -s12 / n / eps, s11 / n / eps};
}

// Each distribution type in a commands-only run of N = 1e5, read back
// from ini_dis.dat. A uniform n-ball projected on two of its axes has
// eps_rms = eps/(n + 2); the 3-D ball with free slopes eps/sqrt(15) and
// no longer the requested Twiss parameters. Tolerance c/sqrt(N), c = 5.
TEST(BeamRun, GeneratedBeamsFollowTheirTwissParameters) {
  const int n = 100000;
  const double tol = 5.0 / std::sqrt(double(n));
  struct Case {
    const char* index;
    const char* tran;
    double ratio;
    bool twiss;
  };
  const Case cases[] = {
      {"IFLAG_DIS=1", "", 1.0 / 8.0, true},
      {"IFLAG_DIS=2", "", 1.0 / std::sqrt(15.0), false},
      {"IFLAG_DIS=0", "DF_4D=20, DB_B=0.001", 1.0 / 6.0, true},
      {"IACCEP=1", "PHMAX=20, DWWACC=0.05", 1.0 / 6.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    TaskRun run(velmo(std::string("NPAT=100000, ") + c.tran, c.index), kCommandsOnly);
    ASSERT_EQ(run.go(), 0) << run.screen.str();
    auto r = make_sim();
    set_start_values(*r);
    r->units.set_directory(run.dir.path());
    State(*r, "ini_dis.dat", "read");
    ASSERT_EQ(r->config.NPAT[1], n);
    const Moments mx = moments(r->particles.x[1], r->particles.xp[1], n);
    const Moments my = moments(r->particles.y[1], r->particles.yp[1], n);
    EXPECT_NEAR(mx.eps / geometric(0.1), c.ratio, c.ratio * tol);
    EXPECT_NEAR(my.eps / geometric(0.2), c.ratio, c.ratio * tol);
    if (c.twiss) {
      EXPECT_NEAR(mx.alpha, 0.5, 1.5 * tol);
      EXPECT_NEAR(mx.beta, 100.0, 100.0 * tol);
      EXPECT_NEAR(my.alpha, -1.5, 2.5 * tol);
      EXPECT_NEAR(my.beta, 40.0, 40.0 * tol);
    }
    for (int i = 0; i <= n; i += 101)
      ASSERT_TRUE(std::isfinite(r->particles.x[1][i]) && std::isfinite(r->particles.beta[1][i]));
  }
}

TEST(BeamRun, SameSeedGivesIdenticalFilesAndIniDisReadsBackBitForBit) {
  const std::string v = velmo("NPAT=3000,3000, NQTOT=2, QQ=1,2, AMASS=1,4", "IFLAG_DIS=1");
  TaskRun a(v, kDrifts), b(v, kDrifts);
  ASSERT_EQ(a.go(), 0) << a.screen.str();
  ASSERT_EQ(b.go(), 0) << b.screen.str();
  for (const char* f : {"ini_dis.dat", "coord.dat", "out.dat", "lost.dat"})
    EXPECT_EQ(read_file(a.dir / f), read_file(b.dir / f)) << f;
  // Both states reach coord.dat.
  const std::string coord = read_file(a.dir / "coord.dat");
  EXPECT_NE(coord.find("\n      0      2 "), std::string::npos);
  // ini_dis.dat read back and written again gives the same bytes.
  auto r = make_sim();
  set_start_values(*r);
  r->units.set_directory(a.dir.path());
  State(*r, "ini_dis.dat", "read");
  r->state.ipos = a.sim->config.iel_first - 1;
  r->ref.elem_phase = r->ref.rfq_resume_phase;
  r->history.ref_phase_out[r->state.ipos] = r->ref.rfq_resume_exit_phase;
  State(*r, "copy.dat", "write");
  EXPECT_EQ(read_file(a.dir / "copy.dat"), read_file(a.dir / "ini_dis.dat"));
}

TEST(BeamRun, ReadDisOutReadBackReproducesCoordDat) {
  // Run 1 passes two drifts and writes its beam as read_dis.out at the end
  // of the pass; run 2 starts from that file and passes commands only.
  TaskRun first(velmo("NPAT=2000, EPSNX=10", "IFLAG_DIS=1, IWRITE_DIS=1"), kDrifts);
  ASSERT_EQ(first.go(), 0) << first.screen.str();
  TaskRun second(velmo("NPAT=2000, EPSNX=10", "IREAD_DIS=1"), kCommandsOnly);
  std::filesystem::copy_file(first.dir / "read_dis.out", second.dir / "read_dis.dat");
  ASSERT_EQ(second.go(), 0) << second.screen.str();
  const auto c1 = read_lines(first.dir / "coord.dat");
  const auto c2 = read_lines(second.dir / "coord.dat");
  EXPECT_LT(c1.size(), 2002u);  // some particles were lost in the drifts
  EXPECT_EQ(c1, c2);
  const std::string s = second.screen.str();
  EXPECT_NE(s.find("   1                  2000                  2000                  2000\n"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find(" 1st command in sclinac.dat must be 1 prmtr harm=N\n"), std::string::npos);
}

TEST(BeamRun, AcceptanceRunSortsEveryParticleIntoItsFile) {
  TaskRun run(velmo("NPAT=2000, EPSNX=10, PHMAX=30, DWWACC=0.02", "IACCEP=1"), kDrifts);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const auto acc = read_lines(run.dir / "accepted.dat");
  const auto stop = read_lines(run.dir / "stopped.dat");
  ASSERT_FALSE(acc.empty());
  ASSERT_FALSE(stop.empty());
  EXPECT_EQ(acc[0], kAcceptanceHeader);
  EXPECT_EQ(stop[0], kAcceptanceHeader);
  EXPECT_EQ(acc.size() - 1 + stop.size() - 1, 2001u);  // the reference included
  EXPECT_GT(stop.size(), 1u);
  EXPECT_EQ(read_lines(run.dir / "lost.dat").size(), stop.size());  // one record per loss
  for (const auto& e : std::filesystem::directory_iterator(run.dir.path()))
    EXPECT_NE(e.path().filename().string().rfind("fort.", 0), 0u) << e.path();
}

TEST(BeamRun, SpaceChargeAndStripperStopBeforeThePass) {
  TaskRun run(velmo("NPAT=200, CURRENT=1.0D-6", "IFLAG_DIS=1"),
          "1 drift 10 2 2\n2 strip 1 1 1 1 1 1 1 1 1\nstop\n");
  EXPECT_NE(run.go(), 0);
  EXPECT_NE(run.screen.str().find("\n Can not calculate stripper with space charge\n"),
            std::string::npos)
      << run.screen.str();
  EXPECT_TRUE(std::filesystem::exists(run.dir / "sc_warning.dat"));
  EXPECT_FALSE(std::filesystem::exists(run.dir / "ini_dis.dat"));
}

}  // namespace
}  // namespace linac
