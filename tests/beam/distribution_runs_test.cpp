// Whole runs whose initial beam comes from another code's particle file or
// from a source-type generator: the out.dat entry line (the beam before the
// first lattice line) shows the centroids and sizes of the beam put in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "control/input_fixture.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using ::testing::HasSubstr;
using testing::read_lines;
using testing::TaskRun;

// The 33 numbers of the out.dat line named "entry"; empty when there is none.
std::vector<double> entry_line(const TaskRun& run) {
  for (const auto& line : run.lines_of("out.dat")) {
    if (line.size() < 11 || line.substr(6, 5) != "entry") continue;
    std::istringstream in(line.substr(11));
    std::vector<double> v;
    double d;
    while (in >> d) v.push_back(d);
    return v;
  }
  return {};
}

// Columns of the out.dat data line (1-based as printed after the name).
enum Col { kWmean = 2, kXrms = 4, kYrms = 5, kXc = 20, kXpc = 21, kYc = 22, kYpc = 23, kPhic = 25, kLive = 33 };
double col(const std::vector<double>& v, Col c) { return v.at(static_cast<std::size_t>(c) - 1); }

// Sample mean and standard deviation (denominator n - 1) of a list.
struct Stats {
  double mean, sd;
};
Stats stats(const std::vector<double>& v) {
  double m = 0.0;
  for (double x : v) m += x;
  m /= static_cast<double>(v.size());
  double s = 0.0;
  for (double x : v) s += (x - m) * (x - m);
  return {m, std::sqrt(s / static_cast<double>(v.size() - 1))};
}

// F12.5 prints to 1e-5; the value itself is exact up to rounding.
constexpr double kPrint = 0.6e-5;

std::string velmo(const std::string& tran, const std::string& index) {
  return "&TRAN QDESIGN=5, ADESIGN=40, FREQB=5.0D7, NQTOT=2, QQ=5,6, AMASS=40,40, " + tran +
         " /\n&INDEX IGRAPH=0, ISRF=1, " + index + " /\n";
}
const std::string kHarmThenCommands = "1 prmtr harm=1\n2 vary\nstop\n";
const std::string kCommandsOnly = "1 vary\n2 vary\nstop\n";

// A stop after the entry line is accepted only while the prmtr command of
// the first lattice line has no handler yet.
void expect_ran_or_stopped_at_prmtr(int status, const TaskRun& run) {
  if (status != 0) {
    EXPECT_THAT(run.screen.str(), HasSubstr("prmtr")) << run.screen.str();
  }
}

TEST(DistributionRuns, LanlFileGivesItsCentroidsAndSizesOnTheEntryLine) {
  TaskRun run(velmo("", "IFLAG_DIS=20"), kHarmThenCommands);
  // Two states of three particles (Q 5 and 6), energies 1.00 to 1.02 MeV/u.
  struct P {
    double x, xp, y, yp, ph, w;
  };
  const std::vector<P> ps = {{0.10, 0.0010, -0.20, 0.0020, 0.05, 1.00},
                             {0.30, -0.0005, 0.10, 0.0000, -0.10, 1.01},
                             {-0.05, 0.0020, 0.25, -0.0010, 0.02, 1.02},
                             {0.20, 0.0000, 0.00, 0.0015, 0.08, 1.00},
                             {0.00, 0.0010, -0.10, 0.0005, -0.03, 1.01},
                             {0.40, -0.0010, 0.05, 0.0000, 0.00, 1.02}};
  std::string text = "LANL test beam\n";
  for (std::size_t k = 0; k < ps.size(); ++k) {
    const P& p = ps[k];
    std::ostringstream s;
    s.precision(17);
    s << k + 1 << ' ' << p.x << ' ' << p.xp << ' ' << p.y << ' ' << p.yp << ' ' << p.ph << ' ' << p.w
      << ' ' << (k < 3 ? 5 : 6) << " 40\n";
    text += s.str();
  }
  run.file("lanl_ini.dat", text);
  const int status = run.go();
  expect_ran_or_stopped_at_prmtr(status, run);
  const auto v = entry_line(run);
  ASSERT_EQ(v.size(), 33u) << run.screen.str();

  std::vector<double> x, xp, y, yp, ph, w;
  for (const P& p : ps) {
    x.push_back(p.x), xp.push_back(p.xp), y.push_back(p.y), yp.push_back(p.yp), w.push_back(p.w);
  }
  // Phases shifted by the plain mean of the two state means.
  const double shift = ((0.05 - 0.10 + 0.02) / 3 + (0.08 - 0.03 + 0.00) / 3) / 2;
  for (const P& p : ps) ph.push_back(p.ph - shift);
  EXPECT_NEAR(col(v, kXc), stats(x).mean, kPrint);
  EXPECT_NEAR(col(v, kXpc), 1000 * stats(xp).mean, kPrint);
  EXPECT_NEAR(col(v, kYc), stats(y).mean, kPrint);
  EXPECT_NEAR(col(v, kYpc), 1000 * stats(yp).mean, kPrint);
  EXPECT_NEAR(col(v, kXrms), stats(x).sd, kPrint);
  EXPECT_NEAR(col(v, kYrms), stats(y).sd, kPrint);
  EXPECT_NEAR(col(v, kPhic), stats(ph).mean / kDegToRad, kPrint);
  EXPECT_NEAR(col(v, kWmean), stats(w).mean, kPrint);
  EXPECT_EQ(col(v, kLive), 6.0);
}

// The beams of the ASTRA and DINAMION files are centred on their reference
// particles; the fixtures put each state's reference particle on the axis
// and its centroid there too, so the centring leaves the positions as read.
TEST(DistributionRuns, AstraFilePositionsGiveTheEntrySizes) {
  TaskRun run(velmo("", "IFLAG_DIS=21"), kHarmThenCommands);
  const std::vector<double> xs = {0.0, 0.2, -0.2, 0.0, 0.1, -0.1};  // cm
  const std::vector<double> ys = {0.0, -0.3, 0.3, 0.0, 0.05, -0.05};
  std::string text = "ASTRA test beam\n";
  for (std::size_t k = 0; k < xs.size(); ++k) {
    std::ostringstream s;
    s.precision(17);
    s << xs[k] / 100 << ' ' << ys[k] / 100 << " 0 0 0 2.6e9 " << (k < 3 ? 5 : 6) << " 40\n";
    text += s.str();
  }
  run.file("astra_ini.dat", text);
  expect_ran_or_stopped_at_prmtr(run.go(), run);
  const auto v = entry_line(run);
  ASSERT_EQ(v.size(), 33u) << run.screen.str();
  EXPECT_NEAR(col(v, kXc), 0.0, kPrint);
  EXPECT_NEAR(col(v, kYc), 0.0, kPrint);
  EXPECT_NEAR(col(v, kXrms), stats(xs).sd, kPrint);
  EXPECT_NEAR(col(v, kYrms), stats(ys).sd, kPrint);
  EXPECT_EQ(col(v, kLive), 6.0);
}

TEST(DistributionRuns, DinamionFileCentroidsAndSizesWithAParticleInBothStates) {
  // QQ 5 and 5.15: the particle of charge 5.08 joins both states.
  TaskRun run("&TRAN QDESIGN=5, ADESIGN=40, FREQB=5.0D7, NQTOT=2, QQ=5,5.15, AMASS=40,40 /\n"
              "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=49 /\n",
              kCommandsOnly);
  run.file("dinamion_ini.dat",
           "1  0.0  0.0     0.0  0.0    0 0.046  0.0  5.0\n"
           "2  0.0  0.0     0.0  0.0    0 0.046  0.0  5.15\n"
           "3  0.3  0.0001 -0.1  0.0    0 0.046  1.0  5.0\n"
           "4 -0.3 -0.0001  0.1  0.0    0 0.046 -1.0  5.0\n"
           "5  0.2  0.0    -0.2  0.0001 0 0.046  2.0  5.15\n"
           "6 -0.2  0.0     0.2 -0.0001 0 0.046 -2.0  5.15\n"
           "7  0.0  0.0     0.0  0.0    0 0.046  0.0  5.08\n");
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const auto v = entry_line(run);
  ASSERT_EQ(v.size(), 33u);
  // State 1: particles 1, 3, 4, 7; state 2: 2, 5, 6, 7.
  const std::vector<double> xs = {0.0, 0.3, -0.3, 0.0, 0.0, 0.2, -0.2, 0.0};
  const std::vector<double> ys = {0.0, -0.1, 0.1, 0.0, 0.0, -0.2, 0.2, 0.0};
  EXPECT_NEAR(col(v, kXc), 0.0, kPrint);
  EXPECT_NEAR(col(v, kYpc), 0.0, kPrint);
  EXPECT_NEAR(col(v, kXrms), stats(xs).sd, kPrint);
  EXPECT_NEAR(col(v, kYrms), stats(ys).sd, kPrint);
  EXPECT_EQ(col(v, kLive), 8.0);
  // The design energy is the file's mean energy: beta 0.046 for all.
  const double w = (1 / std::sqrt(1 - 0.046 * 0.046) - 1) * kAmuMev;
  EXPECT_NEAR(col(v, kWmean), w, kPrint);
}

TEST(DistributionRuns, KobraFileWritesItsTableAndEndsTheRun) {
  TaskRun run(velmo("WIN=1.0D6", "IFLAG_DIS=23"), kHarmThenCommands);
  run.file("kobra_ini.dat",
           "0 0  1e-3 0 1e7 0 0 5 40 0 0.1\n"
           "0 0 -1e-3 0 1e7 0 0 5 40 0 0.2\n");
  EXPECT_EQ(run.go(), 0);  // a planned end, not a failure
  const auto log = read_lines(run.dir / "log.dat");
  ASSERT_GE(log.size(), 3u);
  EXPECT_THAT(log[log.size() - 2], HasSubstr("Wkin[Kev/u]"));
  EXPECT_THAT(log.back(), ::testing::StartsWith("  1    5.0   40.0       1"));
  EXPECT_TRUE(entry_line(run).empty());
}

// Each source type reaches its generator: the entry line's rms x of a
// beam of N = 20000 is the size the generator implies, within 5 standard
// errors of an rms estimate (relative sd sqrt((kurtosis - 1)/(4N)), at
// most sqrt(2/(4N)) for these shapes).
TEST(DistributionRuns, SourceTypesGiveTheirSizesOnTheEntryLine) {
  const double n = 20000;
  const double rel = 5 * std::sqrt(2.0 / (4 * n));
  struct Case {
    const char* tran;
    const char* index;
    const char* other;
    double x_rms;
  };
  const Case cases[] = {
      {"BETX=0.4, BETZ=0.9, DF_4D=20, DB_B=0.001", "IFLAG_DIS=48", "", 0.4 / 2},
      {"", "IFLAG_DIS=51", "&OTHER A_AXE=0.6, B_AXE=0.3, RAB=0.5 /\n", 0.6 / 2},
      {"", "IFLAG_DIS=52", "&OTHER A_AXE=0.5, B_AXE=0.3, C_AXE=1.0 /\n", 0.5 / std::sqrt(5.0)},
      {"", "IFLAG_DIS=53", "&OTHER A_AXE=0.2, B_AXE=0.3, C_AXE=0.5 /\n", 0.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    TaskRun run(velmo(std::string("WIN=1.0D6, NPAT=20000,20000, ") + c.tran, c.index) + c.other,
                kCommandsOnly);
    ASSERT_EQ(run.go(), 0) << run.screen.str();
    const auto v = entry_line(run);
    ASSERT_EQ(v.size(), 33u);
    EXPECT_NEAR(col(v, kXrms), c.x_rms, c.x_rms * rel + kPrint);
    EXPECT_EQ(col(v, kLive), 2 * (n + 1));
  }
}

}  // namespace
}  // namespace linac
