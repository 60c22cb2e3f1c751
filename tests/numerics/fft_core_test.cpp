// The real FFT and sine transform objects against direct O(N^2) sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "numerics/fft.hpp"
#include "numerics/sine_transform.hpp"

namespace linac {
namespace {

// Direct real DFT in the coefficient order of the forward transform, in
// long double with exact integer phase reduction (k j mod N).
std::vector<long double> direct_dft(const std::vector<double>& x) {
  const int n = static_cast<int>(x.size());
  std::vector<long double> c(n, 0.0L);
  const long double two_pi = 2.0L * std::numbers::pi_v<long double>;
  auto cs = [&](int k, bool sine) {
    long double s = 0.0L;
    for (int j = 0; j < n; ++j) {
      const long double a = two_pi * static_cast<long double>((static_cast<long long>(k) * j) % n) / n;
      s += x[j] * (sine ? std::sin(a) : std::cos(a));
    }
    return s;
  };
  c[0] = cs(0, false);
  for (int k = 1; k <= (n - 1) / 2; ++k) {
    c[2 * k - 1] = cs(k, false);
    c[2 * k] = -cs(k, true);
  }
  if (n % 2 == 0) c[n - 1] = cs(n / 2, false);
  return c;
}

std::vector<long double> direct_dst(const std::vector<double>& x) {
  const int n = static_cast<int>(x.size());
  std::vector<long double> c(n, 0.0L);
  const long double pi = std::numbers::pi_v<long double>;
  for (int m = 1; m <= n; ++m) {
    long double s = 0.0L;
    for (int k = 1; k <= n; ++k)
      s += x[k - 1] * std::sin(pi * static_cast<long double>((static_cast<long long>(m) * k) % (2 * (n + 1))) / (n + 1));
    c[m - 1] = 2.0L * s;
  }
  return c;
}

// Rounding bound of one transform: each pass of factor f adds errors of
// about eps f^(3/2) |x|_2 to a coefficient (the general odd-factor pass
// forms its rotations by a recurrence over f steps and sums f terms), so
// the bound is c eps |x|_2 sum_f f max(1, sqrt f) with a safety factor c = 4.
double error_bound(const std::vector<int>& factors, double norm2) {
  double s = 0.0;
  for (int f : factors) s += f * std::max(1.0, std::sqrt(static_cast<double>(f)));
  return 4.0 * 2.220446049250313e-16 * std::max(s, 1.0) * norm2;
}

double norm2(const std::vector<double>& x) {
  double s = 0.0;
  for (double v : x) s += v * v;
  return std::sqrt(s);
}

std::vector<double> random_seq(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> x(n);
  for (auto& v : x) v = u(gen);
  return x;
}

// Lengths: every radix pass (2, 3, 4, 5), general odd factors, primes and
// the odd lengths of the on-axis solenoid tables.
const int kLengths[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,   11,  12,  13,  14,  15,  16,
                        17, 24, 25, 30, 31, 32, 49, 60, 64,  77,  89,  97,  121, 127, 128,
                        255, 256, 257, 360, 797, 801, 1000, 1001};

TEST(RealFftCore, MatchesDirectDftAndRoundTrips) {
  for (int n : kLengths) {
    SCOPED_TRACE(n);
    const auto x = random_seq(n, 17u + n);
    RealFftTable t(n);
    std::vector<double> c = x;
    t.forward(c.data());
    const auto ref = direct_dft(x);
    // Rounding of an FFT grows like eps * log N times the size of the sums.
    const double tol = error_bound(t.factors(), norm2(x));
    for (int k = 0; k < n; ++k) EXPECT_NEAR(c[k], static_cast<double>(ref[k]), tol) << k;
    // Backward of coefficients of norm sqrt(N) |x|: twice the passes.
    t.backward(c.data());
    for (int k = 0; k < n; ++k) EXPECT_NEAR(c[k], n * x[k], 2.0 * tol * std::sqrt(n)) << k;
  }
}

TEST(SineCore, MatchesDirectDstAndRoundTrips) {
  for (int n = 2; n <= 140; ++n) {
    SCOPED_TRACE(n);
    const auto x = random_seq(n, 99u + n);
    SineTable t(n);
    std::vector<double> c(n);
    t.transform(x.data(), c.data());
    const auto ref = direct_dst(x);
    // The fold doubles the values it feeds to the FFT of length N+1.
    const double tol = 2.0 * error_bound(t.fft().factors(), norm2(x));
    for (int k = 0; k < n; ++k) EXPECT_NEAR(c[k], static_cast<double>(ref[k]), tol) << k;
    t.transform(c.data(), c.data());
    for (int k = 0; k < n; ++k)
      EXPECT_NEAR(c[k], 2.0 * (n + 1) * x[k], 2.0 * tol * std::sqrt(2.0 * (n + 1))) << k;
  }
}

}  // namespace
}  // namespace linac
