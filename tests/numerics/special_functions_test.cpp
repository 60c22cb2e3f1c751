// Modified Bessel functions against values of the defining series summed
// in 40-digit arithmetic, the inverse hyperbolic sine against std::asinh,
// and the messages of the Chebyshev-series routines.
#include "numerics/special_functions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "lib_messages.hpp"
#include "numerics_test_support.hpp"

namespace linac {
namespace {

using namespace testing;

struct BesselRow {
  double x;
  double I[8];  // I_0(x) .. I_7(x)
};

// I_n(x) = sum_k (x/2)^(2k+n) / (k! (k+n)!), summed to 40 digits.
const BesselRow kBessel[] = {
      {0.0001, {1.0000000025, 5.00000000625e-05, 1.2500000010416667e-09, 2.083333334635417e-14, 2.6041666679687505e-19, 2.6041666677517367e-24, 2.1701388896639392e-29, 1.5500992068336128e-34}},
      {0.001, {1.0000002500000156, 0.0005000000625000026, 1.25000010416667e-07, 2.08333346354167e-11, 2.604166796875003e-15, 2.6041667751736133e-19, 2.1701389663938506e-23, 1.5500992547898075e-27}},
      {0.05, {1.000625097663032, 0.02500781331384447, 0.00031256510925314164, 2.604573593140532e-06, 1.627807627784197e-08, 8.138868581682012e-11, 3.391144779466722e-13, 1.2111096187927373e-15}},
      {0.5, {1.0634833707413236, 0.2578943053908963, 0.031906149177738256, 0.002645111968990286, 0.00016480554985482353, 8.223171313109265e-06, 3.421235926382578e-07, 1.2205089791076951e-08}},
      {1.0, {1.2660658777520084, 0.565159103992485, 0.13574766976703828, 0.022168424924331902, 0.002737120221046866, 0.0002714631559569719, 2.2488661477147575e-05, 1.5992182312009952e-06}},
      {2.5, {3.289839144050123, 2.5167162452886984, 1.2764661478191643, 0.4743704087780356, 0.13797716675187888, 0.03284347517202321, 0.006603266063786014, 0.0011477980658503462}},
      {3.9, {10.368957916732944, 8.912787451362725, 5.798297685264879, 2.9658154664756693, 1.235504659917695, 0.43144693331116657, 0.12923047194034495, 0.03381471195625901}},
      {4.0, {11.30192195213633, 9.75946515370445, 6.4221893752841055, 3.337275778420344, 1.416275707653589, 0.5047243631131664, 0.15446479987067302, 0.04132996350114733}},
      {5.0, {27.239871823604446, 24.335642142450528, 17.505614966624236, 10.331150169151138, 5.10823476364287, 2.1579745473225467, 0.792285668997777, 0.2564889417278816}},
      {6.66, {123.15956004205214, 113.49491729756657, 89.07700229503514, 59.99521621946738, 35.02725795317264, 17.920431891332083, 8.119702560782128, 3.290337187220139}},
      {10.0, {2815.7166284662544, 2670.9883037012546, 2281.5189677260037, 1758.3807166108531, 1226.4905377594916, 777.18828640326, 449.30225135623164, 238.025584775782}},
      {15.0, {339649.3732979139, 328124.9219702064, 295899.38370188634, 249218.41964970337, 196212.015842005, 144572.01120063404, 99830.67504158233, 64707.47116736817}},
      {20.0, {43558282.559553534, 42454973.38512777, 39312785.221040756, 34592416.34091962, 28935060.31876487, 23018392.21341367, 17425864.212058034, 12562873.68617885}},
      {25.0, {5774560606.4663105, 5657865129.878701, 5321931396.0760145, 4806356106.506539, 4168405930.514445, 3472466208.7419167, 2779419447.0176783, 2138344874.1734312}},
      {30.0, {781672297823.9775, 768532038938.957, 730436828561.3804, 671140461797.4396, 596208736201.8925, 512151465476.935, 425491581042.9141, 341954833059.76935}},
      {100.0, {1.0737517071310738e+42, 1.0683693903381625e+42, 1.0523843193243106e+42, 1.02627401756519e+42, 9.908078782703992e+41, 9.47009387303558e+41, 8.961069395400434e+41, 8.39476554558753e+41}},
      {700.0, {1.5295933476718737e+302, 1.5285003902339006e+302, 1.5252262036997768e+302, 1.5197848119270448e+302, 1.5121994767404022e+302, 1.5025025321928688e+302, 1.4907351548519327e+302, 1.476947072395407e+302}},
};

// Relative tolerance. The start of the backward recurrence uses the test
// 2 m0 > D/2 (D = 15 digits): for 4 <= |x| <= 20 the start index is lower
// than full precision needs, and the values keep about 10 digits (worst
// observed 1.1e-10 near x = 6.7); elsewhere the result is good to a few
// rounding errors of the normalising sum (8 eps).
double bessel_tolerance(double x) {
  const double a = std::fabs(x);
  return (a >= 4.0 && a <= 20.0) ? 2e-10 : 8 * 2.220446049250313e-16;
}

TEST(Bessel, MatchesTheSeriesForOrdersZeroToSeven) {
  CapturedSim cs;
  Sim& sim = *cs;
  for (const BesselRow& r : kBessel) {
    for (double sign : {1.0, -1.0}) {
      const double x = sign * r.x;
      SCOPED_TRACE(x);
      std::vector<double> b(8);
      DBSINS(sim, x, 8, b);
      for (int k = 0; k < 8; ++k) {
        // Odd orders change sign with x, even orders do not.
        const double ref = (k % 2 == 1 && sign < 0) ? -r.I[k] : r.I[k];
        EXPECT_NEAR(b[k] / ref, 1.0, bessel_tolerance(x)) << "order " << k;
      }
      // Six orders, and I_0 alone, agree with the same reference.
      std::vector<double> b6(6), b1(1);
      DBSINS(sim, x, 6, b6);
      DBSINS(sim, x, 1, b1);
      for (int k = 0; k < 6; ++k)
        EXPECT_NEAR(b6[k] / b[k], 1.0, 2 * bessel_tolerance(x)) << "order " << k;
      EXPECT_NEAR(b1[0] / r.I[0], 1.0, bessel_tolerance(x));
    }
  }
  EXPECT_TRUE(cs.lines().empty());
}

TEST(Bessel, ZeroArgumentAndManyOrders) {
  CapturedSim cs;
  Sim& sim = *cs;
  std::vector<double> b(5, -1.0);
  DBSINS(sim, 0.0, 5, b);
  EXPECT_EQ(b, (std::vector<double>{1.0, 0.0, 0.0, 0.0, 0.0}));
  // Many orders at a small argument: the overflow guard of the forward
  // recurrence. I_59(0.01) and I_119(0.5) from the 40-digit series.
  std::vector<double> b60(60), b120(120);
  DBSINS(sim, 0.01, 60, b60);
  EXPECT_NEAR(b60[59] / 1.2508546223720028e-216, 1.0, 1e-13);
  EXPECT_NEAR(b60[0] / 1.0000250001562505, 1.0, 1e-15);
  DBSINS(sim, 0.5, 120, b120);
  EXPECT_NEAR(b120[119] / 4.06326011688107e-269, 1.0, 1e-13);
  EXPECT_TRUE(cs.lines().empty());
}

TEST(Bessel, PrecisionLossIsAWarningAndTheRunGoesOn) {
  CapturedSim cs;
  Sim& sim = *cs;
  std::vector<double> b(200);
  EXPECT_FALSE(stops_run([&] { DBSINS(sim, 2.0, 200, b); }));
  EXPECT_EQ(library_messages(cs),
            Lines{"WARNING ERROR 1 from DBSINS. The function values BSI(I), (I = 1,166), are "
                  "computed to machine precision, but precision is lost for BSI(I), (I = "
                  "167,200). The argument for the function is X = 2.000000000000000D+00."});
  EXPECT_NEAR(b[5] / 0.009825679323131702, 1.0, 1e-15);
}

TEST(Bessel, ArgumentErrorsLeaveNaN) {
  {
    CapturedSim cs;
    std::vector<double> b(4, 1.0);
    EXPECT_TRUE(stops_run([&] { DBSINS(*cs, 710.0, 4, b); }));
    for (double v : b) EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(library_messages(cs),
              Lines{"TERMINAL ERROR 2 from DBSINS. The absolute value of the input argument, X = "
                    "7.100000000000000D+02, must be less than or equal to the largest acceptable "
                    "argument for the exponential which is equal to 7.097827128933840D+02."});
  }
  {
    CapturedSim cs;
    std::vector<double> b(1);
    EXPECT_TRUE(stops_run([&] { DBSINS(*cs, 1.0, 0, b); }));
    EXPECT_EQ(library_messages(cs),
              Lines{"TERMINAL ERROR 1 from DBSINS. The number of function values to be computed, "
                    "N = 0, must be at least 1."});
  }
  {
    CapturedSim cs;
    std::vector<double> b(3);
    EXPECT_TRUE(stops_run([&] { DBSINS(*cs, 1.0, 6, b); }));
    EXPECT_EQ(library_messages(cs),
              Lines{"TERMINAL ERROR 3 from DBSINS. The array BSI must hold N = 6 values, but it "
                    "holds only 3."});
  }
}

TEST(Asinh, AgreesWithStdAsinhAndIsOdd) {
  CapturedSim cs;
  Sim& sim = *cs;
  const double sqeps = 1.0536712127723509e-08;  // sqrt(2^-53)
  for (double x = 1e-9; x < 1e10; x *= 1.37) {
    const double ref = std::asinh(x);
    EXPECT_NEAR(DASINH(sim, x), ref, 2 * std::numeric_limits<double>::epsilon() * ref) << x;
    EXPECT_EQ(DASINH(sim, -x), -DASINH(sim, x)) << x;
  }
  EXPECT_EQ(DASINH(sim, 0.0), 0.0);
  EXPECT_EQ(DASINH(sim, sqeps), sqeps);
  EXPECT_EQ(DASINH(sim, -sqeps), -sqeps);
  EXPECT_EQ(DASINH(sim, 94906265.62425154), std::log(94906265.62425154) + 0.6931471805599453);
  EXPECT_EQ(DASINH(sim, -1e12), -(std::log(1e12) + 0.6931471805599453));
  EXPECT_TRUE(cs.lines().empty());
}

TEST(ChebyshevSeries, TermCountEvaluationAndMessages) {
  CapturedSim cs;
  Sim& sim = *cs;
  const float eta = 0.1f * static_cast<float>(1.1102230246251565e-16);
  EXPECT_EQ(INITDS(sim, asinh_series(), 39, eta), 20);
  EXPECT_EQ(asinh_series()[0], -0.12820039911738187);
  const std::vector<double> s{3.0, 0.5, 0.25};
  EXPECT_EQ(DCSEVL(sim, 0.7, s, 1), 1.5);
  // 3/2 T0 + 0.5 T1 + 0.25 T2 at x = 0.7, T2 = 2x^2 - 1.
  EXPECT_NEAR(DCSEVL(sim, 0.7, s, 3), 1.5 + 0.5 * 0.7 + 0.25 * (2 * 0.49 - 1), 1e-15);
  EXPECT_TRUE(cs.lines().empty());

  // Outside [-1.1, 1.1]: a warning and the value anyway.
  double v = 0.0;
  EXPECT_FALSE(stops_run([&] { v = DCSEVL(sim, 2.0, s, 3); }));
  EXPECT_NEAR(v, 1.5 + 1.0 + 0.25 * 7.0, 1e-15);
  EXPECT_EQ(library_messages(cs),
            Lines{"WARNING ERROR 7 from DCSEVL. The argument X = 2.000000000000000D+00 is outside "
                  "the interval (-1.1,+1.1)."});

  struct Case {
    std::function<void(Sim&)> call;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[&](ControlContext& q) { DCSEVL(q, 0.0, s, 0); },
       "TERMINAL ERROR 5 from DCSEVL. The number of terms in the series is not positive. N = 0."},
      {[&](ControlContext& q) { DCSEVL(q, 0.0, s, 1001); },
       "TERMINAL ERROR 6 from DCSEVL. The number of terms in the series is greater than 1000. N "
       "= 1001."},
      {[&](ControlContext& q) { INITDS(q, s, 0, 0.1f); },
       "TERMINAL ERROR 5 from INITDS. The number of coefficients is less than 1. NOS = 0."},
      {[&](ControlContext& q) { INITDS(q, s, 3, 1e-3f); },
       "TERMINAL ERROR 6 from INITDS. Too much accuracy may be requested. ETA should be "
       "increased."},
  };
  for (const Case& c : cases) {
    CapturedSim q;
    EXPECT_TRUE(stops_run([&] { c.call(*q); }));
    EXPECT_EQ(library_messages(q), Lines{c.message});
  }
}

}  // namespace
}  // namespace linac
