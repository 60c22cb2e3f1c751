// General linear systems: small systems with known solutions, the
// transposed system, scaled pivoting, singular and ill-conditioned
// matrices with their messages, and double-double accumulation.
#include "numerics/linear_systems.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "lib_messages.hpp"
#include "numerics_test_support.hpp"

namespace linac {
namespace {

using namespace testing;
using Vec = std::vector<double>;

TEST(LinearSystems, SmallSystemsWithKnownSolutions) {
  CapturedSim cs;
  Sim& sim = *cs;
  Vec x(1);
  DLSARG(sim, 1, Vec{2.0}, 1, Vec{4.0}, 1, x);
  EXPECT_EQ(x, Vec{2.0});
  // A (by columns) = [[2, 1, 0], [1, 3, 1], [0, 1, 4]] with leading
  // dimension 4; x = (1, -2, 3): A x = (0, -2, 10), A^T x = (0, -2, 10)
  // (A symmetric) -- use a non-symmetric one for the transpose.
  const Vec a{2, 1, 0, 99, 4, 3, 1, 99, 0, 1, 4, 99};  // columns (2,1,0), (4,3,1), (0,1,4)
  const Vec xs{1.0, -2.0, 3.0};
  Vec b(3), bt(3);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      b[i] += a[i + 4 * j] * xs[j];
      bt[i] += a[j + 4 * i] * xs[j];
    }
  Vec sol(3), solt(3);
  DLSARG(sim, 3, a, 4, b, 1, sol);
  DLSARG(sim, 3, a, 4, bt, 2, solt);
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(sol[i], xs[i], 4e-16 * 4);
    EXPECT_NEAR(solt[i], xs[i], 4e-16 * 4);
  }
  // b = 0: x = 0 without refinement or message.
  DLSARG(sim, 3, a, 4, Vec(3, 0.0), 1, sol);
  EXPECT_EQ(sol, Vec(3, 0.0));
  EXPECT_TRUE(cs.lines().empty());
}

// A random well-conditioned system of order 20: the refined solution has
// a backward error at the rounding level.
TEST(LinearSystems, RandomSystemIsSolvedToRounding) {
  CapturedSim cs;
  std::mt19937 gen(8);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const int n = 20;
  Vec a(n * n), xs(n), b(n, 0.0), x(n);
  for (auto& v : a) v = u(gen);
  for (int i = 0; i < n; ++i) a[i + n * i] += 4.0;
  for (auto& v : xs) v = u(gen);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) b[i] += a[i + n * j] * xs[j];
  DLSARG(*cs, n, a, n, b, 1, x);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], xs[i], 1e-14);
  EXPECT_TRUE(cs.lines().empty());
}

TEST(LinearSystems, RowScalingChoosesThePivot) {
  CapturedSim cs;
  Vec fact(4), work(2);
  std::vector<std::int32_t> piv(2);
  // Rows (3, 1000) and (2, 1): scaled 3/1000 < 2/2, so row 2 is the pivot.
  dL2TRG(*cs, 2, Vec{3.0, 2.0, 1000.0, 1.0}, 2, fact, 2, piv, work);
  EXPECT_EQ(piv[0], 2);
  EXPECT_EQ(fact[0], 2.0);
}

TEST(LinearSystems, SingularMatrixStopsUnderDLSARG) {
  CapturedSim cs;
  Vec x(2);
  // Rows (1, 2) and (2, 4): the tie of scaled values keeps row 1.
  EXPECT_TRUE(stops_run([&] { DLSARG(*cs, 2, Vec{1.0, 2.0, 2.0, 4.0}, 2, Vec{1.0, 1.0}, 1, x); }));
  EXPECT_EQ(cs.lines(),
            (Lines{"", " *** FATAL    ERROR 2 from DLSARG.  The input matrix is singular.  Some of",
                   " ***          the diagonal elements of the upper triangular matrix U of the ",
                   " ***          LU factorization are close to zero."}));
}

TEST(LinearSystems, IllConditionedHilbertMatrixWarns) {
  auto hilbert = [](int n) {
    Vec h(n * n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) h[i + n * j] = 1.0 / (i + j + 1);
    return h;
  };
  {
    CapturedSim cs;
    Vec x(8);
    DLSARG(*cs, 8, hilbert(8), 8, Vec(8, 1.0), 1, x);
    EXPECT_TRUE(cs.lines().empty());
  }
  CapturedSim cs;
  Vec x(12);
  EXPECT_FALSE(stops_run([&] { DLSARG(*cs, 12, hilbert(12), 12, Vec(12, 1.0), 1, x); }));
  const Lines msgs = library_messages(cs);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].find("WARNING ERROR 1 from DLSARG. The matrix is too ill-conditioned. An "
                         "estimate of the reciprocal of its L1 condition number is RCOND = "),
            0u);
  EXPECT_NE(msgs[0].find("The solution might not be accurate."), std::string::npos);
  for (double v : x) EXPECT_TRUE(std::isfinite(v));
}

TEST(LinearSystems, ArgumentErrors) {
  struct Case {
    std::function<void(Sim&)> call;
    std::string message;
  };
  Vec a(4, 1.0), b(2), x(2), f(4), w(2);
  std::vector<std::int32_t> p(2);
  const std::vector<Case> cases = {
      {[&](ControlContext& s) { DLSARG(s, 0, a, 2, b, 1, x); },
       "TERMINAL ERROR 1 from DLSARG. The number of equations must be positive while N = 0 is "
       "given."},
      // N^2 = 4e18 values pass the largest vector a process can hold: the
      // storage message, not an escaping length error.
      {[&](ControlContext& s) { DLSARG(s, 2000000000, a, 2, b, 1, x); },
       "TERMINAL ERROR 2 from DLSARG. The required storage cannot be allocated. The workspace is "
       "based on N, where N = 2000000000."},
      {[&](ControlContext& s) { DL2ARG(s, 2, a, 2, b, 3, x, f, p, w); },
       "TERMINAL ERROR 3 from DL2ARG. IPATH must be either 1 or 2 while a value of 3 is given."},
      {[&](ControlContext& s) { DL2ARG(s, 2, a, 1, b, 1, x, f, p, w); },
       "TERMINAL ERROR 2 from DL2ARG. The order of the matrix must be less than or equal to its "
       "leading dimension while N = 2 and LDA = 1 are given."},
      {[&](ControlContext& s) { double r; DL2CRG(s, 2, a, 2, f, 1, p, r, w); },
       "TERMINAL ERROR 3 from DL2CRG. The order of the matrix must be less than or equal to its "
       "leading dimension while N = 2 and LDFAC = 1 are given."},
      {[&](ControlContext& s) { DTRSV(s, 'X', 'N', 'N', 2, a.data(), 2, x.data(), 1); },
       "TERMINAL ERROR 5 from DTRSV. UPLO must be set equal to U or L while X is given."},
      {[&](ControlContext& s) { double n1; DNR1RR(s, 0, 2, a.data(), 2, n1); },
       "TERMINAL ERROR 2 from DNR1RR. The number of rows of the input matrix must be greater "
       "than zero while NRA = 0 is given."},
  };
  for (const Case& c : cases) {
    CapturedSim cs;
    EXPECT_TRUE(stops_run([&] { c.call(*cs); })) << c.message;
    EXPECT_EQ(library_messages(cs), Lines{c.message});
  }
}

TEST(LinearSystems, DoubleDoubleDotProduct) {
  const Vec x{1e16, 1.0, -1e16};
  const Vec y{1.0, 1.0, 1.0};
  EXPECT_EQ(dd_dot(3, 0.0, x.data(), 1, y.data(), 1), 1.0);
  // third = (2^54 - 1) / (3 2^54) exactly, so 3 third - 1 = -2^-54: only
  // the exact product error gives it.
  const double third = 1.0 / 3.0;
  const double three = 3.0;
  EXPECT_EQ(dd_dot(1, -1.0, &third, 1, &three, 1), -std::ldexp(1.0, -54));
  // A negative stride pairs X(1) with Y(3).
  const Vec p{1.0, 2.0, 3.0}, q{10.0, 100.0, 1000.0};
  EXPECT_EQ(dd_dot(3, 0.0, p.data(), 1, q.data(), -1), 1000.0 + 200.0 + 30.0);
  // Very large factors are scaled and give the exact product.
  EXPECT_EQ(dd_dot(1, 0.0, Vec{1e301}.data(), 1, Vec{1e-301}.data(), 1), 1e301 * 1e-301);
}

}  // namespace
}  // namespace linac
