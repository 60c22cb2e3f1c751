// Cubic splines: a not-a-knot spline through data of a cubic polynomial is
// that cubic (values, derivatives, integrals, also beyond the ends); the
// special cases of two and three points; order of the abscissae; the
// messages for bad arguments and equal abscissae.
#include "numerics/spline.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "numerics/lib_errors.hpp"
#include "lib_messages.hpp"
#include "numerics_test_support.hpp"

namespace linac {
namespace {

using namespace testing;

// p(x) = 1.5 - 2x + 0.75x^2 + 0.3x^3 and its derivatives and integral.
double p(double x) { return 1.5 - 2.0 * x + 0.75 * x * x + 0.3 * x * x * x; }
double dp(double x, int k) {
  switch (k) {
    case 0: return p(x);
    case 1: return -2.0 + 1.5 * x + 0.9 * x * x;
    case 2: return 1.5 + 1.8 * x;
    case 3: return 1.8;
    default: return 0.0;
  }
}
double P(double x) { return 1.5 * x - x * x + 0.25 * x * x * x + 0.075 * x * x * x * x; }

// Unevenly spaced abscissae on [-1, 2].
std::vector<double> uneven(int n) {
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / (n - 1);
    x[i] = -1.0 + 3.0 * t * t * (1.5 - 0.5 * t) + 0.01 * std::sin(7.0 * i) * (i > 0 && i < n - 1);
  }
  return x;
}

TEST(CubicSpline, ReproducesACubicExactly) {
  for (int n : {4, 5, 7, 30}) {
    SCOPED_TRACE(n);
    CapturedSim cs;
    Sim& sim = *cs;
    const auto x = uneven(n);
    std::vector<double> f(n);
    for (int i = 0; i < n; ++i) f[i] = p(x[i]);
    CubicSpline s;
    DCSINT(sim, n, x, f, s);
    ASSERT_EQ(s.nintv(), n - 1);
    // Rounding: the data carry errors of eps max|f|; the slope system
    // (diagonally dominant) passes them on with a factor of order 10, and
    // derivative k of a piece divides them by its step^k. Beyond the ends
    // the end pieces are evaluated at up to 1 step outside, which adds the
    // powers of (distance / step).
    double fmax = 0.0, hmin = 1e300;
    for (int i = 0; i < n; ++i) fmax = std::max(fmax, std::fabs(f[i]));
    for (int i = 1; i < n; ++i) hmin = std::min(hmin, x[i] - x[i - 1]);
    const double eps = 2.220446049250313e-16;
    auto tol = [&](int k, double t) {
      const double out = std::max({0.0, x[0] - t, t - x[n - 1]});
      return 64.0 * eps * fmax * std::pow(1.0 + out / hmin, 3) / std::pow(hmin, k);
    };
    for (double t : {-1.5, -1.0, -0.3, 0.0, 0.7, 1.234, 2.0, 2.6}) {
      for (int k = 0; k <= 4; ++k)
        EXPECT_NEAR(DPPDER(sim, k, t, 4, s.nintv(), s.BREAK, s.CSCOEF), dp(t, k), tol(k, t))
            << "x = " << t << " derivative " << k;
      EXPECT_NEAR(DCSVAL(sim, t, s.nintv(), s), p(t), tol(0, t));
    }
    const double limits[][2] = {{-1.0, 2.0}, {0.2, 0.25}, {2.0, -1.0}, {-1.7, 2.9}, {0.5, 0.5}};
    for (const auto& ab : limits)
      EXPECT_NEAR(DCSITG(sim, ab[0], ab[1], s.nintv(), s), P(ab[1]) - P(ab[0]),
                  (std::fabs(ab[1] - ab[0]) + 1.0) * std::max(tol(0, ab[0]), tol(0, ab[1])))
          << ab[0] << " " << ab[1];
    EXPECT_TRUE(cs.lines().empty());
  }
}

TEST(CubicSpline, TwoPointsGiveTheLineAndThreeTheParabola) {
  CapturedSim cs;
  Sim& sim = *cs;
  CubicSpline line;
  DCSINT(sim, 2, std::vector<double>{1.0, 3.0}, std::vector<double>{2.0, -2.0}, line);
  for (double t : {-1.0, 1.0, 2.5, 3.0, 7.0})
    EXPECT_NEAR(DCSVAL(sim, t, 1, line), 2.0 - 2.0 * (t - 1.0), 1e-14);
  EXPECT_NEAR(DCSITG(sim, 0.0, 4.0, 1, line), 0.0, 1e-14);

  // q(x) = 3 - x + 2x^2 through three uneven points.
  auto q = [](double t) { return 3.0 - t + 2.0 * t * t; };
  const std::vector<double> x{-0.5, 0.1, 1.7};
  CubicSpline par;
  DCSINT(sim, 3, x, std::vector<double>{q(x[0]), q(x[1]), q(x[2])}, par);
  for (double t : {-2.0, -0.5, 0.0, 0.9, 1.7, 3.0}) EXPECT_NEAR(DCSVAL(sim, t, 2, par), q(t), 1e-13);
  EXPECT_NEAR(DPPDER(sim, 3, 0.3, 4, 2, par.BREAK, par.CSCOEF), 0.0, 1e-12);
}

// End conditions 1 (slope) and 2 (second derivative) with the exact end
// values of the cubic reproduce it as well, in every combination.
TEST(CubicSpline, PrescribedEndDerivativesReproduceTheCubic) {
  CapturedSim cs;
  Sim& sim = *cs;
  for (int n : {2, 3, 6}) {
    const auto x = uneven(n);
    std::vector<double> f(n);
    for (int i = 0; i < n; ++i) f[i] = p(x[i]);
    for (int il = 0; il <= 2; ++il) {
      for (int ir = 0; ir <= 2; ++ir) {
        if (n < 4 && (il == 0 || ir == 0)) continue;  // not-a-knot needs 4 points for a cubic
        SCOPED_TRACE(std::to_string(n) + " " + std::to_string(il) + " " + std::to_string(ir));
        std::vector<double> brk(n), coef(4 * n);
        std::vector<std::int32_t> iwk(n);
        DC2DEC(sim, n, x, f, il, il ? dp(x[0], il) : 0.0, ir, ir ? dp(x[n - 1], ir) : 0.0, brk,
               coef, iwk);
        for (double t : {-1.0, 0.1, 1.3, 2.0})
          EXPECT_NEAR(DPPDER(sim, 0, t, 4, n - 1, brk, coef), p(t), 1e-12);
      }
    }
  }
  EXPECT_TRUE(cs.lines().empty());
}

TEST(CubicSpline, OrderOfAbscissaeDoesNotMatter) {
  CapturedSim cs;
  Sim& sim = *cs;
  const int n = 9;
  std::vector<double> x(n), f(n);
  for (int i = 0; i < n; ++i) {
    x[i] = 0.3 * i + 0.05 * i * i;
    f[i] = std::cos(x[i]);
  }
  CubicSpline sorted;
  DCSINT(sim, n, x, f, sorted);
  std::vector<int> idx(n);
  for (int i = 0; i < n; ++i) idx[i] = i;
  std::vector<std::vector<int>> orders = {{8, 7, 6, 5, 4, 3, 2, 1, 0}};
  std::mt19937 gen(5);
  std::shuffle(idx.begin(), idx.end(), gen);
  orders.push_back(idx);
  for (const auto& ord : orders) {
    std::vector<double> xs(n), fs(n);
    for (int i = 0; i < n; ++i) {
      xs[i] = x[ord[i]];
      fs[i] = f[ord[i]];
    }
    CubicSpline other;
    DCSINT(sim, n, xs, fs, other);
    EXPECT_EQ(other.BREAK, sorted.BREAK);
    for (int k = 0; k < 4 * (n - 1); ++k) EXPECT_EQ(other.CSCOEF[k], sorted.CSCOEF[k]) << k;
  }
  // Each caller's spline stays valid after another is built.
  CubicSpline second;
  DCSINT(sim, 3, std::vector<double>{0, 1, 2}, std::vector<double>{5, 5, 5}, second);
  EXPECT_NEAR(DCSVAL(sim, x[3], n - 1, sorted), f[3], 1e-15);
  // Evaluation order does not change values (remembered piece).
  std::vector<double> pts;
  for (int k = 0; k < 40; ++k) pts.push_back(-0.5 + 0.1 * k);
  std::vector<double> forward;
  for (double t : pts) forward.push_back(DCSVAL(sim, t, n - 1, sorted));
  std::shuffle(idx.begin(), idx.end(), gen);
  for (int k = 39; k >= 0; --k) EXPECT_EQ(DCSVAL(sim, pts[k], n - 1, sorted), forward[k]);
}

TEST(CubicSpline, EvaluationAtABreakUsesThePieceStartingThere) {
  CapturedSim cs;
  Sim& sim = *cs;
  const std::vector<double> x{0.0, 1.0, 2.5, 3.0, 4.5};
  const std::vector<double> f{0.0, 2.0, -1.0, 0.5, 3.0};
  CubicSpline s;
  DCSINT(sim, 5, x, f, s);
  for (int j = 1; j <= 4; ++j) {
    // The third derivative jumps at interior breaks: from the right it is
    // the coefficient of piece j.
    EXPECT_EQ(DPPDER(sim, 3, x[j - 1], 4, 4, s.BREAK, s.CSCOEF), s.CSCOEF[4 * (j - 1) + 3]);
    EXPECT_EQ(DCSVAL(sim, x[j - 1], 4, s), f[j - 1]);
  }
  std::int32_t left = 3;
  pp_interval(4, 4, s.BREAK, -7.0, left);
  EXPECT_EQ(left, 1);
  pp_interval(4, 4, s.BREAK, 99.0, left);
  EXPECT_EQ(left, 4);
  pp_interval(4, 4, s.BREAK, 2.5, left);
  EXPECT_EQ(left, 3);
}

TEST(CubicSpline, EqualAbscissaeStopTheRunFromDC1SOR) {
  CapturedSim cs;
  Sim& sim = *cs;
  CubicSpline s;
  EXPECT_TRUE(stops_run([&] {
    DCSINT(sim, 4, std::vector<double>{0, 1, 1, 2}, std::vector<double>{0, 1, 2, 3}, s);
  }));
  EXPECT_EQ(cs.lines(), kEqualAbscissaeMessage);

  // Unsorted data: the positions in XDATA of the two equal values.
  CapturedSim cs2;
  EXPECT_TRUE(stops_run([&] {
    DCSINT(*cs2, 4, std::vector<double>{2, 1, 0, 1}, std::vector<double>{0, 1, 2, 3}, s);
  }));
  ASSERT_GE(cs2.lines().size(), 3u);
  EXPECT_EQ(cs2.lines()[2], " ***          XDATA, must be distinct, but XDATA(2) = XDATA(4) = ");
}

TEST(CubicSpline, ArgumentErrorsAreReportedInOrder) {
  {
    CapturedSim cs;
    CubicSpline s;
    EXPECT_TRUE(stops_run([&] {
      DCSINT(*cs, 1, std::vector<double>{0}, std::vector<double>{0}, s);
    }));
    EXPECT_EQ(cs.lines(),
              (Lines{"", " *** TERMINAL ERROR 1 from DCSINT.  The number of data points must be 2 or",
                     " ***          more while NDATA = 1 is given."}));
  }
  {
    // Every failing check of DC2DEC is printed before the stop.
    CapturedSim cs;
    std::vector<double> x{0, 1, 2}, b(3), c(12);
    std::vector<std::int32_t> iwk(3);
    EXPECT_TRUE(stops_run([&] { DC2DEC(*cs, 3, x, x, 3, 0.0, -1, 0.0, b, c, iwk); }));
    EXPECT_EQ(library_messages(cs),
              (Lines{"TERMINAL ERROR 2 from DC2DEC. The argument ILEFT = 3. It must be 0, 1 or 2.",
                     "TERMINAL ERROR 3 from DC2DEC. The argument IRIGHT = -1. It must be 0, 1 or "
                     "2."}));
  }
  {
    CapturedSim cs;
    std::vector<double> b{0, 1}, c(8);
    EXPECT_TRUE(stops_run([&] { DPPDER(*cs, -1, 0.5, 0, 0, b, c); }));
    EXPECT_EQ(library_messages(cs),
              (Lines{"TERMINAL ERROR 1 from DPPDER. The number of intervals must be at least 1 "
                     "while NINTV = 0 is given.",
                     "TERMINAL ERROR 2 from DPPDER. The order of the derivative must be positive "
                     "while IDERIV = -1 is given.",
                     "TERMINAL ERROR 3 from DPPDER. The order of the interpolating polynomial must "
                     "be positive while KORDER = 0 is given."}));
  }
  {
    CapturedSim cs;
    std::vector<double> ra(1);
    std::vector<std::int32_t> ip(1);
    EXPECT_TRUE(stops_run([&] { DSVRGP(*cs, 0, ra, ra, ip); }));
    EXPECT_EQ(library_messages(cs),
              (Lines{"TERMINAL ERROR 1 from DSVRGP. The length of vectors RA, RB and IPERM must be "
                     "greater than or equal to one. On input the length, N, is given as 0."}));
  }
}

// A spline evaluated with another interval count, or pieces read past the
// end of short arrays, is reported and nothing is read.
TEST(CubicSpline, MismatchedIntervalCountIsReported) {
  CapturedSim cs;
  Sim& sim = *cs;
  CubicSpline s;
  DCSINT(sim, 4, std::vector<double>{0, 1, 2, 3}, std::vector<double>{0, 1, 4, 9}, s);
  EXPECT_TRUE(stops_run([&] { DCSVAL(sim, 0.5, 4, s); }));
  EXPECT_EQ(library_messages(cs),
            (Lines{"TERMINAL ERROR 1 from DCSVAL. The spline holds NINTV = 3 intervals, but NINTV "
                   "= 4 is given. A spline is used only with the interval count it was built "
                   "with."}));
  CapturedSim cs2;
  std::vector<double> b{0, 1}, c(4);
  EXPECT_TRUE(stops_run([&] { DPPITG(*cs2, 0.0, 1.0, 4, 3, b, c); }));
  EXPECT_EQ(library_messages(cs2),
            (Lines{"TERMINAL ERROR 3 from DPPITG. The arrays must hold 4 values for the arguments "
                   "given, but only 2 are provided."}));
  // Break points enough, coefficients short (4 x 2 needed): the message
  // gives the coefficients' need and length.
  CapturedSim cs3;
  std::vector<double> b3{0, 1, 2}, c5(5);
  EXPECT_TRUE(stops_run([&] { DPPDER(*cs3, 0, 0.5, 4, 2, b3, c5); }));
  EXPECT_EQ(library_messages(cs3),
            (Lines{"TERMINAL ERROR 4 from DPPDER. The arrays must hold 8 values for the arguments "
                   "given, but only 5 are provided."}));
}

}  // namespace
}  // namespace linac
