// The charge stripper: the foil's charge draws, energy loss, straggling and
// scattering, the rebuilt charge states, the stripper file and its cache,
// the draw order on the run's one stream, and the refusals of bad input.
// Statistical checks use a fixed seed and tolerances c / sqrt(N) with
// c = 4; the beam is monoenergetic with zero slopes so that every foil
// effect shows particle by particle (see tests/cases/stripper_foil/README).
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "beam/out_tables.hpp"
#include "cases/case_harness.hpp"
#include "run/sim.hpp"
#include "control/dispatcher.hpp"
#include "elements/stripper.hpp"
#include "numerics/deviates.hpp"
#include "numerics/random.hpp"

namespace linac {
namespace {

using testing::CaseRun;

constexpr std::int32_t kSeed = 1234567;  // the fixed seed of every statistical check
constexpr double kC = 4.0;               // statistical tolerance c / sqrt(N)

struct Foil {
  std::vector<double> Q, P;
  double W_s;  // keV/u
};

std::string foil_text(const Foil& f) {
  std::string s = fmt::format(" {}\n", f.Q.size());
  for (double q : f.Q) s += fmt::format(" {}", q);
  s += "\n";
  for (double p : f.P) s += fmt::format(" {}", p);
  s += "\n";
  for (std::size_t k = 0; k < f.Q.size(); ++k) s += " 0.0";
  return s + fmt::format("\n {}\n", f.W_s);
}

// Kinetic energy per nucleon (keV/u) of velocity beta.
double energy_of(const Sim& sim, double beta) {
  return (1.0 / std::sqrt(1.0 - beta * beta) - 1.0) * sim.ref.amu_kev;
}

// The case directory with its velmo.dat, a lattice, and the beam placed
// by the test: slot i of old state iq carries the label x = 1e4 iq + i
// (cm), y = -x and phase 1e-6 i, zero slopes and the design energy.
class Foils {
 public:
  explicit Foils(const std::string& lattice = {}) {
    if (!lattice.empty()) testing::write_file(run.dir / "sclinac.dat", lattice);
    run.read_inputs();
    rn_set_seed(sim(), kSeed);
  }
  Sim& sim() { return *run.sim; }

  void write(std::int32_t m, const std::string& text) {
    testing::write_file(run.dir / fmt::format("stripper.#{:02d}", m), text);
  }
  void write(std::int32_t m, const Foil& f) { write(m, foil_text(f)); }

  // Model number m and thickness spread T (fraction) of line n.
  void set_line(int n, std::int32_t m, double T) {
    sim().elements.elem_int[n][kElemN] = m;
    sim().elements.elem_par[n][4] = T;
  }

  // Old states of the given slot counts; every `lost_every`-th slot after
  // slot 0 is lost (0: none).
  void beam(const std::vector<int>& slots, int lost_every = 0) {
    Sim& s = sim();
    const double gamma = s.ref.w0 / s.ref.amu_kev + 1.0;
    const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    s.config.NQTOT = static_cast<std::int32_t>(slots.size());
    ParticleArrays& p = s.particles;
    for (int iq = 1; iq <= s.config.NQTOT; ++iq) {
      const int count = slots[static_cast<std::size_t>(iq - 1)];
      s.config.NPAT[iq] = s.config.npat0[iq] = count - 1;
      for (int i = 0; i < count; ++i) {
        p.x[iq][i] = 1e4 * iq + i;
        p.y[iq][i] = -p.x[iq][i];
        p.xp[iq][i] = p.yp[iq][i] = 0.0;
        p.phase[iq][i] = 1e-6 * i;
        p.beta[iq][i] = beta;
        p.z[iq][i] = 0.0;
        p.qa[iq][i] = s.config.QQ[iq] / s.config.AMASS[iq];
        p.status[iq][i] = (lost_every > 0 && i > 0 && i % lost_every == 0) ? kLost : kLive;
      }
    }
  }

  // Line n as the pass runs it: the previous position ends at w0.
  void run_line(std::int32_t n, std::int32_t ipass = 1, std::int32_t idraw = 0) {
    Sim& s = sim();
    s.state.ipass = ipass;
    s.state.idraw = idraw;
    s.state.ipos = n - 1;
    s.history.ref_W_out[n - 1] = s.ref.w0;
    dispatch_element(s, n);
  }

  // Energies (keV/u) of the live particles of all states, in (state, slot) order.
  std::vector<double> live_energies() {
    std::vector<double> W;
    const Sim& s = sim();
    for (int q = 1; q <= s.config.NQTOT; ++q)
      for (int j = 0; j <= s.config.NPAT[q]; ++j)
        if (s.particles.status[q][j] >= 0) W.push_back(energy_of(s, s.particles.beta[q][j]));
    return W;
  }

  CaseRun run{"cases/stripper_foil"};
};

double mean_of(const std::vector<double>& v) {
  double s = 0.0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}

// Value at quantile u of a sample (sorted copy, nearest rank).
double quantile(std::vector<double> v, double u) {
  const auto k = static_cast<std::size_t>(u * static_cast<double>(v.size() - 1) + 0.5);
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

// Upper 1e-4 points of the chi-square distribution for df = 1..16.
constexpr double kChi2Crit[17] = {0,      15.137, 18.421, 21.108, 23.513, 25.745,
                                  27.856, 29.878, 31.828, 33.720, 35.564, 37.367,
                                  39.134, 40.871, 42.579, 44.263, 45.925};

// Chi-square of observed counts against expected ones, with cells expected
// below 5 merged into their lower neighbour; returns {chi2, df}.
std::pair<double, int> chi_square(std::vector<double> obs, std::vector<double> expct) {
  for (std::size_t k = expct.size() - 1; k > 0; --k) {
    if (expct[k] < 5.0) {
      expct[k - 1] += expct[k];
      obs[k - 1] += obs[k];
      expct.erase(expct.begin() + static_cast<std::ptrdiff_t>(k));
      obs.erase(obs.begin() + static_cast<std::ptrdiff_t>(k));
    }
  }
  double chi2 = 0.0;
  for (std::size_t k = 0; k < obs.size(); ++k)
    chi2 += (obs[k] - expct[k]) * (obs[k] - expct[k]) / expct[k];
  return {chi2, static_cast<int>(obs.size()) - 1};
}

// Quantile u of the squared scattering angle at t = 0: the bin whose
// cumulative weight passes u, then the inverse of the truncated
// exponential inside it.
double scatter_quantile(std::int32_t m, double u) {
  const StripBinTable& bins = strip_bin_table(m);
  double total = 0.0;
  for (const StripBin& b : bins) total += b.weight0;
  double below = 0.0;
  for (const StripBin& b : bins) {
    if (u * total <= below + b.weight0) {
      const double v = (u * total - below) / b.weight0;  // fraction of the bin
      const double l = b.rate0;
      return b.lower - std::log(1.0 - v * (1.0 - std::exp(-l * (b.upper - b.lower)))) / l;
    }
    below += b.weight0;
  }
  return bins.back().upper;
}

// ------------------------------------------------------------ models

TEST(StripperModel, ThicknessLimitKeepsWeightsAndRatesValid) {
  // Largest T with every weight >= 0 and rate > 0 for |t| <= 2 T100.
  struct Case {
    std::int32_t m;
    double lo, hi;
  };
  for (const Case c : {Case{1, 0.2313, 0.2314}, Case{2, 0.2326, 0.2327}}) {
    SCOPED_TRACE(c.m);
    const StripThicknessLimit lim = strip_thickness_limit(c.m);
    EXPECT_GE(lim.T, c.lo);
    EXPECT_LT(lim.T, c.hi);
    auto valid = [&](double t) {
      for (const StripBin& b : strip_bin_table(c.m))
        if (b.weight_slope * t + b.weight0 < -1e-15 || !(b.rate_slope * t + b.rate0 > 0.0))
          return false;
      return true;
    };
    for (double sign : {-1.0, 1.0}) {
      EXPECT_TRUE(valid(sign * 200.0 * lim.T));
    }
    EXPECT_FALSE(valid(200.0 * 1.001 * lim.T) && valid(-200.0 * 1.001 * lim.T));
  }
}

TEST(StripperModel, MedianOfModelOneLiesInTheFirstBin) {
  // At u = 1/2: 1 - exp(-lambda F) = 0.90474 (1 - exp(-0.1 lambda)),
  // lambda = 10.9774 1/mrad^2, so F = 0.08413 mrad^2.
  const double lambda = 10.9774;
  const double F = -std::log(1.0 - 0.90474 * (1.0 - std::exp(-0.1 * lambda))) / lambda;
  EXPECT_NEAR(F, 0.08413, 1e-5);
  EXPECT_NEAR(scatter_quantile(1, 0.5), 0.08413, 1e-5);
  // With u1 = 1/2 the sample is drawn in bin 1; u2 = 0.90474 gives the median.
  EXPECT_NEAR(strip_scatter_value(1, 0.0, 0.5, 0.90474), F, 1e-9);
}

// A Gaussian of half width at half maximum a, sigma = a/sqrt(2 ln 2), cut at
// +-b: every sample within the cut, and the Kolmogorov-Smirnov distance of
// N samples to the truncated normal CDF (Phi(t/sigma) - Phi(-c))/(2 Phi(c) -
// 1), c = b/sigma, below 1.95/sqrt(N) (the 0.1 % point of the KS
// distribution). A zero width with a zero cut gives 0; a cut that no draw
// can meet stops the run.
TEST(StripperModel, ThicknessSampleIsTheCutGaussianOfItsHalfWidth) {
  auto sim = make_sim();
  set_start_values(*sim);
  rn_set_seed(*sim, kSeed);
  const int n = 100000;
  struct Case {
    double a, b;
  } const cases[] = {{3.0, 6.0}, {-2.0, 1.0}, {0.5, 10.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.b);
    std::vector<double> t(n);
    for (double& v : t) {
      v = strip_thickness_sample(*sim, c.a, c.b);
      ASSERT_LE(std::fabs(v), c.b);
    }
    std::sort(t.begin(), t.end());
    const double sigma = std::fabs(c.a) / std::sqrt(2.0 * std::log(2.0));
    auto Phi = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    const double cut = c.b / sigma;
    double D = 0.0;
    for (int i = 0; i < n; ++i) {
      const double F = (Phi(t[i] / sigma) - Phi(-cut)) / (2.0 * Phi(cut) - 1.0);
      D = std::max({D, std::fabs(F - double(i) / n), std::fabs(F - double(i + 1) / n)});
    }
    EXPECT_LT(D, 1.95 / std::sqrt(double(n)));
  }
  EXPECT_EQ(strip_thickness_sample(*sim, 0.0, 0.0), 0.0);
  EXPECT_NE(testing::fatal_text([&] { strip_thickness_sample(*sim, 1.0, 0.0); }).find("cut 0"), std::string::npos);
  EXPECT_NE(testing::fatal_text([&] { strip_thickness_sample(*sim, 1.0, -2.0); }).find("cut -2"), std::string::npos);
}

// The loss sample of model m at (t, F) is the loss of a foil passage in
// MeV/u: (1000 (A2 F + A5 t) + g (A1 F + A3 t + A4)) / 1000 with one standard
// normal g from the stream, the coefficients of the two models:
// m = 1: A1 0.0102538, A2 0.000260444, A3 0.00942999, A4 1.76442, A5 0.00126001;
// m = 2: A1 0.0763087, A2 0.00163303, A3 0.11969, A4 17.2565, A5 0.0333205.
TEST(StripperModel, LossSampleIsTheFoilLossInMeVPerNucleon) {
  const double A[3][6] = {{},
                          {0, 0.0102538, 0.000260444, 0.00942999, 1.76442, 0.00126001},
                          {0, 0.0763087, 0.00163303, 0.11969, 17.2565, 0.0333205}};
  auto sim = make_sim(), ref = make_sim();
  set_start_values(*sim);
  set_start_values(*ref);
  rn_set_seed(*sim, kSeed);
  rn_set_seed(*ref, kSeed);
  struct Case {
    std::int32_t m;
    double t, F;  // percent, mrad^2
  } const cases[] = {{1, 0.0, 0.0}, {1, 3.5, 0.8}, {2, -2.0, 40.0}, {2, 1.0, 2500.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m);
    const double got = strip_loss_sample(*sim, c.m, c.t, c.F);
    double g = 0.0;
    DRNNOA(*ref, 1, &g);
    const double dW = 1000.0 * (A[c.m][2] * c.F + A[c.m][5] * c.t) + g * (A[c.m][1] * c.F + A[c.m][3] * c.t + A[c.m][4]);
    EXPECT_NEAR(got, dW / 1000.0, 1e-15 * (std::fabs(dW) / 1000.0 + 1.0));
  }
  // One normal per sample: both streams stand at the same place.
  double a, b;
  dRNUN(*sim, 1, &a);
  dRNUN(*ref, 1, &b);
  EXPECT_EQ(a, b);
  EXPECT_NE(testing::fatal_text([&] { strip_loss_sample(*sim, 3, 0.0, 1.0); }).find("No stripper with this index"),
            std::string::npos);
}

// ------------------------------------------------------------ the foil

TEST(Stripper, ChargeFractionsFollowTheProbabilities) {
  Foils f;
  const Foil foil{{10.0, 11.0, 12.0}, {0.2, 0.5, 0.3}, 990.0};
  f.write(1, foil);
  f.beam({10000, 10000});
  f.set_line(1, 1, 0.0);
  f.run_line(1);
  const Sim& s = f.sim();
  const double N = 20000.0;
  ASSERT_EQ(s.config.NQTOT, 3);
  for (int q = 1; q <= 3; ++q) {
    SCOPED_TRACE(q);
    const double P = foil.P[static_cast<std::size_t>(q - 1)];
    EXPECT_NEAR(s.config.NPAT[q] + 1, N * P, kC * std::sqrt(N * P * (1.0 - P)));
    EXPECT_EQ(s.config.QQ[q], foil.Q[static_cast<std::size_t>(q - 1)]);
    EXPECT_EQ(s.config.AMASS[q], 40.0);  // the old first state's mass
    EXPECT_EQ(s.npat.ntest[q], 0);
    for (int j = 0; j <= s.config.NPAT[q]; ++j)
      ASSERT_EQ(s.particles.qa[q][j], s.config.QQ[q] / 40.0) << j;
  }
  EXPECT_EQ(s.ref.QDESIGN, 11.0);
  EXPECT_EQ(s.ref.ADESIGN, 40.0);
  EXPECT_EQ(s.config.nqtot0, 1);
  EXPECT_EQ(s.config.nqtot1, 3);
  EXPECT_EQ(s.config.IFLAG_QQ, 3);
  EXPECT_EQ(s.type_rec.table_cache[kStripType], 1);
}

TEST(Stripper, MeanEnergyDropsByTheReferenceLossInEveryPass) {
  // W_s = 1000 keV/u: a foil that keeps the design energy (the upper end of
  // the range W_s may take) shifts the mean by nothing.
  for (const auto& [ipass, W_s] : {std::pair{1, 960.0}, std::pair{2, 960.0}, std::pair{1, 1000.0}}) {
    SCOPED_TRACE(fmt::format("pass {}, W_s {}", ipass, W_s));
    Foils f;
    f.write(2, Foil{{17.0, 18.0}, {0.4, 0.6}, W_s});
    f.beam({5000, 5000}, 97);
    f.set_line(1, 2, 0.1);
    Sim& s = f.sim();
    s.history.ref_W_in[1] = 777.0;  // an earlier nominal pass's entrance energy
    const double w0 = s.ref.w0;
    const std::vector<double> before = f.live_energies();
    f.run_line(1, ipass);
    const std::vector<double> after = f.live_energies();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_NEAR(mean_of(before) - mean_of(after), w0 - W_s, 1e-9 * w0);
    EXPECT_EQ(s.ref.w0, W_s);
    EXPECT_EQ(s.history.ref_W_out[1], W_s);
    EXPECT_EQ(s.history.ref_W_in[1], ipass == 1 ? w0 : 777.0);
  }
}

TEST(Stripper, StragglingWidthAtZeroThickness) {
  // T = 0: dW = 1000 A2 F + g (A1 F + A4); the exit energies' inter-quartile
  // range is that of a Gaussian of width A4, 1.349 A4, within 3 %.
  struct Case {
    std::int32_t m;
    double iqr;  // keV/u
  };
  for (const Case c : {Case{1, 2.380}, Case{2, 23.28}}) {
    SCOPED_TRACE(c.m);
    Foils f;
    f.write(c.m, Foil{{9.0}, {1.0}, 990.0});
    f.beam({100000});
    f.set_line(1, c.m, 0.0);
    f.run_line(1);
    const std::vector<double> W = f.live_energies();
    const double iqr = quantile(W, 0.75) - quantile(W, 0.25);
    EXPECT_NEAR(iqr, c.iqr, 0.03 * c.iqr);
  }
}

TEST(Stripper, ScatteringFillsTheModelBinsAtAUniformAzimuth) {
  for (const std::int32_t m : {1, 2}) {
    SCOPED_TRACE(m);
    Foils f;
    f.write(m, Foil{{9.0}, {1.0}, 990.0});
    const int N = 100000;
    f.beam({N});
    f.set_line(1, m, 0.0);
    f.run_line(1);
    const Sim& s = f.sim();
    const StripBinTable& bins = strip_bin_table(m);
    double total = 0.0;
    for (const StripBin& b : bins) total += b.weight0;
    std::vector<double> obs(kStripBins, 0.0), expct(kStripBins, 0.0);
    for (int r = 0; r < kStripBins; ++r) expct[r] = N * bins[r].weight0 / total;
    std::vector<double> sector(12, 0.0);
    std::vector<double> F;
    for (int j = 0; j <= s.config.NPAT[1]; ++j) {
      const double xp = s.particles.xp[1][j];
      const double yp = s.particles.yp[1][j];
      const double Fj = 1e6 * (xp * xp + yp * yp);  // mrad^2
      F.push_back(Fj);
      int r = 0;
      while (r < kStripBins - 1 && Fj > bins[r].upper) ++r;
      obs[r] += 1.0;
      const double phi = std::atan2(yp, xp) + kTwoPi / 2.0;  // 0..2 pi
      sector[std::min(11, static_cast<int>(phi / kTwoPi * 12.0))] += 1.0;
    }
    const auto [chi2, df] = chi_square(obs, expct);
    EXPECT_LT(chi2, kChi2Crit[df]) << "df " << df;
    const auto [chi2_phi, df_phi] = chi_square(sector, std::vector<double>(12, N / 12.0));
    EXPECT_LT(chi2_phi, kChi2Crit[df_phi]);
    // The median's rank error is 1/(2 sqrt(N)); c = 4 of it.
    const double du = kC * 0.5 / std::sqrt(static_cast<double>(N));
    const double median = quantile(F, 0.5);
    EXPECT_GE(median, scatter_quantile(m, 0.5 - du));
    EXPECT_LE(median, scatter_quantile(m, 0.5 + du));
  }
}

TEST(Stripper, OneStateKeepsEveryParticleInOrder) {
  // n = 1, P = 1: slot j of the new state is old slot j in (state, slot)
  // order; positions and phase stay, lost particles stay lost and get no kick.
  Foils f;
  f.write(1, Foil{{9.0}, {1.0}, 990.0});
  f.beam({600, 400}, 7);
  f.set_line(1, 1, 0.05);
  std::vector<double> x, y, phase;
  std::vector<std::int32_t> status;
  const Sim& s = f.sim();
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i <= s.config.NPAT[iq]; ++i) {
      x.push_back(s.particles.x[iq][i]);
      y.push_back(s.particles.y[iq][i]);
      phase.push_back(s.particles.phase[iq][i]);
      status.push_back(s.particles.status[iq][i]);
    }
  const std::size_t live = f.live_energies().size();
  f.run_line(1);
  ASSERT_EQ(s.config.NQTOT, 1);
  ASSERT_EQ(s.config.NPAT[1] + 1, 1000);
  EXPECT_EQ(f.live_energies().size(), live);
  int kicked = 0;
  for (int j = 0; j < 1000; ++j) {
    SCOPED_TRACE(j);
    ASSERT_EQ(s.particles.x[1][j], x[j]);
    ASSERT_EQ(s.particles.y[1][j], y[j]);
    ASSERT_EQ(s.particles.phase[1][j], phase[j]);
    ASSERT_EQ(s.particles.status[1][j], status[j]);
    const bool moved = s.particles.xp[1][j] != 0.0 || s.particles.yp[1][j] != 0.0;
    if (status[j] < 0) {
      ASSERT_FALSE(moved);
    } else {
      ASSERT_EQ(s.particles.qa[1][j], 9.0 / 40.0);
    }
    kicked += moved;
  }
  EXPECT_EQ(kicked, static_cast<int>(live));
}

TEST(Stripper, NewStatesTakeTheirParticlesInDrawingOrder) {
  // Labels grow along the old (state, slot) order, so each new state's
  // labels must grow too, its slot 0 being the first particle drawn into
  // it, and together the states hold every old slot once.
  Foils f;
  f.write(1, Foil{{9.0, 10.0}, {0.5, 0.5}, 990.0});
  f.beam({300, 300}, 11);
  f.set_line(1, 1, 0.0);
  f.run_line(1);
  const Sim& s = f.sim();
  std::vector<double> all;
  for (int q = 1; q <= 2; ++q)
    for (int j = 0; j <= s.config.NPAT[q]; ++j) {
      if (j > 0) {
        ASSERT_LT(s.particles.x[q][j - 1], s.particles.x[q][j]) << q << " " << j;
      }
      all.push_back(s.particles.x[q][j]);
    }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 600u);
  for (int k = 0; k < 600; ++k) ASSERT_EQ(all[k], 1e4 * (1 + k / 300) + k % 300);
}

TEST(Stripper, AStateThatDrawsNothingStaysEmptyAndTheRunGoesOn) {
  Foils f("1 strip 0.0 0.0 0.0 0.0\n1 drift 10.0 0.0 0.0\nstop\n");
  f.write(1, Foil{{9.0, 10.0}, {0.0, 1.0}, 990.0});
  f.beam({500});
  f.set_line(1, 1, 0.0);
  Sim& s = f.sim();
  s.config.outQ = 1;
  f.run_line(1);
  EXPECT_EQ(s.config.NPAT[1], -1);
  EXPECT_EQ(s.config.NPAT[2], 499);
  write_element_output(s, 1, "strip", s.elements.elem_pos[1]);
  std::int32_t drift_line = 2;
  dispatch_element(s, drift_line);
  write_element_output(s, 2, "drift", s.elements.elem_pos[2]);
  s.units.close_all();
  for (const char* name : {"out.dat", "out_q.dat"}) {
    const std::string text = f.run.file(name);
    EXPECT_FALSE(text.empty()) << name;
    EXPECT_EQ(text.find("NaN"), std::string::npos) << name << "\n" << text;
    EXPECT_EQ(text.find("nan"), std::string::npos) << name << "\n" << text;
  }
}

TEST(Stripper, ReplayingTheDocumentedDrawsReproducesTheFoil) {
  // The documented library calls, on the same stream from the same seed:
  // alias set-up (one draw discarded), one charge draw per old slot, then
  // per live particle of the new states the thickness normal (redrawn
  // beyond 2 T100), two uniforms of the scattering sample, the straggling
  // normal and the azimuth uniform.
  Foils f;
  const Foil foil{{20.0, 21.0, 22.0}, {0.25, 0.5, 0.25}, 950.0};
  f.write(2, foil);
  f.beam({300, 200}, 13);
  const double T = 0.1;
  f.set_line(1, 2, T);
  Sim& s = f.sim();
  struct Old {
    double x, W;
    std::int32_t status;
  };
  std::vector<Old> old;
  for (int iq = 1; iq <= 2; ++iq)
    for (int i = 0; i <= s.config.NPAT[iq]; ++i)
      old.push_back({s.particles.x[iq][i], energy_of(s, s.particles.beta[iq][i]),
                     s.particles.status[iq][i]});
  const double w0 = s.ref.w0;
  f.run_line(1);
  const double next_after_foil = rn_next(s);

  rn_set_seed(s, kSeed);
  float probs[3] = {0.25f, 0.5f, 0.25f};
  std::int32_t iwk[3];
  float wk[3];
  std::int32_t q = 0;
  RNGDA(s, 1, 0, 1, 3, probs, iwk, wk, &q);
  std::vector<std::vector<Old>> drawn(4);
  for (const Old& o : old) {
    RNGDA(s, 1, 1, 1, 3, probs, iwk, wk, &q);
    drawn[q].push_back(o);
  }
  const StripLossCoef& A = strip_loss_coef(2);
  const StripBinTable& bins = strip_bin_table(2);
  struct Effect {
    double dW, dxp, dyp;
  };
  std::vector<std::vector<Effect>> effect(4);
  double sum = 0.0;
  int live = 0;
  for (int nq = 1; nq <= 3; ++nq)
    for (const Old& o : drawn[nq]) {
      if (o.status < 0) {
        effect[nq].push_back({0, 0, 0});
        continue;
      }
      double g = 0.0, t = 0.0;
      do {
        DRNNOA(s, 1, &g);
        t = 100.0 * T / 1.1774100225154747 * g;
      } while (std::fabs(t) > 200.0 * T);
      double u1 = 0.0, u2 = 0.0;
      dRNUN(s, 1, &u1);
      dRNUN(s, 1, &u2);
      std::vector<double> C;
      for (const StripBin& b : bins) C.push_back((C.empty() ? 0.0 : C.back()) + b.weight_slope * t + b.weight0);
      int r = 0;
      while (u1 * C.back() > C[r]) ++r;
      const double lam = bins[r].rate_slope * t + bins[r].rate0;
      const double ea = std::exp(-lam * bins[r].lower), eb = std::exp(-lam * bins[r].upper);
      const double F = -(1.0 / lam) * std::log(ea - u2 * (ea - eb));
      double g2 = 0.0, u = 0.0;
      DRNNOA(s, 1, &g2);
      dRNUN(s, 1, &u);
      const double dW = 1000.0 * (A.A2 * F + A.A5 * t) + g2 * (A.A1 * F + A.A3 * t + A.A4);
      const double theta = std::sqrt(F) / 1000.0;
      effect[nq].push_back({dW, theta * std::cos(kTwoPi * u), theta * std::sin(kTwoPi * u)});
      sum += dW;
      ++live;
    }
  EXPECT_EQ(rn_next(s), next_after_foil);

  const double mean = sum / live;
  for (int nq = 1; nq <= 3; ++nq) {
    ASSERT_EQ(s.config.NPAT[nq] + 1, static_cast<int>(drawn[nq].size())) << nq;
    for (std::size_t j = 0; j < drawn[nq].size(); ++j) {
      SCOPED_TRACE(::testing::Message() << nq << " " << j);
      const Old& o = drawn[nq][j];
      const Effect& e = effect[nq][j];
      ASSERT_EQ(s.particles.x[nq][j], o.x);
      ASSERT_EQ(s.particles.xp[nq][j], e.dxp);
      ASSERT_EQ(s.particles.yp[nq][j], e.dyp);
      if (o.status >= 0) {
        ASSERT_NEAR(energy_of(s, s.particles.beta[nq][j]), o.W - (w0 - 950.0) - e.dW + mean,
                    1e-9 * w0);
      }
    }
  }
}

TEST(Stripper, AFoilThatStopsParticlesLosesThemThere) {
  // W_s = 0.5 keV/u behind a foil of model 2 (straggling width 17 keV/u):
  // about half of the particles would leave with W <= 0. They are lost at
  // the foil with a lost.dat record each; every other particle keeps a
  // velocity in (0, 1).
  Foils f;
  f.write(2, Foil{{9.0}, {1.0}, 0.5});
  f.beam({2000});
  f.set_line(1, 2, 0.0);
  const std::size_t live_before = f.live_energies().size();
  Sim& s = f.sim();
  f.run_line(1);
  s.units.close_all();
  int live = 0;
  for (int j = 0; j <= s.config.NPAT[1]; ++j) {
    if (s.particles.status[1][j] < 0) continue;
    ++live;
    ASSERT_GT(s.particles.beta[1][j], 0.0) << j;
    ASSERT_LT(s.particles.beta[1][j], 1.0) << j;
  }
  const std::size_t stopped = live_before - static_cast<std::size_t>(live);
  EXPECT_GT(stopped, 500u);
  EXPECT_LT(stopped, 1500u);
  EXPECT_EQ(f.run.lines("lost.dat").size(), 1 + stopped);  // the header, then one record each
}

TEST(Stripper, TheErrorDrawingPassOnlyTakesThePosition) {
  // No stripper file exists: the foil reads nothing, draws nothing and
  // leaves the beam as it is.
  Foils f;
  f.beam({100, 100});
  f.set_line(1, 1, 0.05);
  Sim& s = f.sim();
  const RunConfig cfg = s.config;
  f.run_line(1, 1, 1);
  EXPECT_EQ(s.state.ipos, 1);
  EXPECT_EQ(s.config.NQTOT, cfg.NQTOT);
  EXPECT_EQ(s.config.NPAT, cfg.NPAT);
  const double next = rn_next(s);
  rn_set_seed(s, kSeed);
  EXPECT_EQ(rn_next(s), next);
}

TEST(Stripper, AFileIsReadOncePerNumber) {
  Foils f;
  f.write(1, Foil{{9.0}, {1.0}, 990.0});
  f.beam({200});
  Sim& s = f.sim();
  f.run_line(1);
  EXPECT_EQ(s.ref.w0, 990.0);
  // The file is gone: the next m = 1 line uses the values in memory.
  std::filesystem::remove(f.run.dir / "stripper.#01");
  f.run_line(2);
  f.run_line(3);
  EXPECT_EQ(s.ref.w0, 990.0);
  EXPECT_EQ(s.config.NQTOT, 1);
  // An m = 2 line reads its own file.
  f.write(2, Foil{{10.0, 11.0}, {0.5, 0.5}, 950.0});
  f.run_line(4);
  EXPECT_EQ(s.ref.w0, 950.0);
  EXPECT_EQ(s.config.NQTOT, 2);
  EXPECT_EQ(s.type_rec.table_cache[kStripType], 2);
  EXPECT_EQ(s.stripper.m, 2);
}

TEST(Stripper, BadInputStopsWithTheBeamAndRecordsUntouched) {
  const std::string good = foil_text(Foil{{9.0, 10.0}, {0.5, 0.5}, 990.0});
  struct Case {
    const char* what;
    const char* file;  // stripper.#NN text; nullptr: no file
    std::int32_t m;
    double T;
    int slots;  // per old state (two states)
    std::vector<std::string> expect;  // texts the message holds
  };
  const Case cases[] = {
      {"missing file", nullptr, 1, 0.0, 50, {"tables/stripper.#01", "not found"}},
      {"too many states", " 7\n 1 2 3 4 5 6 7\n", 1, 0.0, 50, {"stripper.#01 line 1", "7 charge states", "1..6"}},
      {"no state", " 0\n", 1, 0.0, 50, {"stripper.#01 line 1", "0 charge states"}},
      {"short charge read", " 3\n 9 10\n 0.2 0.3 0.5\n 0 0 0\n 990\n", 1, 0.0, 50, {"stripper.#01"}},
      {"missing W_s", " 1\n 9\n 1.0\n 0\n", 1, 0.0, 50, {"stripper.#01", "end of file"}},
      {"negative W_s", " 1\n 9\n 1.0\n 0\n -5\n", 1, 0.0, 50, {"stripper.#01 line 5", "W_s = -5"}},
      {"negative probability", " 2\n 9 10\n -0.1 1.1\n 0 0\n 990\n", 1, 0.0, 50, {"stripper.#01 line 3", "P(1) = -0.1"}},
      {"probabilities sum 0.99", " 2\n 9 10\n 0.5 0.49\n 0 0\n 990\n", 1, 0.0, 50, {"stripper.#01 line 3", "sum to 0.99"}},
      // Charges are whole numbers 1..300; W_s is not above the 1000 keV/u the beam brings.
      {"neutral charge", " 2\n 9 0\n 0.5 0.5\n 0 0\n 990\n", 1, 0.0, 50, {"stripper.#01 line 2", "Q(2) = 0", "1..300"}},
      {"negative charge", " 1\n -9\n 1.0\n 0\n 990\n", 1, 0.0, 50, {"stripper.#01 line 2", "Q(1) = -9"}},
      {"charge 1e9", " 1\n 1e9\n 1.0\n 0\n 990\n", 1, 0.0, 50, {"stripper.#01 line 2", "Q(1) = 1000000000"}},
      {"charge 1e-300", " 1\n 1e-300\n 1.0\n 0\n 990\n", 1, 0.0, 50, {"stripper.#01 line 2", "Q(1) = 1e-300"}},
      {"charge 9.5", " 2\n 9\n 9.5\n 0.5 0.5\n 0 0\n 990\n", 1, 0.0, 50, {"stripper.#01 line 3", "Q(2) = 9.5", "whole number"}},
      {"W_s above the foil's energy", " 1\n 9\n 1.0\n 0\n 2000\n", 1, 0.0, 50,
       {"stripper.#01 line 5", "W_s = 2000 keV/u", "design energy 1000 keV/u", "strip line 1"}},
      {"model 0", good.c_str(), 0, 0.0, 50, {" No stripper with this index", "strip line 1", "m = 0"}},
      {"model 3", good.c_str(), 3, 0.0, 50, {" No stripper with this index", "strip line 1", "m = 3"}},
      {"negative spread", good.c_str(), 1, -0.01, 50, {"strip line 1", "P4 = -0.01"}},
      {"spread beyond model 1", good.c_str(), 1, 0.24, 50, {"strip line 1", "P4 = 0.24", "0.2313"}},
      {"over capacity", " 1\n 9\n 1.0\n 0\n 990\n", 1, 0.0, 100001,
       {" strip line 1: charge state 1 would receive 200002 particles, more than the 166002 slots "
        "of a charge state"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Foils f;
    Sim& s = f.sim();
    if (c.file) f.write(c.m >= 1 && c.m <= 2 ? c.m : 1, c.file);
    if (!c.file) s.tables.TABLE_DIR = "tables/";
    f.beam({c.slots, c.slots}, 5);
    f.set_line(1, c.m, c.T);
    const RunConfig cfg = s.config;
    const double qdesign = s.ref.QDESIGN, w0 = s.ref.w0;
    const std::vector<double> W = f.live_energies();
    std::string text;
    try {
      f.run_line(1);
    } catch (const FatalStop& stop) {
      for (const std::string& l : stop.lines()) text += l + "\n";
    }
    for (const std::string& e : c.expect) EXPECT_NE(text.find(e), std::string::npos) << text;
    EXPECT_EQ(s.config.NQTOT, cfg.NQTOT);
    EXPECT_EQ(s.config.NPAT, cfg.NPAT);
    EXPECT_EQ(s.config.QQ, cfg.QQ);
    EXPECT_EQ(s.config.AMASS, cfg.AMASS);
    EXPECT_EQ(s.config.IFLAG_QQ, cfg.IFLAG_QQ);
    EXPECT_EQ(s.ref.QDESIGN, qdesign);
    EXPECT_EQ(s.ref.w0, w0);
    EXPECT_EQ(s.type_rec.table_cache[kStripType], 0);
    EXPECT_EQ(f.live_energies(), W);
    EXPECT_EQ(s.particles.xp[1][1], 0.0);
    EXPECT_EQ(s.particles.x[2][3], 2e4 + 3);
  }
}

// ------------------------------------------------------------ whole pass

TEST(StripperCase, OutputsDoNotDependOnTheThreadCount) {
  const char* names[3] = {"out.dat", "out_q.dat", "coord.dat"};
  std::string out[2][3];
  const int saved = omp_get_max_threads();
  for (int r = 0; r < 2; ++r) {
    omp_set_num_threads(r == 0 ? 1 : 4);
    Foils f("1 drift 10.0 0.0 0.0\n1 strip 0.0 0.0 0.0 0.05\n1 drift 20.0 0.0 0.0\nstop\n");
    f.write(1, Foil{{15.0, 16.0, 17.0}, {0.3, 0.4, 0.3}, 980.0});
    f.beam({8000, 8000}, 31);
    Sim& s = f.sim();
    // Spread slopes and energies so that every column of the outputs moves.
    for (int iq = 1; iq <= 2; ++iq)
      for (int i = 1; i < 8000; ++i) {
        s.particles.x[iq][i] = 0.1 * std::sin(0.37 * i + iq);
        s.particles.y[iq][i] = 0.1 * std::cos(0.53 * i - iq);
        s.particles.xp[iq][i] = 1e-3 * std::sin(0.71 * i);
        s.particles.yp[iq][i] = 1e-3 * std::cos(0.29 * i);
        s.particles.phase[iq][i] = 0.2 * std::sin(0.11 * i);
        s.particles.beta[iq][i] *= 1.0 + 1e-3 * std::cos(0.17 * i);
      }
    f.set_line(2, 1, 0.05);
    s.config.outQ = 1;
    f.run.run_nominal_pass();
    for (int k = 0; k < 3; ++k) out[r][k] = f.run.file(names[k]);
  }
  omp_set_num_threads(saved);
  for (int k = 0; k < 3; ++k) {
    EXPECT_GT(out[0][k].size(), 0u) << names[k];
    EXPECT_TRUE(out[0][k] == out[1][k]) << names[k] << " differs between 1 and 4 threads";
  }
}

}  // namespace
}  // namespace linac
