// Strided vector kernels: stride conventions, empty counts, the exact
// summation order, and the scaled norm against direct formulas.
#include "numerics/vector_kernels.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace linac {
namespace {

TEST(VectorKernels, EmptyCountsDoNothingAndReturnZero) {
  for (std::int32_t n : {0, -2}) {
    std::array<double, 3> x = {1, 2, 3};
    std::array<double, 3> y = {4, 5, 6};
    std::array<float, 3> f = {1, 2, 3};
    vec_copy(n, x.data(), 1, y.data(), 1);
    vec_scale(n, 2.0, y.data(), 1);
    vec_set(n, 0.0, y.data(), 1);
    vec_add_scaled(n, 2.0, x.data(), 1, y.data(), 1);
    vec_scaled_copy_f32(n, 2.0f, f.data(), 1, f.data(), 1);
    EXPECT_EQ(y, (std::array<double, 3>{4, 5, 6}));
    EXPECT_EQ(f, (std::array<float, 3>{1, 2, 3}));
    EXPECT_EQ(vec_dot(n, x.data(), 1, y.data(), 1), 0.0);
    EXPECT_EQ(vec_abs_sum(n, x.data(), 1), 0.0);
    EXPECT_EQ(vec_norm2(n, x.data(), 1), 0.0);
    EXPECT_EQ(vec_sum_f32(n, f.data(), 1), 0.0f);
    EXPECT_EQ(vec_max_abs_index(n, x.data(), 1), 0);
  }
}

TEST(VectorKernels, StrideConventions) {
  const std::array<double, 3> x = {1, 2, 3};
  std::array<double, 3> y{};
  vec_copy(3, x.data(), -1, y.data(), 1);
  EXPECT_EQ(y, (std::array<double, 3>{3, 2, 1}));
  vec_copy(3, x.data(), 0, y.data(), 1);
  EXPECT_EQ(y, (std::array<double, 3>{1, 1, 1}));
  const std::array<double, 3> w = {10, 100, 1000};
  EXPECT_EQ(vec_dot(3, x.data(), 1, w.data(), -1), 1 * 1000.0 + 2 * 100.0 + 3 * 10.0);
  // Every second element of a length-7 array, walked from either end.
  const std::array<double, 7> s = {1, -9, 2, -9, 3, -9, 4};
  std::array<double, 4> out{};
  vec_copy(4, s.data(), 2, out.data(), 1);
  EXPECT_EQ(out, (std::array<double, 4>{1, 2, 3, 4}));
  vec_copy(4, s.data(), -2, out.data(), 1);
  EXPECT_EQ(out, (std::array<double, 4>{4, 3, 2, 1}));
  std::array<double, 7> t = s;
  vec_scale(4, 2.0, t.data(), 2);
  vec_set(3, 0.0, t.data() + 1, 2);
  EXPECT_EQ(t, (std::array<double, 7>{2, 0, 4, 0, 6, 0, 8}));
  std::array<double, 3> acc = {1, 1, 1};
  vec_add_scaled(3, 2.0, x.data(), 1, acc.data(), -1);  // Y(3) gets X(1)
  EXPECT_EQ(acc, (std::array<double, 3>{7, 5, 3}));
}

// Shifting a list one place up inside one array: source from position 3,
// destination from position 4, both strides -1.
TEST(VectorKernels, OverlappingShiftCopiesFromTheFarEnd) {
  std::array<double, 8> a = {0, 0, 5, 6, 7, 8, 0, 0};
  vec_copy(4, a.data() + 2, -1, a.data() + 3, -1);
  EXPECT_EQ(a, (std::array<double, 8>{0, 0, 5, 5, 6, 7, 8, 0}));
}

TEST(VectorKernels, ZeroMultipleLeavesYBitForBit) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::array<double, 3> x = {inf, -inf, std::nan("")};
  std::array<double, 3> y = {-0.0, 1.5, 3.0};
  const std::array<double, 3> before = y;
  vec_add_scaled(3, 0.0, x.data(), 1, y.data(), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(std::bit_cast<std::uint64_t>(y[i]), std::bit_cast<std::uint64_t>(before[i]));
}

// Sums add from i = 1 upwards: the result equals a plain left-to-right sum
// bit for bit, for any count (covers every remainder of an unrolled loop).
TEST(VectorKernels, SumsRunInIncreasingIndexOrder) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> dist(-1e3, 1e3);
  for (std::int32_t n = 1; n <= 40; ++n) {
    std::vector<double> x(static_cast<std::size_t>(n)), y(static_cast<std::size_t>(n));
    std::vector<float> f(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < x.size(); ++i) {
      x[i] = dist(gen) * std::pow(10.0, static_cast<int>(i % 7) - 3);
      y[i] = dist(gen);
      f[i] = static_cast<float>(dist(gen));
    }
    double dot = 0.0, abs = 0.0, fs = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      dot = dot + x[i] * y[i];
      abs = abs + std::fabs(x[i]);
      fs = fs + static_cast<double>(f[i]);
    }
    EXPECT_EQ(vec_dot(n, x.data(), 1, y.data(), 1), dot) << n;
    EXPECT_EQ(vec_abs_sum(n, x.data(), 1), abs) << n;
    EXPECT_EQ(vec_sum_f32(n, f.data(), 1), static_cast<float>(fs)) << n;
  }
  // 1 + 1e-8 * 3 in single precision loses the small terms; in a 64-bit
  // accumulator they survive until the final rounding.
  const std::array<float, 4> tiny = {1.0f, 4e-8f, 4e-8f, 4e-8f};
  EXPECT_EQ(vec_sum_f32(4, tiny.data(), 1),
            static_cast<float>(1.0 + 3.0 * static_cast<double>(4e-8f)));
  EXPECT_NE(vec_sum_f32(4, tiny.data(), 1), ((1.0f + 4e-8f) + 4e-8f) + 4e-8f);
}

TEST(VectorKernels, NormAvoidsOverflowAndUnderflow) {
  struct Case {
    std::vector<double> x;
    std::int32_t n, inc;
    double expected;
  };
  const std::vector<Case> cases = {
      {{3, 4}, 2, 1, 5.0},
      {{1e200, 1e200}, 2, 1, 1e200 * std::sqrt(2.0)},
      {{1e-200, 1e-200}, 2, 1, 1e-200 * std::sqrt(2.0)},
      {{-2}, 3, 0, 2.0 * std::sqrt(3.0)},
      {{3, 4}, 2, -1, 0.0},
      {{1, 99, 2, 99, 2}, 3, 2, 3.0},
  };
  for (const Case& c : cases) {
    const double r = vec_norm2(c.n, c.x.data(), c.inc);
    if (c.expected == 0.0) {
      EXPECT_EQ(r, 0.0);
    } else {
      EXPECT_NEAR(r / c.expected, 1.0, 4e-16) << c.x[0];
    }
  }
  // The thresholds and scale factors of the scaled cases.
  const double eps = std::numeric_limits<double>::epsilon();
  const double cutlo = std::sqrt(std::numeric_limits<double>::min() / eps);
  const double cuthi = std::sqrt(std::numeric_limits<double>::max() * eps);
  EXPECT_EQ(cutlo, 1.0010415475915505e-146);
  EXPECT_EQ(cuthi, 1.9979190722022348e+146);
  EXPECT_EQ(cutlo / cuthi, 5.010420900022433e-293);
  EXPECT_EQ(cuthi / cutlo, 1.9958403095347196e+292);
  EXPECT_EQ(1.0 / (eps * cutlo), 4.4989137945431964e+161);
  // Random vectors of mixed magnitude against hypot in long double.
  std::mt19937_64 gen(5);
  std::uniform_real_distribution<double> mant(0.5, 1.0);
  for (int exp10 : {-300, -150, -100, 0, 100, 150, 300}) {
    std::vector<double> x(17);
    long double ref = 0.0L;
    for (double& v : x) {
      v = mant(gen) * std::pow(10.0, exp10);
      ref = std::hypot(ref, static_cast<long double>(v));
    }
    EXPECT_NEAR(vec_norm2(17, x.data(), 1) / static_cast<double>(ref), 1.0, 1e-14) << exp10;
  }
}

TEST(VectorKernels, MaxAbsIndexKeepsTheFirstOfTies) {
  const std::array<double, 3> a = {1, -3, 3};
  const std::array<double, 3> z = {0, 0, 0};
  const std::array<double, 5> s = {1, 0, -7, 0, 7};
  EXPECT_EQ(vec_max_abs_index(3, a.data(), 1), 2);
  EXPECT_EQ(vec_max_abs_index(3, z.data(), 1), 1);
  EXPECT_EQ(vec_max_abs_index(1, a.data(), 1), 1);
  EXPECT_EQ(vec_max_abs_index(3, s.data(), 2), 2);
}

TEST(VectorKernels, SingleScaledCopyInPlace) {
  std::array<float, 4> x = {1.0f, 3.0f, -5.0f, 0.1f};
  const std::array<float, 4> orig = x;
  std::array<float, 4> y{};
  vec_scaled_copy_f32(4, 0.5f, x.data(), 1, y.data(), 1);
  EXPECT_EQ(x, orig);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(y[i], orig[i] * 0.5f);
  vec_scaled_copy_f32(4, 0.5f, x.data(), 1, x.data(), 1);
  EXPECT_EQ(x, y);
  // The product is rounded once to single precision.
  std::array<float, 1> t = {0.1f};
  std::array<float, 1> u{};
  vec_scaled_copy_f32(1, 3.0f, t.data(), 1, u.data(), 1);
  EXPECT_EQ(u[0], static_cast<float>(3.0 * static_cast<double>(0.1f)));
}

}  // namespace
}  // namespace linac
