// The library routines of the real FFT and the sine transform: the small
// cases written out by hand, the coefficient order and sign, the
// factorisation, round trips, tables that know their length, the messages,
// and the batched line transforms (bit-identical to one line at a time).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "lib_messages.hpp"
#include "numerics/fft.hpp"
#include "numerics/sine_transform.hpp"
#include "numerics_test_support.hpp"

namespace linac {
namespace {

using namespace testing;
using Vec = std::vector<double>;

TEST(RealFft, SmallCasesByHand) {
  CapturedSim cs;
  Sim& sim = *cs;
  RealFftTable t;
  // N = 1: the value itself both ways.
  DFFTRI(sim, 1, t);
  Vec c(1);
  DF2TRF(sim, 1, Vec{3.5}, c, t);
  EXPECT_EQ(c, Vec{3.5});
  DF2TRB(sim, 1, Vec{-2.0}, c, t);
  EXPECT_EQ(c, Vec{-2.0});
  // N = 2: (x1 + x2, x1 - x2) and back.
  DFFTRI(sim, 2, t);
  c.resize(2);
  DF2TRF(sim, 2, Vec{3.0, 5.0}, c, t);
  EXPECT_EQ(c, (Vec{8.0, -2.0}));
  DF2TRB(sim, 2, Vec{8.0, -2.0}, c, t);
  EXPECT_EQ(c, (Vec{6.0, 10.0}));
  // N = 4: (sum, x1 - x3, x4 - x2, x1 - x2 + x3 - x4); backward of
  // (r1, r2, r3, r4) = (r1 + 2r2 + r4, r1 - 2r3 - r4, r1 - 2r2 + r4, r1 + 2r3 - r4).
  DFFTRI(sim, 4, t);
  c.resize(4);
  const double x1 = 1.0, x2 = 2.0, x3 = 4.0, x4 = 8.0;
  DF2TRF(sim, 4, Vec{x1, x2, x3, x4}, c, t);
  EXPECT_EQ(c, (Vec{x1 + x2 + x3 + x4, x1 - x3, x4 - x2, x1 - x2 + x3 - x4}));
  const double r1 = 1.0, r2 = 3.0, r3 = 5.0, r4 = 7.0;
  DF2TRB(sim, 4, Vec{r1, r2, r3, r4}, c, t);
  EXPECT_EQ(c, (Vec{r1 + 2 * r2 + r4, r1 - 2 * r3 - r4, r1 - 2 * r2 + r4, r1 + 2 * r3 - r4}));
  EXPECT_TRUE(cs.lines().empty());
}

// Constant, cosine and sine sequences: c0 = N c; the cosine of frequency 1
// gives +N/2 at position 2, the sine -N/2 at position 3 (sine terms carry
// a minus sign).
TEST(RealFft, CoefficientOrderAndSign) {
  CapturedSim cs;
  Sim& sim = *cs;
  for (int n : {3, 5, 8, 12, 15, 49}) {
    SCOPED_TRACE(n);
    RealFftTable t;
    DFFTRI(sim, n, t);
    Vec k(n, 2.5), s(n), co(n), c(n);
    for (int j = 0; j < n; ++j) {
      s[j] = std::sin(2.0 * std::numbers::pi * j / n);
      co[j] = std::cos(2.0 * std::numbers::pi * j / n);
    }
    const double tol = 64 * 2.2e-16 * n;
    DF2TRF(sim, n, k, c, t);
    EXPECT_NEAR(c[0], 2.5 * n, tol);
    for (int j = 1; j < n; ++j) EXPECT_NEAR(c[j], 0.0, tol) << j;
    DF2TRF(sim, n, s, c, t);
    EXPECT_NEAR(c[1], 0.0, tol);
    EXPECT_NEAR(c[2], -n / 2.0, tol);
    DF2TRF(sim, n, co, c, t);
    EXPECT_NEAR(c[1], n / 2.0, tol);
    EXPECT_NEAR(c[2], 0.0, tol);
  }
}

TEST(RealFft, FactorisationOrder) {
  const std::pair<int, std::vector<int>> cases[] = {
      {8, {2, 4}},       {16, {4, 4}},       {24, {2, 4, 3}},       {32, {2, 4, 4}},
      {60, {4, 3, 5}},   {14, {2, 7}},       {128, {2, 4, 4, 4}},   {256, {4, 4, 4, 4}},
      {30, {2, 3, 5}},   {77, {7, 11}},      {801, {3, 3, 89}},     {797, {797}},
      {1, {}},           {2, {2}},           {18, {2, 3, 3}}};
  for (const auto& [n, f] : cases) EXPECT_EQ(RealFftTable(n).factors(), f) << n;
}

// Round trips through every kind of pass, in place and with two arrays;
// DFFTRF agrees with DF2TRF bit for bit.
TEST(RealFft, RoundTripsInPlaceAndOneCall) {
  CapturedSim cs;
  Sim& sim = *cs;
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n : {7, 24, 60, 30, 77, 797, 801}) {
    SCOPED_TRACE(n);
    Vec x(n);
    for (auto& v : x) v = u(gen);
    RealFftTable t;
    DFFTRI(sim, n, t);
    Vec c(n), c1(n), y = x;
    DF2TRF(sim, n, x, c, t);
    DFFTRF(sim, n, x, c1);
    EXPECT_EQ(c, c1);
    DF2TRF(sim, n, y, y, t);  // same array in and out
    EXPECT_EQ(y, c);
    Vec back(n);
    DF2TRB(sim, n, c, back, t);
    // General passes of factor p form rotations by recurrence: error of
    // order eps p^(3/2) per pass (see the direct-sum test).
    double bound = 0.0;
    for (int f : t.factors()) bound += f * std::sqrt(static_cast<double>(f));
    for (int j = 0; j < n; ++j) EXPECT_NEAR(back[j], n * x[j], 8 * 2.2e-16 * bound * n) << j;
  }
  EXPECT_TRUE(cs.lines().empty());
}

TEST(SineTransform, SmallCasesByHand) {
  CapturedSim cs;
  Sim& sim = *cs;
  const double s3 = 1.7320508075688772;
  SineTable t;
  DFSINI(sim, 2, t);
  Vec c(2);
  DF2INT(sim, 2, Vec{1.0, 2.0}, c, t);
  EXPECT_EQ(c, (Vec{s3 * 3.0, s3 * -1.0}));
  // A single impulse gives 2 sin(m pi / (N+1)); the lowest sine mode gives
  // N+1 at m = 1 and zeros.
  for (int n : {3, 4, 15, 16, 31, 127}) {
    SCOPED_TRACE(n);
    DFSINI(sim, n, t);
    Vec d(n, 0.0), m1(n), out(n);
    d[0] = 1.0;
    for (int k = 1; k <= n; ++k) m1[k - 1] = std::sin(k * std::numbers::pi / (n + 1));
    DF2INT(sim, n, d, out, t);
    for (int m = 1; m <= n; ++m)
      EXPECT_NEAR(out[m - 1], 2.0 * std::sin(m * std::numbers::pi / (n + 1)), 1e-14 * n);
    DF2INT(sim, n, m1, out, t);
    EXPECT_NEAR(out[0], n + 1.0, 1e-13 * n);
    for (int m = 2; m <= n; ++m) EXPECT_NEAR(out[m - 1], 0.0, 1e-13 * n) << m;
  }
  EXPECT_TRUE(cs.lines().empty());
}

// The output needs exactly N values: nothing beyond is written, the input
// is unchanged, and the same array may be input and output.
TEST(SineTransform, WritesExactlyNValues) {
  CapturedSim cs;
  Sim& sim = *cs;
  for (int n : {2, 3, 8, 31}) {
    SineTable t;
    DFSINI(sim, n, t);
    Vec x(n);
    for (int k = 0; k < n; ++k) x[k] = 0.1 * k - 0.7;
    const Vec x0 = x;
    Vec buf(n + 2, -99.0);
    DF2INT(sim, n, x, std::span<double>(buf.data(), n), t);
    EXPECT_EQ(buf[n], -99.0);
    EXPECT_EQ(buf[n + 1], -99.0);
    EXPECT_EQ(x, x0);
    Vec same = x;
    DF2INT(sim, n, same, same, t);
    EXPECT_EQ(same, Vec(buf.begin(), buf.begin() + n));
  }
}

TEST(Transforms, BatchedLinesAreBitIdenticalToSingleLines) {
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int n : {2, 7, 31, 64, 89}) {
    for (int count : {1, 2, 5}) {
      SCOPED_TRACE(std::to_string(n) + " lines " + std::to_string(count));
      // Lines interleaved (line stride 1, element stride count + 3) and
      // lines contiguous (element stride 1, line stride n + 2).
      for (bool interleaved : {true, false}) {
        const std::ptrdiff_t es = interleaved ? count + 3 : 1;
        const std::ptrdiff_t ls = interleaved ? 1 : n + 2;
        Vec grid(static_cast<std::size_t>(n * (count + 3) + count * (n + 2)));
        for (auto& v : grid) v = u(gen);
        auto line = [&](const Vec& g, int m) {
          Vec l(n);
          for (int e = 0; e < n; ++e) l[e] = g[m * ls + e * es];
          return l;
        };
        RealFftTable f(n);
        Vec g = grid;
        f.forward_lines(g.data(), es, ls, count);
        for (int m = 0; m < count; ++m) {
          Vec l = line(grid, m);
          f.forward(l.data());
          EXPECT_EQ(line(g, m), l);
        }
        Vec gb = grid;
        f.backward_lines(gb.data(), es, ls, count);
        for (int m = 0; m < count; ++m) {
          Vec l = line(grid, m);
          f.backward(l.data());
          EXPECT_EQ(line(gb, m), l);
        }
        if (n >= 2) {
          SineTable s(n);
          Vec gs = grid;
          s.transform_lines(gs.data(), es, ls, count);
          for (int m = 0; m < count; ++m) {
            Vec l = line(grid, m);
            s.transform(l.data(), l.data());
            EXPECT_EQ(line(gs, m), l);
          }
        }
      }
    }
  }
}

TEST(Transforms, LengthErrorsStopTheRun) {
  struct Case {
    std::function<void(Sim&)> call;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](ControlContext& s) { RealFftTable t; DFFTRI(s, 0, t); },
       "TERMINAL ERROR 1 from DFFTRI. The length of the sequence N = 0. It must be at least 1."},
      {[](ControlContext& s) { RealFftTable t(4); Vec v(4); DF2TRF(s, -3, v, v, t); },
       "TERMINAL ERROR 1 from DF2TRF. The length of the sequence N = -3. It must be at least 1."},
      {[](ControlContext& s) { RealFftTable t(4); Vec v(4); DF2TRB(s, 0, v, v, t); },
       "TERMINAL ERROR 1 from DF2TRB. The length of the sequence N = 0. It must be at least 1."},
      {[](ControlContext& s) { Vec v(4); DFFTRF(s, 0, v, v); },
       "TERMINAL ERROR 1 from DFFTRF. The length of the sequence N = 0. It must be at least 1."},
      {[](ControlContext& s) { SineTable t; DFSINI(s, 1, t); },
       "TERMINAL ERROR 1 from DFSINI. The length of the sequence N = 1. It must be greater than "
       "1."},
      {[](ControlContext& s) { SineTable t(4); Vec v(4); DF2INT(s, 0, v, v, t); },
       "TERMINAL ERROR 1 from DF2INT. The length of the sequence N = 0. It must be greater than "
       "1."},
      // A table of another length is reported, never used.
      {[](ControlContext& s) { RealFftTable t(64); Vec v(32); DF2TRF(s, 32, v, v, t); },
       "TERMINAL ERROR 2 from DF2TRF. The table WFFT was built for the length N = 64, but N = "
       "32 is given. A table serves only the length it was built for."},
      {[](ControlContext& s) { RealFftTable t; Vec v(8); DF2TRB(s, 8, v, v, t); },
       "TERMINAL ERROR 2 from DF2TRB. The table WFFT was built for the length N = 0, but N = 8 "
       "is given. A table serves only the length it was built for."},
      {[](ControlContext& s) { SineTable t(31); Vec v(33); DF2INT(s, 33, v, v, t); },
       "TERMINAL ERROR 2 from DF2INT. The table WSIN was built for the length N = 31, but N = "
       "33 is given. A table serves only the length it was built for."},
      // Arrays shorter than N.
      {[](ControlContext& s) { RealFftTable t(8); Vec a(8), b(7); DF2TRF(s, 8, a, b, t); },
       "TERMINAL ERROR 3 from DF2TRF. The input and output arrays must hold N = 8 values, but "
       "one of them holds only 7."},
      {[](ControlContext& s) { SineTable t(8); Vec a(5), b(8); DF2INT(s, 8, a, b, t); },
       "TERMINAL ERROR 3 from DF2INT. The input and output arrays must hold N = 8 values, but "
       "one of them holds only 5."},
  };
  for (const Case& c : cases) {
    CapturedSim cs;
    EXPECT_TRUE(stops_run([&] { c.call(*cs); })) << c.message;
    EXPECT_EQ(library_messages(cs), Lines{c.message});
    EXPECT_EQ(cs.sim->numerics.errors.level, 2);  // stopped at the routine's pop
  }
}

}  // namespace
}  // namespace linac
