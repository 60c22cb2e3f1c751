// Normal, spherical and discrete deviates: first values from the fixed seed
// recomputed from the formulas and the standard generator, every branch of
// the normal method with scripted uniforms, statistics with limits from the
// sample size, the alias table against its probabilities, and the messages.
#include "numerics/deviates.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "numerics/random.hpp"
#include "numerics_test_support.hpp"

namespace linac {
namespace {

using namespace testing;

constexpr double kXi = 2.216035867166471;

// Uniforms of the stream, from the standard library's engine.
struct RefStream {
  std::minstd_rand0 e{kFixedSeed};
  int used = 0;
  double operator()() {
    ++used;
    return static_cast<double>(e()) * kScale;
  }
};

// A scripted source of uniforms that counts what it hands out.
struct Script {
  std::vector<double> u;
  std::size_t k = 0;
  double operator()() {
    EXPECT_LT(k, u.size()) << "more uniforms drawn than scripted";
    return k < u.size() ? u[k++] : 0.5;
  }
};

TEST(NormalDeviates, FirstValuesFromTheFixedSeed) {
  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, kFixedSeed);
  std::array<double, 5> r{};
  DRNNOA(sim, 5, r.data());
  // All five come from the central region: xi (1.13113163544418 u + v - 1).
  RefStream ref;
  for (double got : r) {
    const double u = ref();
    ASSERT_LT(u, 0.884070402298758);
    const double v = ref();
    EXPECT_EQ(got, kXi * (1.13113163544418 * u + v - 1.0));
  }
  const double independent[5] = {1.3289777535770015, 0.7781248180578703, -0.5406700011123114,
                               -0.5761742122753852, 0.3951735783625427};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(r[k], independent[k]);
  EXPECT_EQ(sim.numerics.rn.seed, 527668886);
  EXPECT_EQ(sim.numerics.errors.level, 1);
  EXPECT_TRUE(cs.lines().empty());
}

// Every region of the method with scripted uniforms (u, v, w, ...): the
// value from the region's formula and the number of uniforms consumed.
TEST(NormalDeviates, EveryRegionWithScriptedUniforms) {
  const double ln_half = std::log(0.5);
  struct Case {
    std::vector<double> u;
    double expected;
  };
  const std::vector<Case> cases = {
      // Central region: two uniforms.
      {{0.5, 0.25}, kXi * (1.13113163544418 * 0.5 + 0.25 - 1.0)},
      {{0.884070402298757, 0.9}, kXi * (1.13113163544418 * 0.884070402298757 + 0.9 - 1.0)},
      // Tail: sqrt(2 (xi^2/2 - ln w)), sign by u.
      {{0.99, 0.1, 0.5}, -std::sqrt(2.0 * (2.45540748228412 - ln_half))},
      {{0.975, 0.1, 0.5}, std::sqrt(2.0 * (2.45540748228412 - ln_half))},
      // Tail rejection (v^2 t > xi^2/2) draws a new v, w but not a new u.
      {{0.975, 0.99, 0.5, 0.1, 0.5}, std::sqrt(2.0 * (2.45540748228412 - ln_half))},
      // The three middle regions, accepted at once (max(v, w) within the bound).
      {{0.96, 0.2, 0.3}, kXi - 0.63083480192196 * 0.2},
      {{0.92, 0.3, 0.2}, -(0.479727404222441 + 1.10547366102207 * 0.2)},
      {{0.89, 0.5, 0.4}, -(0.479727404222441 - 0.59550713801594 * 0.4)},
      // Lowest middle region: t < 0 is rejected at once, then a new pair.
      {{0.89, 0.9, 0.95, 0.5, 0.4}, -(0.479727404222441 - 0.59550713801594 * 0.4)},
  };
  for (const Case& c : cases) {
    Script s{c.u};
    EXPECT_EQ(deviates::normal_kr(s), c.expected) << c.u[0];
    EXPECT_EQ(s.k, c.u.size()) << c.u[0];
  }
  // Values from an independent model of the method.
  Script a{{0.99, 0.1, 0.5}}, b{{0.96, 0.2, 0.3}}, c{{0.92, 0.3, 0.2}}, d{{0.89, 0.5, 0.4}};
  EXPECT_EQ(deviates::normal_kr(a), -2.5094041774270104);
  EXPECT_EQ(deviates::normal_kr(b), 2.089868906782079);
  EXPECT_DOUBLE_EQ(deviates::normal_kr(c), -0.700822136426855);
  EXPECT_EQ(deviates::normal_kr(d), -0.24152454901606496);
}

// The density test f(t) decides when max(v, w) is beyond the bound: a pair
// close together (|z| small) is accepted, a pair far apart is rejected.
TEST(NormalDeviates, DensityTestDecidesBeyondTheBound) {
  // Region 0.9587..0.9733: bound 0.7556. v = 0.80, w = 0.79: z = 0.01.
  const double t = kXi - 0.63083480192196 * 0.79;
  const double f = 0.3989422804014327 * std::exp(-t * t / 2.0) - 0.180025191068563 * (kXi - t);
  ASSERT_LE(0.034240503750111 * 0.01, f + 1e-12);
  Script near{{0.96, 0.80, 0.79}};
  EXPECT_NEAR(deviates::normal_kr(near), -t, 1e-15);
  // v = 0.99, w = 0.5: z = 0.49 fails the density test; the next pair is accepted.
  const double t2 = kXi - 0.63083480192196 * 0.5;
  const double f2 = 0.3989422804014327 * std::exp(-t2 * t2 / 2.0) - 0.180025191068563 * (kXi - t2);
  ASSERT_GT(0.034240503750111 * 0.49, f2);
  Script far{{0.96, 0.99, 0.5, 0.2, 0.3}};
  EXPECT_EQ(deviates::normal_kr(far), kXi - 0.63083480192196 * 0.2);
}

// 10^6 deviates: mean 0, variance 1, fourth moment 3 and a chi-square over
// 40 bins of equal normal probability, each limit at 5 standard deviations.
TEST(NormalDeviates, Statistics) {
  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, kFixedSeed);
  const int n = 1000000;
  std::vector<double> r(n);
  DRNNOA(sim, n, r.data());
  double s1 = 0, s2 = 0, s4 = 0;
  const int nb = 40;
  std::array<int, nb> bins{};
  auto cdf = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
  for (double x : r) {
    s1 += x;
    s2 += x * x;
    s4 += x * x * x * x;
    int b = static_cast<int>(cdf(x) * nb);
    if (b >= nb) b = nb - 1;
    ++bins[static_cast<std::size_t>(b)];
  }
  EXPECT_NEAR(s1 / n, 0.0, 5.0 / std::sqrt(n));
  EXPECT_NEAR(s2 / n, 1.0, 5.0 * std::sqrt(2.0 / n));
  EXPECT_NEAR(s4 / n, 3.0, 5.0 * std::sqrt(96.0 / n));  // E x^8 - 9 = 96
  double chi2 = 0;
  const double e = static_cast<double>(n) / nb;
  for (int c : bins) chi2 += (c - e) * (c - e) / e;
  EXPECT_LT(chi2, (nb - 1) + 5.0 * std::sqrt(2.0 * (nb - 1)));
}

TEST(NormalDeviates, ZeroCountStops) {
  CapturedSim cs;
  double r = -1;
  EXPECT_TRUE(stops_run([&] { DRNNOA(*cs, 0, &r); }));
  EXPECT_EQ(r, -1);
  EXPECT_EQ(cs.lines(), (std::vector<std::string>{
                            "", " *** TERMINAL ERROR 1 from DRNNOA.  NR = 0.  NR must be greater than or equal",
                            " ***          to 1."}));
}

TEST(SphereDeviates, FirstPointFromTheFixedSeed) {
  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, kFixedSeed);
  std::array<double, 3> z{};
  DRNSPH(sim, 1, 3, z.data(), 1);
  RefStream ref;
  double a, b, s;
  do {
    a = 2.0 * ref() - 1.0;
    b = 2.0 * ref() - 1.0;
    s = a * a + b * b;
  } while (!(s < 1.0));
  EXPECT_EQ(z[0], 2.0 * a * std::sqrt(1.0 - s));
  EXPECT_EQ(z[1], 2.0 * b * std::sqrt(1.0 - s));
  EXPECT_EQ(z[2], 1.0 - 2.0 * s);
  EXPECT_NEAR(z[0], 0.5430084362413228, 1e-15);
  EXPECT_NEAR(z[1], 0.8360483235008691, 1e-15);
  EXPECT_NEAR(z[2], -0.07851776195320048, 1e-15);
  // Two uniforms per tried pair, nothing more.
  EXPECT_EQ(rn_next(sim), ref());
}

// Unit length, the moments of a uniform direction (<z_k> = 0, <z_k^2> = 1/K,
// var(z_k^2) = 3/(K(K+2)) - 1/K^2) and, in 3 dimensions, a uniform z
// (Archimedes) and azimuth; limits at 5 standard deviations.
TEST(SphereDeviates, UniformOnTheSphereInEveryDimension) {
  for (std::int32_t K : {2, 3, 4, 6}) {
    CapturedSim cs;
    Sim& sim = *cs;
    rn_set_seed(sim, kFixedSeed);
    const std::int32_t n = 100000;
    const std::int32_t ldz = n + 3;
    std::vector<double> z(static_cast<std::size_t>(ldz) * K, -7.0);
    DRNSPH(sim, n, K, z.data(), ldz);
    auto at = [&](int i, int j) { return z[static_cast<std::size_t>(i - 1 + (j - 1) * ldz)]; };
    std::vector<double> m1(static_cast<std::size_t>(K) + 1), m2(static_cast<std::size_t>(K) + 1);
    std::array<int, 20> zbins{}, phibins{};
    for (int i = 1; i <= n; ++i) {
      double r2 = 0;
      for (int j = 1; j <= K; ++j) {
        r2 += at(i, j) * at(i, j);
        m1[static_cast<std::size_t>(j)] += at(i, j);
        m2[static_cast<std::size_t>(j)] += at(i, j) * at(i, j);
      }
      ASSERT_NEAR(r2, 1.0, 1e-14) << K;
      if (K == 3) {
        ++zbins[static_cast<std::size_t>(std::min(19, static_cast<int>((at(i, 3) + 1.0) * 10.0)))];
        const double phi = std::atan2(at(i, 2), at(i, 1)) + M_PI;
        ++phibins[static_cast<std::size_t>(std::min(19, static_cast<int>(phi / (2 * M_PI) * 20)))];
      }
    }
    for (int i = n + 1; i <= ldz; ++i) EXPECT_EQ(at(i, 1), -7.0);  // rows beyond NR untouched
    const double var2 = 3.0 / (K * (K + 2.0)) - 1.0 / (K * K);
    for (int j = 1; j <= K; ++j) {
      EXPECT_NEAR(m1[static_cast<std::size_t>(j)] / n, 0.0, 5.0 * std::sqrt(1.0 / K / n)) << K;
      EXPECT_NEAR(m2[static_cast<std::size_t>(j)] / n, 1.0 / K, 5.0 * std::sqrt(var2 / n)) << K;
    }
    if (K == 3) {
      for (const auto* bins : {&zbins, &phibins}) {
        double chi2 = 0;
        for (int c : *bins) chi2 += (c - n / 20.0) * (c - n / 20.0) / (n / 20.0);
        EXPECT_LT(chi2, 19 + 5.0 * std::sqrt(38.0));
      }
    }
  }
}

// From five dimensions on: normal deviates column by column, each row then
// divided by its length.
TEST(SphereDeviates, HigherDimensionsNormaliseNormalColumns) {
  CapturedSim a, b;
  rn_set_seed(*a, kFixedSeed);
  rn_set_seed(*b, kFixedSeed);
  const int nr = 3, k = 5, ldz = 4;
  std::vector<double> z(ldz * k);
  DRNSPH(*a, nr, k, z.data(), ldz);
  std::vector<double> g(nr * k);
  DRNNOA(*b, nr * k, g.data());
  for (int i = 0; i < nr; ++i) {
    double r2 = 0;
    for (int j = 0; j < k; ++j) r2 += g[static_cast<std::size_t>(j * nr + i)] * g[static_cast<std::size_t>(j * nr + i)];
    for (int j = 0; j < k; ++j)
      EXPECT_NEAR(z[static_cast<std::size_t>(i + j * ldz)], g[static_cast<std::size_t>(j * nr + i)] / std::sqrt(r2), 1e-15);
  }
}

TEST(SphereDeviates, ArgumentErrors) {
  struct Case {
    std::int32_t nr, k, ldz;
    std::vector<int> codes;
  };
  const std::vector<Case> cases = {{0, 3, 1, {1}}, {1, 1, 1, {2}}, {3, 1, 2, {1, 2}}};
  for (const Case& c : cases) {
    CapturedSim cs;
    std::vector<double> z(16);
    EXPECT_TRUE(stops_run([&] { DRNSPH(*cs, c.nr, c.k, z.data(), c.ldz); }));
    std::vector<int> codes;
    for (const auto& line : cs.lines())
      if (line.rfind(" *** TERMINAL ERROR ", 0) == 0) codes.push_back(line[20] - '0');
    EXPECT_EQ(codes, c.codes) << c.nr << " " << c.k << " " << c.ldz;
  }
  CapturedSim cs;
  std::vector<double> z(4);
  EXPECT_TRUE(stops_run([&] { DRNSPH(*cs, 1, 1, z.data(), 1); }));
  EXPECT_EQ(cs.lines(), (std::vector<std::string>{
                            "", " *** TERMINAL ERROR 2 from DRNSPH.  The value of K is 1 but the number of",
                            " ***          dimensions must be greater than 1."}));
}

// Probability of each value implied by an alias table: the share of each
// interval below its cut-off, plus the shares above the cut-offs that alias it.
std::vector<double> implied(const std::vector<std::int32_t>& iwk, const std::vector<float>& wk) {
  const std::size_t n = wk.size();
  std::vector<double> p(n, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    const double cut = std::min(1.0, static_cast<double>(wk[j]) - static_cast<double>(j));
    p[j] += cut / static_cast<double>(n);
    p[static_cast<std::size_t>(iwk[j] - 1)] += (1.0 - cut) / static_cast<double>(n);
  }
  return p;
}

TEST(DiscreteDeviates, AliasTablesOfSmallCases) {
  {
    const std::vector<float> p = {0.25f, 0.25f, 0.25f, 0.25f};
    std::vector<std::int32_t> iwk(4, -1);
    std::vector<float> wk(4);
    deviates::alias_setup(4, p.data(), iwk.data(), wk.data());
    EXPECT_EQ(wk, (std::vector<float>{1, 2, 3, 4}));
    // Every draw is IMIN + floor(4u).
    CapturedSim a, b;
    rn_set_seed(*a, kFixedSeed);
    rn_set_seed(*b, kFixedSeed);
    std::vector<std::int32_t> ir(1000);
    RNGDA(*a, 1000, 0, 5, 4, p.data(), iwk.data(), wk.data(), ir.data());
    for (std::int32_t v : ir) EXPECT_EQ(v, 5 + static_cast<std::int32_t>(4.0f * rn_next_r4(*b)));
  }
  {
    const std::vector<float> p = {0.5f, 0.3f, 0.2f};
    std::vector<std::int32_t> iwk(3, -1);
    std::vector<float> wk(3);
    deviates::alias_setup(3, p.data(), iwk.data(), wk.data());
    EXPECT_EQ(iwk[1], 1);
    EXPECT_EQ(iwk[2], 1);
    const float eps = 4 * std::numeric_limits<float>::epsilon();
    EXPECT_NEAR(wk[0], 1.0f, eps);
    EXPECT_NEAR(wk[1], 1.9f, eps);
    EXPECT_NEAR(wk[2], 2.6f, eps);
    const auto q = implied(iwk, wk);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(q[static_cast<std::size_t>(j)], p[static_cast<std::size_t>(j)], 1e-6);
    EXPECT_EQ(deviates::alias_draw(0.99f, 3, 1, iwk.data(), wk.data()), 1);  // 2.97 above 2.6
    EXPECT_EQ(deviates::alias_draw(0.5f, 3, 1, iwk.data(), wk.data()), 2);   // 1.5 below 1.9
  }
}

// Probabilities that sum to 0.99995 (accepted) leave the second element with
// a cut-off of 1.9999 and no pairing; a draw above it must still name a
// valid value. The alias array starts out holding garbage, as a caller's
// uninitialised work array would.
TEST(DiscreteDeviates, UnpairedElementIsItsOwnAlias) {
  const std::vector<float> p = {0.5f, 0.49995f};
  std::vector<std::int32_t> iwk(2, -7777);
  std::vector<float> wk(2);
  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, kFixedSeed);
  std::int32_t ir = 0;
  RNGDA(sim, 1, 0, 1, 2, p.data(), iwk.data(), wk.data(), &ir);
  EXPECT_TRUE(cs.lines().empty());
  EXPECT_EQ(iwk[1], 2);
  EXPECT_EQ(deviates::alias_draw(0.99999f, 2, 1, iwk.data(), wk.data()), 2);
  std::vector<std::int32_t> many(1000000);
  RNGDA(sim, static_cast<std::int32_t>(many.size()), 1, 1, 2, p.data(), iwk.data(), wk.data(), many.data());
  for (std::int32_t v : many) ASSERT_TRUE(v == 1 || v == 2) << v;
  // A single element below 1.
  const float one = 0.99995f;
  std::int32_t iwk1 = -7777;
  float wk1 = 0;
  RNGDA(sim, 1, 0, 3, 1, &one, &iwk1, &wk1, &ir);
  EXPECT_EQ(deviates::alias_draw(0.999999f, 1, 3, &iwk1, &wk1), 3);
}

// Random distributions: the table implies the given probabilities (up to
// single-precision rounding), and 10^6 draws match them within 5 sigma.
TEST(DiscreteDeviates, FrequenciesMatchProbabilities) {
  std::mt19937 gen(3);
  std::uniform_real_distribution<float> dist(0.0f, 1.0f);
  for (int nmass : {1, 2, 5, 9, 17, 60}) {
    std::vector<float> p(static_cast<std::size_t>(nmass));
    float total = 0;
    for (float& v : p) total += (v = dist(gen));
    for (float& v : p) v /= total;
    if (nmass >= 5) p[2] = 0.0f;  // a zero probability is allowed
    total = 0;
    for (float v : p) total += v;
    for (float& v : p) v /= total;
    std::vector<std::int32_t> iwk(p.size(), -1);
    std::vector<float> wk(p.size());
    CapturedSim cs;
    Sim& sim = *cs;
    rn_set_seed(sim, kFixedSeed);
    const int n = 1000000;
    std::vector<std::int32_t> ir(n);
    RNGDA(sim, n, 0, 1, nmass, p.data(), iwk.data(), wk.data(), ir.data());
    const auto q = implied(iwk, wk);
    std::vector<int> count(p.size(), 0);
    for (std::int32_t v : ir) {
      ASSERT_GE(v, 1);
      ASSERT_LE(v, nmass);
      ++count[static_cast<std::size_t>(v - 1)];
    }
    for (std::size_t j = 0; j < p.size(); ++j) {
      EXPECT_NEAR(q[j], p[j], 2e-6 * nmass) << nmass << " " << j;
      const double sigma = std::sqrt(p[j] * (1 - p[j]) / n);
      // A few draws may land exactly on an interval's start (below).
      EXPECT_NEAR(count[j] / static_cast<double>(n), p[j], 5 * sigma + 3.0 / n) << nmass << " " << j;
    }
    if (nmass >= 5) {
      // A zero probability gives the cut-off j - 1, the start of its own
      // interval: only u * NMASS landing exactly there (a chance of order
      // 2^-25 per draw) returns that value.
      EXPECT_LE(count[2], 3);
      if (nmass == 5) {
        ASSERT_EQ(0.4f * 5.0f, 2.0f);
        EXPECT_EQ(deviates::alias_draw(0.4f, 5, 1, iwk.data(), wk.data()), 3);
      }
    }
  }
}

TEST(DiscreteDeviates, SumToleranceAndErrors) {
  auto run = [](std::int32_t nr, std::int32_t iopt, std::vector<float> p, CapturedSim& cs) {
    std::vector<std::int32_t> iwk(std::max<std::size_t>(p.size(), 1), 0);
    std::vector<float> wk(iwk.size());
    std::vector<std::int32_t> ir(std::max(nr, 1));
    rn_set_seed(*cs, kFixedSeed);
    return stops_run([&] {
      RNGDA(*cs, nr, iopt, 1, static_cast<std::int32_t>(p.size()), p.data(), iwk.data(), wk.data(), ir.data());
    });
  };
  // 0.99995 passes for any count; 0.9998 fails for every count.
  for (int nmass : {1, 3, 7, 50, 1200, 2000}) {
    std::vector<float> ok(static_cast<std::size_t>(nmass), 0.0f);
    std::vector<float> bad(static_cast<std::size_t>(nmass), 0.0f);
    ok[0] = 0.99995f;
    bad[0] = 0.9998f;
    CapturedSim a, b;
    EXPECT_FALSE(run(1, 0, ok, a)) << nmass;
    EXPECT_TRUE(a.lines().empty());
    EXPECT_TRUE(run(1, 0, bad, b)) << nmass;
    EXPECT_EQ(b.lines(), (std::vector<std::string>{
                             "", " *** TERMINAL ERROR 5 from RNGDA.  The values in PROBS sum to 9.998000E-01. ",
                             " ***          The values in PROBS must sum 1.0."}))
        << nmass;
  }
  {
    CapturedSim cs;
    EXPECT_TRUE(run(1, 0, {0.5f, -0.1f, 0.6f}, cs));
    EXPECT_EQ(cs.lines(), (std::vector<std::string>{
                              "", " *** TERMINAL ERROR 4 from RNGDA.  PROBS(2) = -1.000000E-01.  The values for",
                              " ***          PROBS must be positive."}));
  }
  {
    // Every failing count is reported before the stop.
    CapturedSim cs;
    EXPECT_TRUE(run(0, 2, {1.0f}, cs));
    std::vector<int> codes;
    for (const auto& line : cs.lines())
      if (line.rfind(" *** TERMINAL ERROR ", 0) == 0) codes.push_back(line[20] - '0');
    EXPECT_EQ(codes, (std::vector<int>{1, 2}));
    const auto lines = cs.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        " *** TERMINAL ERROR 2 from RNGDA.  IOPT = 2.  IOPT must be greater than or"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), " ***          equal to 0 and less than or equal to 1."),
              lines.end());
  }
  {
    CapturedSim cs;
    EXPECT_TRUE(run(1, 0, {}, cs));
    EXPECT_NE(cs.out.str().find("ERROR 3 from RNGDA.  NMASS = 0.  NMASS must be greater"),
              std::string::npos);
  }
}

// The stream is shared: deviates of any kind advance the one state, and
// the same seed gives the same mixed sequence.
TEST(Deviates, MixedDrawsRepeatFromTheSameSeed) {
  auto sequence = [] {
    CapturedSim cs;
    Sim& sim = *cs;
    rn_set_seed(sim, kFixedSeed);
    std::vector<double> out;
    const std::vector<float> p = {0.1f, 0.6f, 0.3f};
    std::vector<std::int32_t> iwk(3);
    std::vector<float> wk(3);
    for (int k = 0; k < 200; ++k) {
      double u[2], g[3], z[3];
      std::int32_t ir = 0;
      dRNUN(sim, 2, u);
      DRNNOA(sim, 3, g);
      DRNSPH(sim, 1, 3, z, 1);
      RNGDA(sim, 1, k == 0 ? 0 : 1, 1, 3, p.data(), iwk.data(), wk.data(), &ir);
      out.insert(out.end(), {u[0], u[1], g[0], g[1], g[2], z[0], z[1], z[2], static_cast<double>(ir)});
    }
    return out;
  };
  EXPECT_EQ(sequence(), sequence());
}

}  // namespace
}  // namespace linac
