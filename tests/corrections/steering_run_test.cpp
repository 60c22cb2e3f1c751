// Whole error studies with corrections: the orbit of a misaligned matrix
// quadrupole steered by one corrector per plane against the analytic
// transfer matrices, the monitor files, repeated fits of the first seed,
// and the inputs that stop a study.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "beam/beam_state.hpp"
#include "control/input_fixture.hpp"
#include "corrections/minimiser.hpp"
#include "numerics/random.hpp"
#include "platform/unformatted.hpp"
#include "test_support.hpp"
#include "vrand_fixture.hpp"
#include "beam/matrix6.hpp"
#include "transport/lens_matrices.hpp"

namespace linac {
namespace {

using testing::TaskRun;

std::string velmo(const std::string& index, const std::string& correct, const std::string& tran = "") {
  return "&TRAN QDESIGN=1, ADESIGN=1, WIN=1.0D6, FREQB=1.0D8, NQTOT=1, QQ=1, AMASS=1, NPAT=400,\n"
         "      EPSNX=0.1, ALPHX=0, BETX=100, EPSNY=0.1, ALPHY=0, BETY=100,\n"
         "      EPSNZ=1, ALPHZ=0, BETZ=100, " +
         tran + " /\n&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1, IFLAG_CORR=1, NRZ_MIN=1, " + index +
         " /\n&CORRECT " + correct + " /\n";
}

// Corrector (limits 5 mrad, trial kicks 0.5 mrad), drift, quadrupole by
// matrix (pole tip 288.0255 G at 2 cm, 10 cm long: k^2 = 1e-3 / cm^2 for
// 1 MeV protons), drift, monitor (no error, weight 0.01 cm), between a pair
// of cdump lines; the quadrupole type may be offset by up to 0.2 cm.
const std::string kLattice =
    "1 align quad 0.2 0.0 0\n"
    "1 cdump\n"
    "1 corr 0 5 5 0 1 1 0.5 0.5\n"
    "1 drift 50 10 10\n"
    "-1 quad 288.0255 10 10 2.0\n"
    "1 drift 50 10 10\n"
    "1 mon 0 0 0 0.01 0.01\n"
    "1 cdump\n"
    "1 drift 10 10 10\n"
    "stop\n";
constexpr int kLines = 9;
constexpr int kQuadLine = 5;
constexpr int kMonLine = 7;

// vrand_001.dat: every line without error except the quadrupole, offset
// by +amp in x and -amp in y.
void write_offsets(const TaskRun& run) {
  testing::write_seed1_deviates(run, kLines, [](int n, int k) {
    return n == kQuadLine && k == 1 ? 0.0 : n == kQuadLine && k == 2 ? 1.0 : -1.0;
  });
}

std::vector<double> last_strengths(const TaskRun& run) {
  const auto lines = run.lines_of("co_monitor.dat");
  std::vector<double> v;
  std::istringstream in(lines.back());
  for (double x; in >> x;) v.push_back(x);
  return v;
}

TEST(SteeringRun, OneCorrectorPerPlaneCancelsTheOffsetQuadrupoleOrbit) {
  TaskRun run(velmo("NRZ=1", "MONERR=1, PARTEQ=0, PARTCORR=1, IFLAG_VRAND=-1"), kLattice);
  write_offsets(run);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  Sim& sim = *run.sim;

  // co_monitor.dat: seed 1, section 1 (the align line, nothing steered),
  // section 2 and its two strengths (mrad).
  const auto co = run.lines_of("co_monitor.dat");
  ASSERT_EQ(co.size(), 4u);
  const std::vector<double> theta = last_strengths(run);
  ASSERT_EQ(theta.size(), 2u);

  // Slot 0 starts on the centroid of the entrance beam (ini_dis.dat).
  State(sim, "ini_dis.dat", "read");
  double c[5] = {};
  const int np = sim.config.NPAT[1];
  double w = 0.0;
  for (int i = 1; i <= np; ++i) {
    c[1] += sim.particles.x[1][i];
    c[2] += sim.particles.xp[1][i];
    c[3] += sim.particles.y[1][i];
    c[4] += sim.particles.yp[1][i];
    const double b = sim.particles.beta[1][i];
    w += (1.0 / std::sqrt(1.0 - b * b) - 1.0) * sim.ref.amu_kev;
  }
  for (double& v : c) v /= np;
  w /= np;
  const double gamma = w / sim.ref.amu_kev + 1.0;
  const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
  const LensDesign design = lens_design(sim.ref);
  const Matrix6 D = drift_matrix(50.0, design);
  const Matrix6 Q = quad_matrix(1.0, 288.0255e-4 / 2.0, 10.0, 10.0, beta, design);
  const double delta[5] = {0.0, 0.2, 0.0, -0.2, 0.0};
  for (int plane = 0; plane < 2; ++plane) {
    const int a = 1 + 2 * plane, b = a + 1;
    auto R = [&](const Matrix6& m, int i, int j) { return m(a + i, a + j); };
    // Whole section D Q D and the quadrupole's own offset term D (I - Q) delta.
    double T[2][2] = {}, DQ[2][2] = {};
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j)
        for (int k = 0; k < 2; ++k) DQ[i][j] += R(D, i, k) * R(Q, k, j);
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j)
        for (int k = 0; k < 2; ++k) T[i][j] += DQ[i][k] * R(D, k, j);
    // D (I - Q) (delta, 0): row 1 = D11 (delta - Q11 delta) + D12 (-Q21 delta).
    const double dq = R(D, 0, 0) * (delta[a] - R(Q, 0, 0) * delta[a]) + R(D, 0, 1) * (-R(Q, 1, 0) * delta[a]);
    const double x_mon = T[0][0] * c[a] + T[0][1] * c[b] + dq;
    const double r12 = T[0][1] / 1000.0;  // cm per mrad
    // The fit leaves x_mon + R12 theta = 0 up to its EDM goal: a residual
    // r with (r / w)^2 <= 2e-8, w = 0.01 cm.
    EXPECT_LE(std::abs(x_mon + r12 * theta[static_cast<std::size_t>(plane)]), 1.5e-4 * 0.01) << plane;
    EXPECT_GT(std::abs(x_mon), 1e-3) << "the offset must move the orbit";
    // The final pass of the seed: the centroid of the whole beam at the
    // monitor, carried by the real elements with the kicks set.
    const double xc = plane == 0 ? sim.stats.element_stats[kMonLine].xc : sim.stats.element_stats[kMonLine].yc;
    EXPECT_LE(std::abs(xc), 1.5e-4 * 0.01 + 1e-6) << plane;
  }
}

// Two correctors, three monitors (the last with a virtual monitor 15 cm
// further on) around two thin quadrupoles of focal length 100 cm (Lf =
// 1 cm); the first quadrupole can be offset by 0.05 cm in x.
const std::string kResponseLattice =
    "1 align quad 0.05 0.0 0\n"
    "1 cdump\n"
    "1 corr 0 5 5 0 1 1 0.5 0.5\n"  // 3
    "1 drift 30 5 5\n"
    "-1 quad 2880.255 1 1 2.0\n"  // 5
    "1 drift 30 5 5\n"
    "1 mon 0 0 0 0.01 0.01\n"  // 7
    "1 corr 0 5 5 0 1 1 0.5 0.5\n"  // 8
    "1 drift 30 5 5\n"
    "-1 quad -2880.255 1 1 2.0\n"  // 10
    "1 drift 30 5 5\n"
    "1 mon 0 0 0 0.01 0.01\n"  // 12
    "1 drift 20 5 5\n"
    "1 mon 15 0 0 0.01 0.01\n"  // 14
    "1 cdump\n"
    "1 drift 10 5 5\n"
    "stop\n";

TEST(SteeringRun, ResponsesAreTheTransferMatrixPerMradWhateverTheErrors) {
  std::vector<CorrStudy> tables(2);  // large: on the heap
  double first_reading[2] = {};
  for (int offset = 0; offset < 2; ++offset) {
    TaskRun run(velmo("NRZ=1", "MONERR=1, PARTEQ=0, PARTCORR=1, IFLAG_VRAND=-1"), kResponseLattice);
    testing::write_seed1_deviates(run, 16, [&](int n, int k) { return offset == 1 && n == 5 && k == 1 ? 0.0 : -1.0; });
    ASSERT_EQ(run.go(), 0) << run.screen.str();
    const Sim& sim = *run.sim;
    const CorrStudy& cs = sim.corr_study;
    tables[offset] = cs;
    first_reading[offset] = cs.mon_read0[1][1][1];
    ASSERT_EQ(cs.n_x, 2);
    ASSERT_EQ(cs.n_y, 2);
    ASSERT_EQ(cs.n_mon, 3);
    ASSERT_EQ(cs.n_eq, 8);
    // Matrices of the elements at the energy of the test particles.
    const double w = cs.stored_centroids[1][6];
    const double gamma = w / sim.ref.amu_kev + 1.0;
    const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    const LensDesign design = lens_design(sim.ref);
    const Matrix6 D30 = drift_matrix(30.0, design), D20 = drift_matrix(20.0, design);
    const Matrix6 QF = quad_matrix(1.0, 0.2880255 / 2.0, 1.0, 1.0, beta, design);
    const Matrix6 QD = quad_matrix(1.0, -0.2880255 / 2.0, 1.0, 1.0, beta, design);
    auto multiply = [](const Matrix6& a, const Matrix6& b) {
      Matrix6 p;
      matmul6(a, b, p);
      return p;
    };
    auto chain = [&](std::initializer_list<const Matrix6*> ms) {
      Matrix6 r;
      unit_matrix6(r);
      for (const Matrix6* m : ms) r = multiply(*m, r);
      return r;
    };
    const Matrix6 c1m1 = chain({&D30, &QF, &D30});
    const Matrix6 c2m2 = chain({&D30, &QD, &D30});
    const Matrix6 c1m2 = multiply(c2m2, c1m1);
    const Matrix6 c1m3 = multiply(D20, c1m2), c2m3 = multiply(D20, c2m2);
    struct Want {
      int m, t;            // monitor, corrector (1, 2 horizontal; 3, 4 vertical)
      const Matrix6* R;    // corrector to monitor; null: downstream corrector
    };
    const Want want[] = {{1, 1, &c1m1}, {1, 2, nullptr}, {2, 1, &c1m2}, {2, 2, &c2m2}, {3, 1, &c1m3}, {3, 2, &c2m3},
                         {1, 3, &c1m1}, {1, 4, nullptr}, {2, 3, &c1m2}, {2, 4, &c2m2}, {3, 3, &c1m3}, {3, 4, &c2m3}};
    for (const Want& e : want) {
      const auto& r = cs.mon_read_t[1][e.m][e.t];
      const double lim = cs.corr_limit[2][e.t];
      const bool vertical = e.t > 2;
      const int a = vertical ? 3 : 1;
      const double r12 = e.R ? (*e.R)(a, a + 1) / 1000.0 : 0.0, r22 = e.R ? (*e.R)(a + 1, a + 1) / 1000.0 : 0.0;
      EXPECT_NEAR(r[a] / lim, r12, 1e-10) << "monitor " << e.m << " corrector " << e.t;
      EXPECT_NEAR(r[a + 1] / lim, r22, 1e-13) << "monitor " << e.m << " corrector " << e.t;
      // The other plane does not move.
      EXPECT_EQ(r[vertical ? 1 : 3], 0.0) << "monitor " << e.m << " corrector " << e.t;
      EXPECT_EQ(r[vertical ? 2 : 4], 0.0) << "monitor " << e.m << " corrector " << e.t;
    }
    // The virtual row of monitor 3: R12 + D R22 with D = 15 cm.
    const int virtual_row = 4;
    EXPECT_NEAR(cs.resp[virtual_row][1] / cs.corr_limit[2][1], (c1m3(1, 2) + 15.0 * c1m3(2, 2)) / 1000.0, 1e-10);
    // Thin-lens estimate L1 + L2 - L1 L2 / f, with L1 = L2 = 30.5 cm to the
    // quadrupole centre, good to the order of Lf / f = 1 %.
    EXPECT_NEAR(c1m1(1, 2), 61.0 - 30.5 * 30.5 / 100.0, 0.01 * 61.0);
  }
  // The offset moves the orbit but no response.
  EXPECT_GT(std::abs(first_reading[1] - first_reading[0]), 1e-3);
  for (int m = 1; m <= 3; ++m)
    for (int t = 1; t <= 4; ++t)
      for (int c = 1; c <= 4; ++c)
        EXPECT_NEAR(tables[1].mon_read_t[1][m][t][c], tables[0].mon_read_t[1][m][t][c], 1e-10) << m << t << c;
}

TEST(SteeringRun, FirstSeedRepeatsTheFitWithFreshMonitorErrors) {
  // Monitor errors 0.002 cm in both planes; three fits in the first seed,
  // one in the second.
  std::string lattice = kLattice;
  lattice.replace(lattice.find("1 mon 0 0 0 0.01 0.01"), 21, "1 mon 0 0.002 0.002 0.01 0.01");
  TaskRun run(velmo("NRZ=2", "MONERR=3, PARTEQ=0, PARTCORR=1, IFLAG_VRAND=0"), lattice);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const CorrStudy& cs = run.sim->corr_study;
  // The data of the last fit: within the error of the noise-free values,
  // and not equal to them.
  for (int j = 1; j <= cs.n_eq; ++j) {
    const double e = (cs.rhs[j] - cs.read_meas[j]) / cs.eq_err[j];
    EXPECT_LT(std::abs(e), 1.0) << j;
    EXPECT_GT(std::abs(e), 0.0) << j;
  }
  // bp_monitor.dat: the first seed's report of the section (three fits,
  // strengths spread over them) and the strengths of its third fit, which
  // co_monitor.dat holds and the corrector line keeps until the full pass.
  const auto bp = run.lines_of("bp_monitor.dat");
  const auto co = run.lines_of("co_monitor.dat");
  ASSERT_EQ(co.size(), 8u);  // per seed: seed, section 1, section 2, strengths
  std::istringstream first(co[3]);
  double x = 0.0, y = 0.0;
  first >> x >> y;
  std::vector<double> reported;
  for (std::size_t i = 0; i < bp.size(); ++i)
    if (bp[i].find("    CorrLim[mrad]    CorrStr[mrad]") != std::string::npos)
      for (std::size_t k = i + 1; k <= i + 2 && k < bp.size(); ++k) reported.push_back(std::stod(bp[k].substr(29)));
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_NEAR(reported[0], x, 5e-5);
  EXPECT_NEAR(reported[1], y, 5e-5);
  bool spread = false;
  for (std::size_t i = 0; i < bp.size(); ++i)
    if (bp[i].find("rmsCorrErr,mrad") != std::string::npos) spread = std::stod(bp[i + 1].substr(26, 17)) > 0.0;
  EXPECT_TRUE(spread) << "three fits with fresh monitor errors give different strengths";
}

TEST(SteeringRun, MatrixSectionInsideASteeredSectionStaysPassive) {
  // An updat and a matrx line around the quadrupole: their test particles
  // would take the trial particles' slots; during the correction passes
  // they only keep their place.
  std::string lattice = kLattice;
  lattice.insert(lattice.find("-1 quad"), "1 updat 0.1 1.0 0.1 1.0 1.0 0.1\n");
  lattice.insert(lattice.find("1 drift 50 10 10\n1 mon"), "1 matrx\n");
  TaskRun run(velmo("NRZ=2", "MONERR=1, PARTEQ=0, PARTCORR=1, IFLAG_VRAND=0"), lattice);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  // matrix.dat: one section listing per pass over the lattice (the nominal
  // pass and the two seeds' full passes), none from the correction passes.
  int listings = 0;
  for (const auto& l : run.lines_of("matrix.dat")) listings += l.find("Length of the section") != std::string::npos;
  EXPECT_EQ(listings, 3);
  // The steering still measured responses and set the kicks.
  const CorrStudy& cs = run.sim->corr_study;
  EXPECT_NE(cs.mon_read_t[1][1][1][1], 0.0);
  EXPECT_NE(cs.mon_read_t[1][1][2][3], 0.0);
  EXPECT_EQ(run.lines_of("co_monitor.dat").size(), 8u);
}

// The section of kLattice with `inside` added before its monitor.
std::string lattice_with(const std::string& inside);

TEST(SteeringRun, SectionWithAStripLineIsSteered) {
  // A strip line (halo mode: no action on the beam) skips the longitudinal
  // step of its section; the weights of the charge states are still taken
  // at the section start, so the responses are those of the optics. The
  // section is the lattice's first: no earlier step has taken the weights.
  std::string lattice = lattice_with("1 strip 1 2 3 4\n");
  lattice.erase(0, lattice.find('\n') + 1);  // no align line
  TaskRun run(velmo("NRZ=1, IFLAG_HALO=1", "MONERR=1, PARTEQ=0, PARTCORR=1, IFLAG_VRAND=-1"), lattice);
  testing::write_seed1_deviates(run, kLines, [](int, int) { return -1.0; });
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  const CorrStudy& cs = run.sim->corr_study;
  EXPECT_EQ(cs.q_weight[1], 1.0);
  // R12 of D Q D times the 5 mrad limit: about 0.4 cm in x, 0.6 cm in y.
  EXPECT_GT(std::abs(cs.mon_read_t[1][1][1][1]), 0.1);
  EXPECT_GT(std::abs(cs.mon_read_t[1][1][2][3]), 0.1);
  EXPECT_EQ(run.lines_of("co_monitor.dat").size(), 3u);  // seed, section 1, strengths
}

std::string lattice_with(const std::string& inside) {
  std::string l = kLattice;
  l.insert(l.find("1 mon"), inside);
  return l;
}

TEST(SteeringRun, InputsThatStopTheStudy) {
  std::string thirteen_monitors;
  for (int i = 0; i < 13; ++i) thirteen_monitors += "1 mon 0 0 0 0.01 0.01\n";
  struct Case {
    const char* name;
    std::string velmo;
    std::string lattice;
    std::string message;  // a line of the screen
  };
  const std::string ok = "MONERR=1, PARTEQ=0, PARTCORR=1";
  const std::vector<Case> cases = {
      {"horizontal trial kick 0", velmo("NRZ=2", ok), [] {
         std::string l = kLattice;
         l.replace(l.find("1 corr 0 5 5 0 1 1 0.5 0.5"), 26, "1 corr 0 5 5 0 1 1 0 0.5");
         return l;
       }(),
       " element 3 (corr): the horizontal corrector has trial kick 0 mrad (P6 of the line); the steering "
       "measurement needs a non-zero trial kick"},
      {"zero line with a number in a steered section", velmo("NRZ=2", ok), lattice_with("1 zero 0.1 0.1\n"),
       " \"zero\" device and \"real\" correction are incompatible"},
      {"test particles beyond A_LIM times the aperture", velmo("NRZ=2", ok, "A_LIM=1e-4"), kLattice,
       " invalid displacement of the test particles "},
      {"phcor mode 3", velmo("NRZ=2", ok), lattice_with("1 phcor 3 0 1 1\n"), " element PHCOR#   7         is bad"},
      {"26 monitor equations", velmo("NRZ=2", ok), lattice_with(thirteen_monitors),
       " correction section 2: 26 monitor equations; a section holds at most 25"},
      {"PARTEQ below 0", velmo("NRZ=2", "MONERR=1, PARTEQ=-0.1"), kLattice, "PARTEQ"},
      {"PARTEQ above 1", velmo("NRZ=2", "MONERR=1, PARTEQ=1.5"), kLattice, "PARTEQ"},
      {"PARTCORR 0", velmo("NRZ=2", "MONERR=1, PARTEQ=0, PARTCORR=0"), kLattice, "PARTCORR"},
  };
  for (const auto& c : cases) {
    TaskRun run(c.velmo, c.lattice);
    EXPECT_NE(run.go(), 0) << c.name;
    const std::string screen = run.screen.str();
    EXPECT_NE(screen.find(c.message), std::string::npos) << c.name << "\n" << screen;
    // The study stops before the first seed's strengths are written: at
    // most its seed and section records.
    const auto co = run.lines_of("co_monitor.dat");
    EXPECT_LE(co.size(), 3u) << c.name;
  }
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

std::string blanks(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

// A list-directed record holds one blank, then each integer in 11 columns
// and each 64-bit real in the form 1PG25.17E3 (in fixed form 20 columns
// and 5 blanks in place of the exponent), separated by one blank.
TEST(SteeringRun, NoFitWithMonerrZero) {
  TaskRun run(velmo("NRZ=1", "MONERR=0, PARTEQ=0, PARTCORR=1, IFLAG_VRAND=-1"), kLattice);
  write_offsets(run);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  // Seed 1, section 1 (the align line), section 2 and the two strengths of
  // a section that made no fit: 0.
  const std::string one = blanks(11) + "1";
  const std::string zero = blanks(2) + "0.0000000000000000" + blanks(5);
  EXPECT_EQ(run.lines_of("co_monitor.dat"),
            (std::vector<std::string>{one, one, blanks(11) + "2", " " + zero + " " + zero}));
  // The kicks stay as the measurement passes left them.
  const auto& corr = run.sim->elements.elem_par[3];
  EXPECT_EQ(corr[8], 0.0);
  EXPECT_EQ(corr[9], 0.0);
  // out_wq.dat and out_phq.dat: per section the header, the first 112
  // characters of its 114-character text, one line per element; then the
  // seed record.
  const std::string wq_head =
      " name         dist[m]    dW(Q1)/W ,%    dW(Q2)/W ,%    dW(Q3)/W ,%    dW(Q4)/W ,%    dW(Q5)/W ,%     dWavr/W ,% ";
  const std::string phq_head =
      " name         dist[m]     PH(Q1),deg     PH(Q2),deg     PH(Q3),deg     PH(Q4),deg     PH(Q5),deg      PHavr,deg ";
  for (const auto& [file, head] : {std::pair{"out_wq.dat", wq_head}, std::pair{"out_phq.dat", phq_head}}) {
    const auto l = run.lines_of(file);
    ASSERT_EQ(l.size(), 1u + 1u + 1u + 7u + 1u) << file;  // header, align, header, lines 2..8, seed
    EXPECT_EQ(l[0], head) << file;
    EXPECT_EQ(l[2], head) << file;
    EXPECT_EQ(l[1].substr(0, 21), " align" + blanks(10) + "0.000") << file;
    EXPECT_EQ(l[9].substr(0, 21), " cdump" + blanks(10) + "1.100") << file;  // 110 cm of drifts and quad
    EXPECT_EQ(l[10], "  correction is done for seed No." + blanks(11) + "1") << file;
  }
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

// The three fits of the first seed replayed from a copy of the random
// stream: each fit's monitor errors drawn in the order of the steering
// step (per row the reading, then the response of every corrector before
// the monitor), the same bounded problem handed to the minimiser. The
// recorded data of the last fit, its strengths in co_monitor.dat and the
// spread of the three in bp_monitor.dat must come out exactly.
TEST(SteeringRun, RepeatedFitsReplayFromTheRandomStream) {
  std::string lattice = kLattice;
  lattice.replace(lattice.find("1 mon 0 0 0 0.01 0.01"), 21, "1 mon 0 0.002 0.002 0.01 0.01");
  TaskRun run(velmo("NRZ=1", "MONERR=3, PARTEQ=0, PARTCORR=1, IFLAG_VRAND=-1"), lattice);
  write_offsets(run);
  ASSERT_EQ(run.go(), 0) << run.screen.str();
  Sim& sim = *run.sim;
  const CorrStudy& cs = sim.corr_study;
  const int n = 2;
  ASSERT_EQ(cs.n_x + cs.n_y, n);
  ASSERT_EQ(cs.n_eq, 2);
  const double kick = 0.5;  // trial kick of both planes, mrad

  // The fits are the last draws of the run (the vrand file holds the
  // errors; the full pass draws nothing): step the multiplicative
  // congruential stream back over them with the inverse multiplier.
  int per_fit = 0;
  for (int j = 1; j <= cs.n_eq; ++j) {
    per_fit += 1;
    for (int t = 1; t <= n; ++t) per_fit += cs.corr_elem[t] < cs.eq_elem[j];
  }
  RnState& rn = sim.numerics.rn;
  ASSERT_EQ(rn.option, 1);
  constexpr std::int64_t kInverse = 1407677000;  // 16807 * 1407677000 = 1 mod 2^31 - 1
  ASSERT_EQ(16807 * kInverse % kRnModulus, 1);
  std::int64_t x = rn.seed;
  for (int i = 0; i < 3 * per_fit; ++i) x = kInverse * x % kRnModulus;
  rn.seed = static_cast<std::int32_t>(x);
  rn.seed_copy = static_cast<double>(x);

  std::vector<std::vector<double>> strengths;
  double rhs[3] = {}, resp[3][3] = {};
  for (int rep = 1; rep <= 3; ++rep) {
    BoundedLsq p;
    p.n = n;
    p.m = cs.n_eq;
    p.step = static_cast<double>(0.1f);
    p.names = {" corrX #01", " corrY #01"};
    p.start.assign(n, 0.0);
    for (int j = 1; j <= cs.n_eq; ++j) {
      double u = 0.0;
      dRNUN(sim, 1, &u);
      rhs[j] = cs.read_meas[j] + (1.0 - 2.0 * u) * cs.eq_err[j];
      for (int t = 1; t <= n; ++t) {
        resp[j][t] = 0.0;
        if (cs.corr_elem[t] >= cs.eq_elem[j]) continue;
        dRNUN(sim, 1, &u);
        resp[j][t] = cs.resp_meas[j][t] + (1.0 - 2.0 * u) * cs.eq_err[j] / kick * cs.corr_limit[2][t];
      }
      for (int t = 1; t <= n; ++t) p.resp.push_back(resp[j][t]);
      p.rhs.push_back(rhs[j]);
      p.weight.push_back(cs.eq_weight[j]);
    }
    const FitResult r = migrad_fit(p);
    strengths.push_back({r.x[0] * cs.corr_limit[2][1], r.x[1] * cs.corr_limit[2][2]});
  }
  for (int j = 1; j <= cs.n_eq; ++j) {
    EXPECT_EQ(cs.rhs[j], rhs[j]) << j;
    for (int t = 1; t <= n; ++t) EXPECT_EQ(cs.resp[j][t], resp[j][t]) << j << " " << t;
  }
  // The strengths of the third fit: kept in the table and written with 17
  // significant digits, which give the double back.
  const std::string line = run.lines_of("co_monitor.dat").back();
  ASSERT_EQ(line.size(), 1u + 25u + 1u + 25u) << line;
  for (int t = 1; t <= n; ++t) {
    EXPECT_EQ(cs.corr_value[t], strengths[2][t - 1]) << t;
    EXPECT_EQ(std::stod(line.substr(1 + 26 * static_cast<std::size_t>(t - 1), 25)), strengths[2][t - 1]) << t;
  }
  // The first fits differ from the third: fresh errors each time.
  EXPECT_NE(strengths[0][0], strengths[2][0]);
  // The report's rms over the three fits (F17.6) and the third fit's
  // strengths (F17.4).
  const auto bp = run.lines_of("bp_monitor.dat");
  std::vector<double> rms_printed, str_printed;
  for (std::size_t i = 0; i + 2 < bp.size(); ++i) {
    if (bp[i].find("rmsCorrErr,mrad") != std::string::npos)
      for (std::size_t k = 1; k <= 2; ++k) rms_printed.push_back(std::stod(bp[i + k].substr(26, 17)));
    if (bp[i].find("CorrStr[mrad]") != std::string::npos)
      for (std::size_t k = 1; k <= 2; ++k) str_printed.push_back(std::stod(bp[i + k].substr(29, 17)));
  }
  ASSERT_EQ(rms_printed.size(), 2u);
  ASSERT_EQ(str_printed.size(), 2u);
  for (int t = 0; t < n; ++t) {
    double s = 0.0, s2 = 0.0;
    for (const auto& v : strengths) {
      s += v[t];
      s2 += v[t] * v[t];
    }
    const double rms = std::sqrt(std::max(0.0, (s2 - s * s / 3.0) / 2.0));
    EXPECT_NEAR(rms_printed[t], rms, 5.1e-7) << t;
    EXPECT_NEAR(str_printed[t], strengths[2][t], 5.1e-5) << t;
  }
}

}  // namespace
}  // namespace linac

namespace linac {
namespace {

// A measurement pass without beam particles (PARTEQ = 0) pushes only the
// central and trial particles, which carry no charge: the beam current
// must not change a reading. With the beam in the pass (PARTEQ = 1) its
// space charge acts on the trial particles.
TEST(SteeringRun, MeasurementWithoutBeamParticlesHasNoSpaceCharge) {
  auto readings = [](const std::string& parteq, const std::string& current) {
    // A coarse grid: the case needs the presence of space charge, not its
    // accuracy.
    TaskRun run(velmo("NRZ=1, NXGRD=8, NYGRD=8, NZGRD=8", "MONERR=1, PARTEQ=" + parteq + ", PARTCORR=1, IFLAG_VRAND=-1",
                      "CURRENT=" + current),
                kLattice);
    write_offsets(run);
    EXPECT_EQ(run.go(), 0) << run.screen.str();
    const CorrStudy& cs = run.sim->corr_study;
    std::vector<double> v;
    for (int c = 1; c <= 4; ++c) {
      v.push_back(cs.mon_read0[1][1][c]);
      for (int t = 1; t <= 2; ++t) v.push_back(cs.mon_read_t[1][1][t][c]);
    }
    return v;
  };
  EXPECT_EQ(readings("0", "50.0"), readings("0", "0.0"));
  const auto with = readings("1", "50.0"), without = readings("1", "0.0");
  double most = 0.0;
  for (std::size_t i = 0; i < with.size(); ++i) most = std::max(most, std::abs(with[i] - without[i]));
  EXPECT_GT(most, 1e-6) << "the beam's space charge should reach the trial particles";
}

}  // namespace
}  // namespace linac
