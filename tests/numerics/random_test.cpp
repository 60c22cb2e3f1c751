// The uniform stream: members against the standard library's minimal
// standard generator, deviates formed by one multiplication, seeding rules
// with an injected clock, the argument check, the other variants against
// independent engines and their algebraic properties, and the statistics.
#include "numerics/random.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "numerics_test_support.hpp"

namespace linac {
namespace {

using namespace testing;

void set_clock(Sim& sim, int h, int m, int s) {
  sim.clock.set_source([h, m, s] { return LocalTime{2024, 1, 1, h, m, s}; });
}

TEST(RandomStream, FixedSeedGivesTheKnownFirstMembersAndDeviates) {
  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, kFixedSeed);
  const std::int32_t members[3] = {1503226788, 1735002608, 1655873690};
  const double deviates[3] = {0.6999945215415184, 0.8079235482997836, 0.7710762744634767};
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(rn_next(sim), deviates[k]);
    EXPECT_EQ(sim.numerics.rn.seed, members[k]);
    EXPECT_EQ(sim.numerics.rn.seed_copy, static_cast<double>(members[k]));
  }
  EXPECT_EQ(sim.numerics.rn.scale, 4.656612875245797e-10);
  EXPECT_TRUE(cs.lines().empty());
}

// Every member equals the standard library's x <- 16807 x mod (2^31 - 1),
// and every deviate is that member times the stored reciprocal.
TEST(RandomStream, MembersMatchMinstdRand0AndDeviatesAreMultiplied) {
  for (std::int32_t seed : {1, kFixedSeed, 2147483646, 123457}) {
    CapturedSim cs;
    Sim& sim = *cs;
    rn_set_seed(sim, seed);
    std::minstd_rand0 ref(static_cast<std::uint_fast32_t>(seed));
    std::vector<double> r(10000);
    dRNUN(sim, 10000, r.data());
    std::vector<double> expected(10000);
    std::uint_fast32_t x = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
      x = ref();
      expected[i] = static_cast<double>(x) * kScale;
    }
    EXPECT_EQ(r, expected) << seed;
    EXPECT_EQ(sim.numerics.rn.seed, static_cast<std::int32_t>(x)) << seed;
    if (seed == 1) {
      EXPECT_EQ(sim.numerics.rn.seed, 1043618065);  // the 10000th member
    }
  }
  // Multiplication, not division: draw 21 from the fixed seed (x = 16664082)
  // differs in the last bit from x / (2^31 - 1).
  CapturedSim cs;
  rn_set_seed(*cs, kFixedSeed);
  std::array<double, 21> r{};
  dRNUN(*cs, 21, r.data());
  EXPECT_EQ((*cs).numerics.rn.seed, 16664082);
  EXPECT_EQ(r[20], 0.007759817879535173);
  EXPECT_NE(r[20], 16664082.0 / 2147483647.0);
}

TEST(RandomStream, StreamEdgesStayInsideTheOpenInterval) {
  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, 1);
  EXPECT_EQ(rn_next(sim), 7.826369259425611e-06);
  EXPECT_EQ(sim.numerics.rn.seed, 16807);
  rn_set_seed(sim, 2147483646);
  rn_next(sim);
  EXPECT_EQ(sim.numerics.rn.seed, 2147466840);
  // The members before 1 and before 2147483646: inverse of 16807 mod m.
  const std::int64_t m = 2147483647;
  std::int64_t inv = 1;  // 16807^(m - 2) mod m
  for (std::int64_t b = 16807, e = m - 2; e > 0; e >>= 1, b = b * b % m)
    if (e & 1) inv = inv * b % m;
  ASSERT_EQ(inv * 16807 % m, 1);
  rn_set_seed(sim, static_cast<std::int32_t>(inv));
  const double lo = rn_next(sim);
  EXPECT_EQ(sim.numerics.rn.seed, 1);
  EXPECT_GT(lo, 0.0);
  rn_set_seed(sim, static_cast<std::int32_t>(m - inv));
  const double hi = rn_next(sim);
  EXPECT_EQ(sim.numerics.rn.seed, 2147483646);
  EXPECT_LT(hi, 1.0);
  rn_set_seed(sim, static_cast<std::int32_t>(m - inv));
  const float hi4 = rn_next_r4(sim);
  EXPECT_LT(hi4, 1.0f);
  EXPECT_EQ(hi4, 0.99999994f);
  rn_set_seed(sim, static_cast<std::int32_t>(inv));
  EXPECT_GT(rn_next_r4(sim), 0.0f);
}

TEST(RandomStream, SinglePrecisionDeviatesAreRoundedOnce) {
  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, kFixedSeed);
  const float ss = sim.numerics.rn.single_scale;
  EXPECT_EQ(ss, 0x1p-31f - 0x1p-55f);
  EXPECT_EQ(static_cast<double>(ss), 4.6566125955216364e-10);
  std::minstd_rand0 ref(kFixedSeed);
  for (int k = 0; k < 100000; ++k) {
    const float u = rn_next_r4(sim);
    const std::uint_fast32_t x = ref();
    // x * ss needs 55 bits: exact in long double where it has 64 bits.
    if constexpr (std::numeric_limits<long double>::digits >= 55) {
      ASSERT_EQ(u, static_cast<float>(static_cast<long double>(x) * static_cast<long double>(ss)));
    }
    ASSERT_GT(u, 0.0f);
    ASSERT_LT(u, 1.0f);
  }
}

TEST(RandomStream, ChunkedCallsGiveTheSameNumbers) {
  CapturedSim a, b, c;
  for (CapturedSim* s : {&a, &b, &c}) rn_set_seed(**s, kFixedSeed);
  std::array<double, 5> one{}, two{}, three{};
  dRNUN(*a, 5, one.data());
  dRNUN(*b, 3, two.data());
  dRNUN(*b, 2, two.data() + 3);
  for (double& v : three) v = rn_next(*c);
  EXPECT_EQ(one, two);
  EXPECT_EQ(one, three);
}

TEST(RandomStream, ClockSeeds) {
  struct Case {
    int h, m, s;
    std::int32_t seed;
  };
  const Case cases[] = {{0, 0, 0, 123457}, {0, 0, 1, 2}, {23, 59, 59, 235960}, {12, 34, 56, 123457}};
  for (const Case& c : cases) {
    CapturedSim cs;
    set_clock(*cs, c.h, c.m, c.s);
    std::int32_t seed = 0;
    rn_clock_seed(*cs, seed);
    EXPECT_EQ(seed, c.seed) << c.h << ":" << c.m << ":" << c.s;
  }
}

// Seed 0: the clock seed that counts is the one taken at the first draw.
TEST(RandomStream, SeedZeroTakesTheClockAtTheFirstDraw) {
  CapturedSim cs;
  Sim& sim = *cs;
  set_clock(sim, 1, 2, 3);
  rn_set_seed(sim, 0);
  EXPECT_EQ(sim.numerics.rn.seed, 10204);
  set_clock(sim, 4, 5, 6);
  std::array<double, 3> r{};
  dRNUN(sim, 3, r.data());
  std::minstd_rand0 ref(40507);
  for (double v : r) EXPECT_EQ(v, static_cast<double>(ref()) * kScale);
  // Later draws by other routines do not take the clock again.
  set_clock(sim, 7, 8, 9);
  EXPECT_EQ(rn_next(sim), static_cast<double>(ref()) * kScale);
}

TEST(RandomStream, DrawWithoutSeedingTakesTheClock) {
  CapturedSim cs;
  Sim& sim = *cs;
  set_clock(sim, 0, 10, 0);
  std::minstd_rand0 ref(1001);
  EXPECT_EQ(rn_next(sim), static_cast<double>(ref()) * kScale);
}

TEST(RandomStream, InvalidSeedsAreIgnoredSilently) {
  for (std::int32_t bad : {-5, 2147483647}) {
    CapturedSim cs;
    Sim& sim = *cs;
    rn_set_seed(sim, kFixedSeed);
    rn_next(sim);
    rn_set_seed(sim, bad);
    EXPECT_EQ(sim.numerics.rn.seed, 1503226788) << bad;
    EXPECT_EQ(rn_next(sim), 0.8079235482997836) << bad;
    EXPECT_TRUE(cs.lines().empty());
  }
  // As the first call it only initialises, with a clock seed.
  CapturedSim cs;
  Sim& sim = *cs;
  set_clock(sim, 1, 0, 0);
  rn_set_seed(sim, -5);
  set_clock(sim, 2, 0, 0);
  std::minstd_rand0 ref(10001);
  EXPECT_EQ(rn_next(sim), static_cast<double>(ref()) * kScale);
}

TEST(RandomStream, ZeroCountStopsWithoutDrawing) {
  for (std::int32_t nr : {0, -3}) {
    CapturedSim cs;
    Sim& sim = *cs;
    rn_set_seed(sim, kFixedSeed);
    double r = -1.0;
    EXPECT_TRUE(stops_run([&] { dRNUN(sim, nr, &r); }));
    EXPECT_EQ(r, -1.0);
    EXPECT_EQ(sim.numerics.rn.seed, kFixedSeed);
    const std::string v = std::to_string(nr);
    std::vector<std::string> expected = {"", " *** TERMINAL ERROR 1 from DRNUN.  NR = " + v +
                                                 ".  NR must be greater than or equal"};
    expected.push_back(" ***          to 1.");
    EXPECT_EQ(cs.lines(), expected) << nr;
  }
}

TEST(RandomStream, RangeCheckTextsAndCodes) {
  CapturedSim cs;
  Sim& sim = *cs;
  E1PSH(sim, "R");
  std::int32_t code = 1;
  check_int_range(sim, 5, "N", 1, 0, code);    // no upper bound: passes
  check_int_range(sim, 2, "IOPT", 0, 1, code);  // fails with code 2
  EXPECT_EQ(code, 3);
  EXPECT_EQ(N1RCD(sim, 0), 2);
  const auto lines = cs.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], " *** TERMINAL ERROR 2 from R.  IOPT = 2.  IOPT must be greater than or equal");
  EXPECT_EQ(lines[2], " ***          to 0 and less than or equal to 1.");
  EXPECT_TRUE(stops_run([&] { E1POP(sim, "R"); }));
}

// Variants 3 and 5 against the standard library's engine with the same
// multiplier; the Schrage products against 64-bit products.
TEST(RandomVariants, OtherMultipliersMatchStandardEngines) {
  using E3 = std::linear_congruential_engine<std::uint_fast32_t, 397204094, 0, 2147483647>;
  using E5 = std::linear_congruential_engine<std::uint_fast32_t, 950706376, 0, 2147483647>;
  for (int variant : {3, 5}) {
    CapturedSim cs;
    Sim& sim = *cs;
    rn_set_seed(sim, kFixedSeed);
    rn_init(sim, variant);
    E3 e3(kFixedSeed);
    E5 e5(kFixedSeed);
    for (int k = 0; k < 20000; ++k) {
      const std::uint_fast32_t x = variant == 3 ? e3() : e5();
      ASSERT_EQ(rn_next(sim), static_cast<double>(x) * kScale) << variant << " " << k;
    }
  }
  std::mt19937 gen(7);
  for (std::int32_t a : {16807, 32768, 12121, 23166, 29013, 8392}) {
    for (int k = 0; k < 10000; ++k) {
      const std::int32_t x = static_cast<std::int32_t>(gen() % 2147483647u);
      ASSERT_EQ(rn::mulmod(a, x), static_cast<std::int32_t>(std::int64_t{a} * x % 2147483647));
    }
  }
}

// Shuffled variants: a model of the 128-entry table built from the standard
// engines: fill from the seed with s / m, then each draw returns T(x mod
// 128 + 1) and stores the new deviate there.
TEST(RandomVariants, ShuffledVariantsFollowTheTableRule) {
  for (int variant : {2, 4, 6}) {
    CapturedSim cs;
    Sim& sim = *cs;
    rn_set_seed(sim, kFixedSeed);
    rn_init(sim, variant);
    const std::uint_fast32_t a = variant == 2 ? 16807 : variant == 4 ? 397204094 : 950706376;
    auto next = [a](std::uint_fast32_t x) { return static_cast<std::uint_fast32_t>(std::uint64_t{a} * x % 2147483647u); };
    std::array<double, 129> t{};
    std::array<float, 129> t4{};
    std::uint_fast32_t x = kFixedSeed;
    for (int i = 1; i <= 128; ++i) {
      x = next(x);
      t[static_cast<std::size_t>(i)] = static_cast<double>(x) / 2147483647.0;
    }
    for (int k = 0; k < 5000; ++k) {
      x = next(x);
      const std::size_t j = x % 128 + 1;
      ASSERT_EQ(rn_next(sim), t[j]) << variant << " " << k;
      t[j] = static_cast<double>(x) * kScale;
    }
    // The single-precision routine fills its own table from where the stream is.
    for (int i = 1; i <= 128; ++i) {
      x = next(x);
      t4[static_cast<std::size_t>(i)] = static_cast<float>(static_cast<double>(x) / 2147483647.0);
    }
    for (int k = 0; k < 5000; ++k) {
      x = next(x);
      const std::size_t j = x % 128 + 1;
      ASSERT_EQ(rn_next_r4(sim), t4[j]) << variant << " " << k;
      t4[j] = rn::single_deviate(static_cast<std::int32_t>(x), sim.numerics.rn.single_scale);
    }
  }
}

// The feedback shift register: three jumps of e = (2^522 - 1)/3 places make
// one step of the primitive trinomial recurrence (3e = 1 mod 2^521 - 1), and
// the drawn words obey w(k + 1563) = w(k) xor w(k + 1467).
TEST(RandomVariants, ShiftRegisterJumpAndRecurrence) {
  std::array<std::uint8_t, 1043> b{};
  std::uint32_t v = 12345;
  for (int k = 1; k <= 521; ++k) {
    v *= 69069u;
    b[static_cast<std::size_t>(k)] = static_cast<std::int32_t>(v) > 0;
  }
  for (int k = 1; k <= 521; ++k) b[static_cast<std::size_t>(k + 521)] = b[static_cast<std::size_t>(k)] ^ b[static_cast<std::size_t>(k + 489)];
  const auto P = rn::gfsr_jump_polynomial();
  const auto b4 = rn::gfsr_advance(P, rn::gfsr_advance(P, rn::gfsr_advance(P, b)));
  for (int k = 1; k <= 1041; ++k) ASSERT_EQ(b4[static_cast<std::size_t>(k)], b[static_cast<std::size_t>(k + 1)]) << k;

  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, kFixedSeed);
  rn_init(sim, 7);
  std::vector<std::int32_t> w;
  int ones = 0;
  for (int k = 0; k < 3 * 1563; ++k) {
    const double u = rn_next(sim);
    w.push_back(sim.numerics.rn.seed);
    ASSERT_GE(w.back(), 0);
    ASSERT_EQ(u, static_cast<double>(w.back()) * kScale);
    ASSERT_GE(u, 0.0);
    ASSERT_LE(u, 1.0);
    ones += std::popcount(static_cast<std::uint32_t>(w.back()));
  }
  for (std::size_t k = 0; k + 1563 < w.size(); ++k) ASSERT_EQ(w[k + 1563], w[k] ^ w[k + 1467]) << k;
  // 31 random bits per word: the share of ones is 1/2 within 5 sigma.
  const double nbits = 31.0 * static_cast<double>(w.size());
  EXPECT_NEAR(ones / nbits, 0.5, 5.0 * 0.5 / std::sqrt(nbits));
}

TEST(RandomStream, TwoRunContextsKeepSeparateStreams) {
  CapturedSim a, b;
  rn_set_seed(*a, kFixedSeed);
  rn_set_seed(*b, 1);
  const double a1 = rn_next(*a);
  const double b1 = rn_next(*b);
  const double a2 = rn_next(*a);
  EXPECT_EQ(a1, 0.6999945215415184);
  EXPECT_EQ(b1, 7.826369259425611e-06);
  EXPECT_EQ(a2, 0.8079235482997836);
}

// Mean 1/2, variance 1/12 and a chi-square over 100 equal bins for 10^6
// deviates; limits at 5 standard deviations of each statistic.
TEST(RandomStream, UniformStatistics) {
  CapturedSim cs;
  Sim& sim = *cs;
  rn_set_seed(sim, kFixedSeed);
  const int n = 1000000;
  std::vector<double> r(n);
  dRNUN(sim, n, r.data());
  double sum = 0.0, sum2 = 0.0;
  std::array<int, 100> bins{};
  for (double u : r) {
    sum += u;
    sum2 += u * u;
    ++bins[static_cast<std::size_t>(u * 100.0)];
  }
  const double mean = sum / n;
  const double var = sum2 / n - mean * mean;
  EXPECT_NEAR(mean, 0.5, 5.0 * std::sqrt(1.0 / 12.0 / n));
  EXPECT_NEAR(var, 1.0 / 12.0, 5.0 * std::sqrt(1.0 / 180.0 / n));  // var(u^2 - ...) = 1/180
  double chi2 = 0.0;
  for (int c : bins) chi2 += (c - n / 100.0) * (c - n / 100.0) / (n / 100.0);
  EXPECT_LT(chi2, 99.0 + 5.0 * std::sqrt(2.0 * 99.0));
}

}  // namespace
}  // namespace linac
