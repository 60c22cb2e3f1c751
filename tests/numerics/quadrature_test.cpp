// Adaptive quadrature: the 21-point rule's exactness on polynomials, known
// integrals with end-point and interior singularities and oscillation,
// every outcome code with its message, and the argument checks.
#include "numerics/quadrature.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "lib_messages.hpp"
#include "numerics/special_functions.hpp"
#include "numerics_test_support.hpp"

namespace linac {
namespace {

using namespace testing;

// The Kronrod sum integrates x^k exactly over [-1, 1] up to k = 31 (3n + 1
// for n = 10 Gauss nodes), the Gauss sum up to k = 19 (2n - 1): a wrong
// digit in any node or weight breaks one of these.
TEST(Quadrature, RuleIsExactOnPolynomials) {
  for (int k = 0; k <= 31; ++k) {
    auto f = [k](double x) { return std::pow(x, k); };
    const double exact = k % 2 == 0 ? 2.0 / (k + 1) : 0.0;
    const auto [kron, gauss] = gauss_kronrod21_sums(f);
    EXPECT_NEAR(kron, exact, 4e-16) << k;
    if (k <= 19) {
      EXPECT_NEAR(gauss, exact, 4e-16) << k;
    }
  }
  // Degree 20 is beyond the Gauss rule: the two sums differ.
  const auto [k20, g20] = gauss_kronrod21_sums([](double x) { return std::pow(x, 20); });
  EXPECT_GT(std::fabs(k20 - g20), 1e-8);
}

struct QuadRun {
  double result = 0.0, error = 0.0;
  std::int32_t nfcall = 0, nsub = 0;
  bool stopped = false;
};

QuadRun integrate(CapturedSim& cs, const Integrand& f, double a, double b, double errabs,
              double errrel, int maxsub = 500) {
  QuadRun r;
  std::vector<double> sa(maxsub), sb(maxsub), sr(maxsub), se(maxsub);
  std::vector<std::int32_t> so(maxsub);
  r.stopped = stops_run([&] {
    DQ2AGS(*cs, f, a, b, errabs, errrel, r.result, r.error, maxsub, r.nfcall, r.nsub, sa, sb, sr,
           se, so);
  });
  return r;
}

TEST(Quadrature, CubicInOneRuleAndTrivialIntervals) {
  CapturedSim cs;
  auto cubic = [](double x) { return 1.0 - 2.0 * x + 3.0 * x * x * x; };
  QuadRun r = integrate(cs, cubic, 0.0, 1.0, 0.0, 1e-10);
  EXPECT_NEAR(r.result, 1.0 - 1.0 + 0.75, 1e-15);
  EXPECT_EQ(r.nfcall, 21);
  EXPECT_EQ(r.nsub, 1);
  QuadRun same = integrate(cs, cubic, 0.7, 0.7, 0.0, 1e-10);
  EXPECT_EQ(same.result, 0.0);
  EXPECT_EQ(same.error, 0.0);
  QuadRun rev = integrate(cs, cubic, 1.0, 0.0, 0.0, 1e-10);
  EXPECT_EQ(rev.result, -r.result);
  // An empty interval at a point where the integrand is infinite: still 0,
  // without a message.
  QuadRun pole = integrate(cs, [](double s) { return 1.0 / std::sqrt(s * s * s); }, 0.0, 0.0, 0.0, 1e-4);
  EXPECT_EQ(pole.result, 0.0);
  EXPECT_EQ(pole.error, 0.0);
  EXPECT_FALSE(pole.stopped);
  EXPECT_TRUE(cs.lines().empty());
}

// Known integrals that need subdivision and extrapolation: the result is
// within the requested tolerance and the error estimate covers the true
// error.
TEST(Quadrature, SingularAndOscillatoryIntegrands) {
  struct Case {
    const char* name;
    Integrand f;
    double a, b, exact;
  };
  const std::vector<Case> cases = {
      {"x^(-1/2)", [](double x) { return 1.0 / std::sqrt(x); }, 0.0, 1.0, 2.0},
      {"ln(x)/sqrt(x)", [](double x) { return std::log(x) / std::sqrt(x); }, 0.0, 1.0, -4.0},
      {"ln(x)", [](double x) { return std::log(x); }, 0.0, 1.0, -1.0},
      {"x^(-0.9)", [](double x) { return std::pow(x, -0.9); }, 0.0, 1.0, 10.0},
      {"|x-1/3|^(-1/2)", [](double x) { return 1.0 / std::sqrt(std::fabs(x - 1.0 / 3.0)); }, 0.0,
       1.0, 2.0 * (std::sqrt(1.0 / 3.0) + std::sqrt(2.0 / 3.0))},
      {"cos(100x)", [](double x) { return std::cos(100.0 * x); }, 0.0, 1.0, std::sin(100.0) / 100.0},
      {"x sin(30x)", [](double x) { return x * std::sin(30.0 * x); }, 0.0, 2.0 * std::numbers::pi,
       -2.0 * std::numbers::pi / 30.0},
      {"step", [](double x) { return x < 1.0 / 3.0 ? 0.0 : 1.0; }, 0.0, 1.0, 2.0 / 3.0},
  };
  for (const Case& c : cases) {
    CapturedSim cs;
    const double errrel = 1e-10;
    QuadRun r = integrate(cs, c.f, c.a, c.b, 0.0, errrel);
    EXPECT_FALSE(r.stopped) << c.name;
    EXPECT_TRUE(cs.lines().empty()) << c.name;
    EXPECT_NEAR(r.result, c.exact, errrel * std::fabs(c.exact)) << c.name;
    EXPECT_GE(r.error, std::fabs(r.result - c.exact) * 0.999) << c.name;
    EXPECT_GT(r.nsub, 1) << c.name;
    EXPECT_EQ(r.nfcall, 42 * r.nsub - 21) << c.name;
  }
  // DQDAGS gives the same as DQ2AGS with 500 subintervals.
  CapturedSim cs;
  double res = 0.0, err = 0.0;
  DQDAGS(*cs, [](double x) { return std::log(x) / std::sqrt(x); }, 0.0, 1.0, 0.0, 1e-10, res, err);
  EXPECT_NEAR(res, -4.0, 4e-10);
}

// A warning of DQDAGS names the interval of its call when the first rule
// over that interval already fails (an integrand infinite at the centre
// node), in the layout of the library messages.
TEST(Quadrature, DqdagsWarningNamesTheIntervalOfTheCall) {
  CapturedSim cs;
  double res = 0.0, err = 0.0;
  EXPECT_FALSE(stops_run([&] {
    DQDAGS(*cs, [](double x) { return 1.0 / ((x - 1.5) * (x - 1.5)); }, 0.5, 2.5, 0.0, 1e-4, res, err);
  }));
  EXPECT_EQ(library_messages(cs),
            Lines{"WARNING ERROR 3 from DQDAGS. Precision is degraded due to too fine a subdivision "
                  "relative to the requested tolerance. This may be due to bad integrand behavior in "
                  "the interval (5.000000000000000D-01,2.500000000000000D+00). Higher precision may "
                  "alleviate this problem."});
}

// Each outcome: its type, code and text; FATAL stops the run when the
// routine returns to the system, WARNING lets it go on.
TEST(Quadrature, OutcomeCodesAndMessages) {
  struct Case {
    const char* name;
    Integrand f;
    double errrel;
    int maxsub;
    bool stops;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"MAXSUB reached", [](double x) { return std::log(x); }, 1e-12, 3, true,
       "FATAL ERROR 1 from DQ2AGS. The maximum number of subintervals allowed MAXSUB = 3 has "
       "been reached. Use DQ2AGS and increase MAXSUB. Dimension adjustments may be necessary."},
      {"1/x is not integrable", [](double x) { return 1.0 / x; }, 1e-6, 500, true,
       "FATAL ERROR 1 from DQ2AGS. The maximum number of subintervals allowed MAXSUB = 500 has "
       "been reached. Use DQ2AGS and increase MAXSUB. Dimension adjustments may be necessary."},
      {"tolerance below rounding", [](double x) { return x * x; }, 1e-20, 500, false,
       "WARNING ERROR 2 from DQ2AGS. Roundoff error has been detected. The requested tolerances, "
       "ERRABS = 0.000000000000000D+00 and ERRREL = 9.999999999999999D-21, cannot be reached."},
      {"interior pole", [](double x) { return 1.0 / std::fabs(x - 1.0 / 3.0); }, 1e-8, 500, false,
       "WARNING ERROR 3 from DQ2AGS. Precision is degraded due to too fine a subdivision "
       "relative to the requested tolerance. This may be due to bad integrand behavior in the "
       "interval (%, %). Higher precision may alleviate this problem."},
      {"extrapolation roundoff", [](double x) { return 1.0 / std::sqrt(x); }, 1e-15, 500, false,
       "WARNING ERROR 4 from DQ2AGS. Roundoff error has been detected in the extrapolation "
       "table. The requested tolerances, ERRABS = 0.000000000000000D+00 and ERRREL = "
       "1.000000000000000D-15 cannot be reached."},
      {"divergent", [](double x) { return std::pow(x, -1.5); }, 1e-6, 500, true,
       "FATAL ERROR 5 from DQ2AGS. Integral is probably divergent or slowly convergent."},
      {"infinite at a node", [](double x) { return 1.0 / ((x - 0.5) * (x - 0.5)); }, 1e-8, 500,
       false,
       "WARNING ERROR 3 from DQ2AGS. Precision is degraded due to too fine a subdivision "
       "relative to the requested tolerance. This may be due to bad integrand behavior in the "
       "interval (0.000000000000000D+00,1.000000000000000D+00). Higher precision may alleviate "
       "this problem."},
  };
  for (const Case& c : cases) {
    CapturedSim cs;
    QuadRun r = integrate(cs, c.f, 0.0, 1.0, 0.0, c.errrel, c.maxsub);
    EXPECT_EQ(r.stopped, c.stops) << c.name;
    const Lines msgs = library_messages(cs);
    ASSERT_EQ(msgs.size(), 1u) << c.name;
    const auto hole = c.message.find("(%, %)");
    if (hole == std::string::npos) {
      EXPECT_EQ(msgs[0], c.message) << c.name;
    } else {
      // The subinterval named must be a tiny one around the pole at 1/3.
      EXPECT_EQ(msgs[0].substr(0, hole), c.message.substr(0, hole));
      const auto close = msgs[0].find(')', hole);
      ASSERT_NE(close, std::string::npos);
      EXPECT_EQ(msgs[0].substr(close + 1), c.message.substr(hole + 6));
      std::string ends = msgs[0].substr(hole + 1, close - hole - 1);
      for (char& ch : ends)
        if (ch == 'D') ch = 'E';
      const double lo = std::stod(ends.substr(0, ends.find(',')));
      const double hi = std::stod(ends.substr(ends.find(',') + 1));
      EXPECT_LT(lo, 1.0 / 3.0);
      EXPECT_GT(hi, 1.0 / 3.0);
      EXPECT_LT(hi - lo, 1e-12);
    }
  }
}

TEST(Quadrature, EveryArgumentErrorIsPrinted) {
  CapturedSim cs;
  QuadRun r = integrate(cs, [](double x) { return x; }, 0.0, 1.0, -1.0, -2.0, 0);
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(library_messages(cs),
            (Lines{"TERMINAL ERROR 1 from DQ2AGS. The maximum number of subintervals MAXSUB = 0. "
                   "It must be at least 1.",
                   "TERMINAL ERROR 2 from DQ2AGS. The absolute error desired ERRABS = "
                   "-1.000000000000000D+00. It must be at least zero.",
                   "TERMINAL ERROR 3 from DQ2AGS. The relative error desired ERRREL = "
                   "-2.000000000000000D+00. It must be at least zero."}));
  CapturedSim cs4;
  EXPECT_TRUE(integrate(cs4, [](double x) { return x; }, 0.0, 1.0, 0.0, 0.0).stopped);
  EXPECT_EQ(library_messages(cs4),
            Lines{"TERMINAL ERROR 4 from DQ2AGS. The error tolerance arguments ERRABS and ERRREL "
                  "are both equal to zero. At least one of them must be greater than zero."});
  CapturedSim cs5;
  double res = 0.0, err = 0.0;
  EXPECT_TRUE(stops_run([&] { DQDAGS(*cs5, [](double x) { return x; }, 0.0, 1.0, 0.0, 1.0, res, err); }));
  EXPECT_EQ(library_messages(cs5),
            Lines{"TERMINAL ERROR 5 from DQ2AGS. The relative error desired ERRREL = "
                  "1.000000000000000D+00. When ERRREL is greater than or equal to one, zero can "
                  "always be returned as an answer."});
}

// A library warning raised inside the integrand is reported as coming from
// the user's own call: printed when that routine returns, under its name.
TEST(Quadrature, IntegrandRunsAsUserCode) {
  CapturedSim cs;
  Sim& sim = *cs;
  const std::vector<double> series{2.0, 0.0};
  int calls = 0;
  auto f = [&](double x) {
    ++calls;
    return x + (calls == 1 ? DCSEVL(sim, 5.0, series, 2) - 1.0 : 0.0);
  };
  double res = 0.0, err = 0.0;
  EXPECT_FALSE(stops_run([&] { DQDAGS(sim, f, 0.0, 1.0, 0.0, 1e-10, res, err); }));
  EXPECT_EQ(library_messages(cs),
            Lines{"WARNING ERROR 7 from DCSEVL. The argument X = 5.000000000000000D+00 is outside "
                  "the interval (-1.1,+1.1)."});
  EXPECT_EQ(sim.numerics.errors.level, 1);
}

}  // namespace
}  // namespace linac
