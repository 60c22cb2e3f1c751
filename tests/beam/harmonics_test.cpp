// Harmonic analysis of a ring of test particles: the Fourier coefficients
// of analytic speed modulations (a sawtooth and a sine), the normalised
// comparison in fort.787 and the tables and listings in log.dat.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "beam/harmonics.hpp"
#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::read_lines;
using testing::TempDir;

// Ideal sawtooth of unit amplitude: 0 at -pi, -1 at -0.8 pi, linear to +1
// at +0.8 pi, 0 again at +pi.
double sawtooth(double t) {
  const double a = 0.8 * kPi;
  if (t < -a) return -(t + kPi) / (0.2 * kPi);
  if (t < a) return t / a;
  return (kPi - t) / (0.2 * kPi);
}

double ring_phase(int k, int N) { return 2.0 * kPi * (k - 1) / N - kPi; }

// Fourier sine coefficients of the sawtooth in u = t + pi:
// b(n) = (-1)^n 12.5 sin(0.8 n pi) / (pi^2 n^2); all cosine terms vanish.
double sawtooth_b(int n) {
  return (n % 2 ? -1.0 : 1.0) * 12.5 * std::sin(0.8 * n * kPi) / (kPi * kPi * n * n);
}

// A run context with log.dat open and nq states of npat beam particles,
// each followed by a ring of N test particles whose speeds are speed(t).
struct RingRun {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  RingRun(int nq, int N, const std::function<double(int iq, double t)>& speed, int npat = 20) {
    Sim& s = *sim;
    set_start_values(s);
    s.units.set_directory(dir.path());
    s.units.open(kUnitLog, "log.dat");
    s.config.NQTOT = nq;
    for (int iq = 1; iq <= nq; ++iq) {
      s.config.NPAT[iq] = npat;
      s.config.QQ[iq] = iq;
      s.npat.ntest[iq] = N;
      for (int i = 0; i <= npat; ++i) s.particles.phase[iq][i] = 0.01 * i + iq;
      for (int k = 1; k <= N; ++k) {
        s.particles.beta[iq][npat + k] = speed(iq, ring_phase(k, N));
        s.particles.phase[iq][npat + k] = -0.5 * k - iq;
      }
    }
  }
  std::vector<std::string> lines_of(const std::string& name) {
    sim->units.close_all();
    return read_lines(dir / name);
  }
};

double field(const std::string& line, std::size_t from, std::size_t width = 15) {
  return std::stod(line.substr(from, width));
}

TEST(HarmonicFit, SawtoothGivesItsAmplitudeAndFourierSeries) {
  constexpr int N = 1000;
  const double beta0 = 0.05, d = 1e-3;
  std::vector<double> s(N);
  for (int k = 1; k <= N; ++k) s[k - 1] = beta0 + d * sawtooth(ring_phase(k, N));
  auto sim = make_sim();
  const HarmonicFit f = fit_harmonics(*sim, s);
  EXPECT_NEAR(f.dbeta, d, 1e-15);
  EXPECT_EQ(f.beta0, beta0);
  const double published[] = {0.0, -0.744439, -0.301132, -0.133836, -0.046527};
  for (int n = 0; n <= 4; ++n) {
    EXPECT_NEAR(f.a[n], 0.0, 1e-5) << n;
    if (n == 0) continue;
    EXPECT_NEAR(f.b[n], sawtooth_b(n), 1e-5) << n;
    EXPECT_NEAR(f.b[n], published[n], 1e-5) << n;
  }
  // The samples are left normalised: the sawtooth itself.
  for (int k = 1; k <= N; k += 37) EXPECT_NEAR(s[k - 1], sawtooth(ring_phase(k, N)), 1e-12) << k;
}

// beta0 + A sin t = beta0 - A sin u: the samples at -pi/2 and +pi/2 differ by
// 2A, so dbeta = 0.8 * 2A = 1.6 A and the normalised series is
// -(1/1.6) sin u.
TEST(HarmonicFit, SineGivesOneCoefficient) {
  for (int N : {9, 64, 1000}) {
    SCOPED_TRACE(N);
    const double beta0 = 0.1, A = 2e-3;
    std::vector<double> s(N);
    for (int k = 1; k <= N; ++k) s[k - 1] = beta0 + A * std::sin(ring_phase(k, N));
    auto sim = make_sim();
    const HarmonicFit f = fit_harmonics(*sim, s);
    if (N % 4 == 0) {
      EXPECT_NEAR(f.dbeta, 1.6 * A, 1e-15);
    }
    if (N != 1000) continue;
    EXPECT_NEAR(f.b[1], -0.625, 1e-12);
    for (int n = 0; n <= 4; ++n) {
      EXPECT_NEAR(f.a[n], 0.0, 1e-12) << n;
      if (n != 1) {
        EXPECT_NEAR(f.b[n], 0.0, 1e-12) << n;
      }
    }
  }
}

// The whole analysis of one state with a sawtooth ring: the coefficient
// table, fort.787 with its data column equal to its sawtooth column, and
// the three listings.
TEST(BeamHarmonics, SawtoothTablesSeriesAndListings) {
  constexpr int N = 1000;
  const double beta0 = 0.05, d = 1e-3;
  RingRun r(1, N, [&](int, double t) { return beta0 + d * sawtooth(t); });
  beam_harmonics(*r.sim, N, "lattice line 4 (prmtr mhb)");
  const auto log = r.lines_of("log.dat");
  ASSERT_EQ(log.size(), 10u + (N + 1) + N + N);
  EXPECT_EQ(log[0].substr(0, 8), "  dbeta=");
  EXPECT_NEAR(field(log[0], 8), d, 1e-8);
  EXPECT_EQ(log[1], "  beta0=    0.50000E-01");
  EXPECT_EQ(log[2], "    Q=    1.0");
  EXPECT_EQ(log[3], "");
  EXPECT_EQ(log[4], " n       a(n)           b(n)    ");
  for (int n = 0; n <= 4; ++n) {
    const std::string& row = log[5 + n];
    ASSERT_EQ(row.size(), 32u);
    EXPECT_EQ(std::stoi(row.substr(0, 2)), n);
    EXPECT_NEAR(field(row, 2), 0.0, 1e-5);
    if (n > 0) {
      EXPECT_NEAR(field(row, 17), sawtooth_b(n), 1e-5) << n;
    }
  }
  // Speed listing: t_k and the speed; one empty line closes it.
  EXPECT_NEAR(field(log[10], 0), -kPi, 5e-5);
  EXPECT_NEAR(field(log[10 + 250], 15), beta0 - d * 0.625, 1e-9);
  EXPECT_EQ(log[10 + N], "");
  // One state: two values to a line in the ring phase listing; the first
  // beam particles' listing carries the index in I4.
  EXPECT_EQ(log[11 + N].size(), 30u);
  EXPECT_NEAR(field(log[11 + N], 15), -1.5, 1e-12);
  EXPECT_EQ(log[11 + 2 * N].substr(0, 4), "   1");
  EXPECT_NEAR(field(log[11 + 2 * N], 19), 1.01, 1e-12);

  const auto series = r.lines_of("fort.787");
  ASSERT_EQ(series.size(), 2u * N);
  for (int k = 1; k <= N; ++k) {
    const std::string& norm = series[2 * (k - 1)];
    const std::string& raw = series[2 * (k - 1) + 1];
    ASSERT_EQ(norm.size(), 60u);
    // Five significant digits: values below 4 to 5e-5.
    EXPECT_NEAR(field(norm, 0), ring_phase(k, N), 5e-5);
    EXPECT_NEAR(field(norm, 30), field(norm, 45), 1e-5) << k;  // data = sawtooth
    EXPECT_NEAR(field(raw, 30), sawtooth(ring_phase(k, N)), 1e-5) << k;
    // The five-term series follows the sawtooth to within its first
    // omitted term and the Gibbs overshoot at the corners.
    EXPECT_NEAR(field(raw, 15), sawtooth(ring_phase(k, N)), 0.35) << k;
  }
}

// More than four states: the first beam particles' listing continues the
// fifth and sixth state on a line indented by four columns.
TEST(BeamHarmonics, ManyStatesContinueTheLastListing) {
  constexpr int N = 12;
  RingRun r(6, N, [](int iq, double t) { return 0.05 + 1e-4 * iq * std::sin(t); });
  beam_harmonics(*r.sim, N, "lattice line 4 (prmtr mhb)");
  const auto log = r.lines_of("log.dat");
  const std::size_t tables = 6 * 10, speeds = 6 * (N + 1), phases = 2 * N;
  ASSERT_EQ(log.size(), tables + speeds + phases + 2 * N);
  const std::string& first = log[tables + speeds + phases];
  const std::string& more = log[tables + speeds + phases + 1];
  EXPECT_EQ(first.size(), 4u + 5 * 15);
  EXPECT_EQ(first.substr(0, 4), "   1");
  EXPECT_NEAR(field(first, 4), -kPi, 5e-5);
  EXPECT_NEAR(field(first, 19 + 3 * 15), 4.01, 1e-12);  // state 4, slot 1
  EXPECT_EQ(more.size(), 4u + 2 * 15);
  EXPECT_EQ(more.substr(0, 4), "    ");
  EXPECT_NEAR(field(more, 4), 5.01, 1e-12);
  EXPECT_NEAR(field(more, 19), 6.01, 1e-12);
  // The ring phase listing: t_k and six values over two lines of 5E15.5.
  EXPECT_EQ(log[tables + speeds].size(), 75u);
  EXPECT_EQ(log[tables + speeds + 1].size(), 30u);
}

// Flat speeds cannot be normalised: the state gets its line in log.dat and
// no series; being the last state, fort.787 is not written.
TEST(BeamHarmonics, FlatSpeedsWriteNoSeries) {
  constexpr int N = 16;
  RingRun r(2, N, [](int iq, double t) { return iq == 1 ? 0.05 + 1e-4 * std::sin(t) : 0.05; });
  beam_harmonics(*r.sim, N, "lattice line 4 (prmtr mhb)");
  const auto log = r.lines_of("log.dat");
  EXPECT_EQ(log[10], "  dbeta=    0.00000E+00");
  EXPECT_EQ(log[12], " Q=    2.0: the test particles show no speed modulation (dbeta = 0); no harmonic series");
  EXPECT_EQ(log[13].size(), 30u);  // the speed listing follows
  EXPECT_FALSE(std::filesystem::exists(r.dir / "fort.787"));
}

}  // namespace
}  // namespace linac
