#include "beam/source_generators.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "numerics/deviates.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"

namespace linac {
namespace {

using ::testing::HasSubstr;

constexpr std::int32_t kN = 100000;
constexpr std::int32_t kSeed = 214748364;
constexpr double kW0 = 1500.0;       // design energy, keV/u
constexpr double kFreqB = 80e6;      // Hz

// Speed of the kinetic energy w (keV/u) through beta gamma:
// beta = sqrt(gamma^2 - 1)/gamma, an independent route from the generators'.
double speed_kev(double w) {
  const double g = 1.0 + w / kAmuKev;
  return std::sqrt((g - 1.0) * (g + 1.0)) / g;
}
double energy_kev(double beta) {
  const double bg = beta / std::sqrt((1.0 - beta) * (1.0 + beta));
  return (std::sqrt(1.0 + bg * bg) - 1.0) * kAmuKev;
}
double gamma_of(double beta) { return 1.0 / std::sqrt((1.0 - beta) * (1.0 + beta)); }

std::unique_ptr<Sim> seeded_sim() {
  auto sim = make_sim();
  set_start_values(*sim);
  Sim& s = *sim;
  s.ref.QDESIGN = 10.0;
  s.ref.ADESIGN = 40.0;
  s.ref.w0 = kW0;
  s.ref.FREQB = kFreqB;
  s.ref.wavelength = kSpeedOfLightCm / kFreqB;
  s.ref.wavelength_2pi = s.ref.wavelength / kTwoPi;
  s.beam.beta_design = speed_kev(kW0);
  s.config.NQTOT = 2;
  s.config.QQ[1] = 10.0;
  s.config.AMASS[1] = 40.0;
  s.config.QQ[2] = 12.0;
  s.config.AMASS[2] = 40.0;
  s.config.NPAT[1] = kN;
  s.config.NPAT[2] = kN;
  rn_set_seed(s, kSeed);
  return sim;
}

// A sample mean of f over slots 1..N with its statistical tolerance: the
// mean of N independent values lies within 5 standard errors of its
// expectation (the standard deviation estimated from the sample itself).
struct SampleMean {
  double mean = 0.0;
  double tol = 0.0;
};
SampleMean sample_mean(std::int32_t n, const std::function<double(std::int32_t)>& f) {
  double s = 0.0, s2 = 0.0;
  for (std::int32_t i = 1; i <= n; ++i) {
    const double v = f(i);
    s += v;
    s2 += v * v;
  }
  const double m = s / n;
  const double var = std::max(0.0, s2 / n - m * m);
  return {m, 5.0 * std::sqrt(var / n) + 1e-15 * std::fabs(m)};
}
#define EXPECT_MEAN(expected, n, f)                                             \
  do {                                                                          \
    const SampleMean sm_ = sample_mean(n, f);                                   \
    EXPECT_NEAR(sm_.mean, (expected), sm_.tol) << "moment " #f;                 \
  } while (0)

void expect_reference(const Sim& s, std::int32_t iq, double beta) {
  const ParticleArrays& p = s.particles;
  EXPECT_EQ(p.x[iq][0], 0.0);
  EXPECT_EQ(p.xp[iq][0], 0.0);
  EXPECT_EQ(p.y[iq][0], 0.0);
  EXPECT_EQ(p.yp[iq][0], 0.0);
  EXPECT_EQ(p.phase[iq][0], 0.0);
  EXPECT_EQ(p.status[iq][0], kLive);
  EXPECT_NEAR(p.beta[iq][0], beta, 1e-15);
}

std::string stop_text(const std::function<void()>& body) {
  try {
    body();
  } catch (const FatalStop& stop) {
    std::string s;
    for (const auto& l : stop.lines()) s += l + "\n";
    return s;
  }
  return "(no stop)";
}

// ------------------------------------------------------ sample_ellipse2d

// The uniform fill of t1^2 - 2 r t1 t2 + t2^2 <= 1 - r^2, i.e. of
// t' M^-1 t <= 1 with M = [[1, r], [r, 1]], has covariance M/4: variances
// 1/4 and correlation r.
TEST(SampleEllipse2d, UniformFillHasQuarterVariancesAndCorrelationR) {
  const double p = 2.0, q = 0.5;
  for (double r : {0.0, 0.6, -0.9}) {
    SCOPED_TRACE(::testing::Message() << "r = " << r);
    auto sim = seeded_sim();
    std::vector<double> a(kN + 1), b(kN + 1);
    for (std::int32_t i = 1; i <= kN; ++i) sample_ellipse2d(*sim, a[i], b[i], p, q, r);
    auto A = [&](std::int32_t i) { return a[i]; };
    auto B = [&](std::int32_t i) { return b[i]; };
    EXPECT_MEAN(0.0, kN, A);
    EXPECT_MEAN(0.0, kN, B);
    EXPECT_MEAN(p * p / 4, kN, [&](std::int32_t i) { return a[i] * a[i]; });
    EXPECT_MEAN(q * q / 4, kN, [&](std::int32_t i) { return b[i] * b[i]; });
    EXPECT_MEAN(r * p * q / 4, kN, [&](std::int32_t i) { return a[i] * b[i]; });
    for (std::int32_t i = 1; i <= kN; ++i) {
      const double t1 = a[i] / p, t2 = b[i] / q;
      ASSERT_LE(t1 * t1 - 2 * r * t1 * t2 + t2 * t2, 1 - r * r + 1e-12) << "point " << i;
    }
  }
}

// --------------------------------------------------------- type 51: dc beam

TEST(GenDistDcBeam, CorrelatedEllipseMradDiscFullPeriodAndEnergySpread) {
  auto sim = seeded_sim();
  Sim& s = *sim;
  const double a = 1.5, b = 0.8, r = 0.4, dww = 0.002;
  const std::int32_t iq = 2;  // Q/A = 12/40 against the design 10/40
  s.offsets.DWW00[iq] = dww;
  gen_dist_dc_beam(s, 0.3, a, b, r, iq);
  EXPECT_EQ(s.ref.qa_push, 0.25);
  // Same source voltage: W_q = w0 (12/40)/(10/40).
  const double wq = kW0 * (12.0 / 40.0) / 0.25;
  expect_reference(s, iq, speed_kev(wq));
  const ParticleArrays& p = s.particles;
  EXPECT_MEAN(a * a / 4, kN, [&](std::int32_t i) { return p.x[iq][i] * p.x[iq][i]; });
  EXPECT_MEAN(b * b / 4, kN, [&](std::int32_t i) { return p.y[iq][i] * p.y[iq][i]; });
  EXPECT_MEAN(r * a * b / 4, kN, [&](std::int32_t i) { return p.x[iq][i] * p.y[iq][i]; });
  // Slopes uniform in the 1 mrad disc: <x'^2> = (1e-3)^2/4, uncorrelated.
  EXPECT_MEAN(0.25e-6, kN, [&](std::int32_t i) { return p.xp[iq][i] * p.xp[iq][i]; });
  EXPECT_MEAN(0.25e-6, kN, [&](std::int32_t i) { return p.yp[iq][i] * p.yp[iq][i]; });
  EXPECT_MEAN(0.0, kN, [&](std::int32_t i) { return p.xp[iq][i] * p.yp[iq][i]; });
  // Phase uniform over the whole period: variance pi^2/3.
  EXPECT_MEAN(0.0, kN, [&](std::int32_t i) { return p.phase[iq][i]; });
  EXPECT_MEAN(kPi * kPi / 3, kN, [&](std::int32_t i) { return p.phase[iq][i] * p.phase[iq][i]; });
  // W uniform within +-0.1 % of W_q, shifted by DWW00.
  const double wm = wq + dww;
  EXPECT_MEAN(wm, kN, [&](std::int32_t i) { return energy_kev(p.beta[iq][i]); });
  const double half = 0.001 * wq;
  EXPECT_MEAN(half * half / 3, kN, [&](std::int32_t i) {
    const double d = energy_kev(p.beta[iq][i]) - wm;
    return d * d;
  });
  for (std::int32_t i = 1; i <= kN; ++i) {
    ASSERT_LE(std::fabs(p.phase[iq][i]), kPi);
    ASSERT_LE(std::hypot(p.xp[iq][i], p.yp[iq][i]), 1e-3 * (1 + 1e-12));
    ASSERT_EQ(p.status[iq][i], kLive);
  }
}

TEST(GenDistDcBeam, FirstArgumentIsNotUsed) {
  auto one = seeded_sim();
  auto two = seeded_sim();
  one->config.NPAT[1] = two->config.NPAT[1] = 50;
  gen_dist_dc_beam(*one, 0.01, 1.0, 2.0, 0.3, 1);
  gen_dist_dc_beam(*two, 0.7, 1.0, 2.0, 0.3, 1);
  for (std::int32_t i = 0; i <= 50; ++i) {
    EXPECT_EQ(one->particles.x[1][i], two->particles.x[1][i]);
    EXPECT_EQ(one->particles.beta[1][i], two->particles.beta[1][i]);
    EXPECT_EQ(one->particles.phase[1][i], two->particles.phase[1][i]);
  }
}

// ------------------------------------------------------- type 52: ball3d

// (t1, t3, t5) uniform in the unit ball: each has variance 1/5.
TEST(GenDistBall3d, UniformEllipsoidSlopesAndEnergySpread) {
  auto sim = seeded_sim();
  Sim& s = *sim;
  const double a = 0.6, b = 0.3, c = 2.0, dww = -0.01;
  const std::int32_t iq = 1;
  s.offsets.DWW00[iq] = dww;
  const double beta0 = s.beam.beta_design;
  gen_dist_ball3d(s, beta0, a, b, c, iq);
  expect_reference(s, iq, beta0);
  const ParticleArrays& p = s.particles;
  const double wl = s.ref.wavelength_2pi;
  // Longitudinal offset recovered from the phase: s = phase beta wavelength_2pi.
  auto sz = [&](std::int32_t i) { return p.phase[iq][i] * p.beta[iq][i] * wl; };
  EXPECT_MEAN(a * a / 5, kN, [&](std::int32_t i) { return p.x[iq][i] * p.x[iq][i]; });
  EXPECT_MEAN(b * b / 5, kN, [&](std::int32_t i) { return p.y[iq][i] * p.y[iq][i]; });
  EXPECT_MEAN(c * c / 5, kN, [&](std::int32_t i) { return sz(i) * sz(i); });
  EXPECT_MEAN(0.0, kN, [&](std::int32_t i) { return p.x[iq][i] * sz(i); });
  EXPECT_MEAN(1e-6 / 3, kN, [&](std::int32_t i) { return p.xp[iq][i] * p.xp[iq][i]; });
  EXPECT_MEAN(1e-6 / 3, kN, [&](std::int32_t i) { return p.yp[iq][i] * p.yp[iq][i]; });
  const double wm = kW0 + dww;
  const double half = 1e-4 * kW0;
  EXPECT_MEAN(wm, kN, [&](std::int32_t i) { return energy_kev(p.beta[iq][i]); });
  EXPECT_MEAN(half * half / 3, kN, [&](std::int32_t i) {
    const double d = energy_kev(p.beta[iq][i]) - wm;
    return d * d;
  });
  for (std::int32_t i = 1; i <= kN; ++i) {
    const double u = p.x[iq][i] / a, v = p.y[iq][i] / b, w = sz(i) / c;
    ASSERT_LE(u * u + v * v + w * w, 1.0 + 1e-12);
    ASSERT_LE(std::fabs(p.xp[iq][i]), 1e-3);
  }
}

// ------------------------------------------------------ type 53: gauss

// A standard normal cut at |g| <= 6 has variance
// 1 - 2*6*phi(6)/(2*Phi(6) - 1), phi the density, Phi the distribution.
double cut6_variance() {
  const double phi6 = std::exp(-18.0) / std::sqrt(kTwoPi);
  return 1.0 - 12.0 * phi6 / std::erf(6.0 / std::sqrt(2.0));
}

TEST(GenDistGauss, SigmasCutAtSixSlopesAndPhaseWithGamma) {
  auto sim = seeded_sim();
  Sim& s = *sim;
  // A relativistic design energy (gamma about 1.54), so that the extra 1/gamma
  // of the phase conversion shows far beyond the statistical tolerance.
  const double w_design = 5.0e5;
  s.ref.w0 = w_design;
  s.beam.beta_design = speed_kev(w_design);
  const double a = 0.2, b = 0.35, c = 1.2;
  const std::int32_t iq = 2;
  const double beta0 = s.beam.beta_design;
  gen_dist_gauss(s, beta0, a, b, c, iq);
  expect_reference(s, iq, beta0);
  const ParticleArrays& p = s.particles;
  const double wl = s.ref.wavelength_2pi;
  const double k = cut6_variance();
  auto sz = [&](std::int32_t i) {
    return p.phase[iq][i] * p.beta[iq][i] * wl * gamma_of(p.beta[iq][i]);
  };
  EXPECT_MEAN(0.0, kN, [&](std::int32_t i) { return p.x[iq][i]; });
  EXPECT_MEAN(a * a * k, kN, [&](std::int32_t i) { return p.x[iq][i] * p.x[iq][i]; });
  EXPECT_MEAN(b * b * k, kN, [&](std::int32_t i) { return p.y[iq][i] * p.y[iq][i]; });
  EXPECT_MEAN(c * c * k, kN, [&](std::int32_t i) { return sz(i) * sz(i); });
  // Fourth moment of a normal: 3 sigma^4 (the 6 sigma cut changes it by < 1e-6).
  EXPECT_MEAN(3 * a * a * a * a, kN, [&](std::int32_t i) { return std::pow(p.x[iq][i], 4); });
  EXPECT_MEAN(0.0, kN, [&](std::int32_t i) { return p.x[iq][i] * p.y[iq][i]; });
  EXPECT_MEAN(1e-6 / 3, kN, [&](std::int32_t i) { return p.xp[iq][i] * p.xp[iq][i]; });
  EXPECT_MEAN(1e-6 / 3, kN, [&](std::int32_t i) { return p.yp[iq][i] * p.yp[iq][i]; });
  const double half = 1e-3 * w_design;
  EXPECT_MEAN(w_design, kN, [&](std::int32_t i) { return energy_kev(p.beta[iq][i]); });
  EXPECT_MEAN(half * half / 3, kN, [&](std::int32_t i) {
    const double d = energy_kev(p.beta[iq][i]) - w_design;
    return d * d;
  });
  for (std::int32_t i = 1; i <= kN; ++i) {
    ASSERT_LE(std::fabs(p.x[iq][i]), 6 * a);
    ASSERT_LE(std::fabs(p.y[iq][i]), 6 * b);
    ASSERT_LE(std::fabs(sz(i)), 6 * c * (1 + 1e-12));
  }
}

// ------------------------------------------- type 48: random directions

// Directions uniform on the sphere cap nz >= m: nz is uniform on [m, 1]
// (Archimedes), so <nz> = (1 + m)/2 and <x'^2> = <(1 - nz^2)/nz^2>/2 =
// (1/m - 1)/2.
TEST(GenDistRandomDirection, DiscCapDirectionsPhaseAndSpeedSpread) {
  auto sim = seeded_sim();
  Sim& s = *sim;
  const double R = 0.5, m = 0.8, dphi = 30.0, dbb = 0.01;
  const std::int32_t iq = 2;
  const double beta0 = s.beam.beta_design;
  gen_dist_random_direction(s, beta0, R, m, dphi, dbb, iq);
  // State energy scaled by (A/Q)_design (Q/A)_state = 1.2.
  const double beta_q = speed_kev(kW0 * 1.2);
  expect_reference(s, iq, beta_q);
  const ParticleArrays& p = s.particles;
  EXPECT_EQ(p.betaz[iq][0], p.beta[iq][0]);
  EXPECT_EQ(p.betax[iq][0], 0.0);
  auto nz = [&](std::int32_t i) { return p.betaz[iq][i] / p.beta[iq][i]; };
  EXPECT_MEAN(R * R / 4, kN, [&](std::int32_t i) { return p.x[iq][i] * p.x[iq][i]; });
  EXPECT_MEAN(R * R / 4, kN, [&](std::int32_t i) { return p.y[iq][i] * p.y[iq][i]; });
  EXPECT_MEAN((1 + m) / 2, kN, nz);
  EXPECT_MEAN((1 / m - 1) / 2, kN, [&](std::int32_t i) { return p.xp[iq][i] * p.xp[iq][i]; });
  EXPECT_MEAN((1 / m - 1) / 2, kN, [&](std::int32_t i) { return p.yp[iq][i] * p.yp[iq][i]; });
  EXPECT_MEAN(0.0, kN, [&](std::int32_t i) { return p.xp[iq][i] * p.yp[iq][i]; });
  const double ph = dphi * kDegToRad;
  EXPECT_MEAN(ph * ph / 3, kN, [&](std::int32_t i) { return p.phase[iq][i] * p.phase[iq][i]; });
  EXPECT_MEAN(beta_q, kN, [&](std::int32_t i) { return p.beta[iq][i]; });
  EXPECT_MEAN(dbb * dbb * beta_q * beta_q / 3, kN, [&](std::int32_t i) {
    const double d = p.beta[iq][i] - beta_q;
    return d * d;
  });
  for (std::int32_t i = 1; i <= kN; ++i) {
    const double bx = p.betax[iq][i], by = p.betay[iq][i], bz = p.betaz[iq][i];
    ASSERT_NEAR(std::sqrt(bx * bx + by * by + bz * bz), p.beta[iq][i], 1e-15);
    ASSERT_GE(nz(i), m - 1e-15);
    ASSERT_NEAR(p.xp[iq][i], bx / bz, 1e-12 * (1 + std::fabs(p.xp[iq][i])));
    ASSERT_LE(std::hypot(p.x[iq][i], p.y[iq][i]), R);
  }
}

TEST(GenDistRandomDirection, LowestCosineMinusOneAcceptsEveryDirection) {
  auto sim = seeded_sim();
  Sim& s = *sim;
  gen_dist_random_direction(s, s.beam.beta_design, 1.0, -1.0, 10.0, 0.0, 1);
  const ParticleArrays& p = s.particles;
  // The whole sphere: nz uniform on [-1, 1], mean 0 and variance 1/3.
  auto nz = [&](std::int32_t i) { return p.betaz[1][i] / p.beta[1][i]; };
  EXPECT_MEAN(0.0, kN, nz);
  EXPECT_MEAN(1.0 / 3, kN, [&](std::int32_t i) { return nz(i) * nz(i); });
  for (std::int32_t i = 1; i <= kN; ++i) ASSERT_TRUE(std::isfinite(p.xp[1][i]));
}

// ------------------------------------------------ shared behaviour

TEST(SourceGenerators, DrawOrderReproducesTheFirstParticles) {
  // gauss: normal x (cut), u, normal y, u, normal s, u; ball3d: six
  // deviates per try until (t1, t3, t5) lies in the ball.
  auto sim = seeded_sim();
  auto ref = seeded_sim();
  Sim& s = *sim;
  s.config.NPAT[1] = 3;
  gen_dist_gauss(s, s.beam.beta_design, 0.2, 0.3, 0.4, 1);
  for (std::int32_t i = 1; i <= 3; ++i) {
    double g[3], u[3];
    for (int k = 0; k < 3; ++k) {
      do DRNNOA(*ref, 1, &g[k]);
      while (std::fabs(g[k]) > 6.0);
      dRNUN(*ref, 1, &u[k]);
    }
    EXPECT_EQ(s.particles.x[1][i], 0.2 * g[0]);
    EXPECT_EQ(s.particles.xp[1][i], (2 * u[0] - 1) * 0.001);
    EXPECT_EQ(s.particles.y[1][i], 0.3 * g[1]);
    EXPECT_EQ(s.particles.yp[1][i], (2 * u[1] - 1) * 0.001);
    EXPECT_NEAR(energy_kev(s.particles.beta[1][i]), (1 + 0.01 * (2 * u[2] - 1) * 0.1) * kW0, 1e-9);
  }
  s.config.NPAT[2] = 3;
  gen_dist_ball3d(s, s.beam.beta_design, 1.0, 1.0, 1.0, 2);
  for (std::int32_t i = 1; i <= 3; ++i) {
    double t[6];
    do {
      dRNUN(*ref, 6, t);
      for (double& v : t) v = 2 * v - 1;
    } while (t[0] * t[0] + t[2] * t[2] + t[4] * t[4] > 1.0);
    EXPECT_EQ(s.particles.x[2][i], t[0]);
    EXPECT_EQ(s.particles.xp[2][i], 0.001 * t[1]);
    EXPECT_EQ(s.particles.y[2][i], t[2]);
  }
  // Both streams are at the same place now.
  EXPECT_EQ(rn_next(s), rn_next(*ref));
}

TEST(SourceGenerators, NpatZeroGivesTheReferenceAloneAndDrawsNothing) {
  using Gen = std::function<void(Sim&)>;
  const Gen gens[] = {
      [](ControlContext& s) { gen_dist_random_direction(s, s.beam.beta_design, 1, 0.5, 10, 0.01, 1); },
      [](ControlContext& s) { gen_dist_dc_beam(s, 0, 1, 1, 0.5, 1); },
      [](ControlContext& s) { gen_dist_ball3d(s, s.beam.beta_design, 1, 1, 1, 1); },
      [](ControlContext& s) { gen_dist_gauss(s, s.beam.beta_design, 1, 1, 1, 1); }};
  for (const auto& g : gens) {
    auto sim = seeded_sim();
    auto ref = seeded_sim();
    sim->config.NPAT[1] = 0;
    sim->particles.x[1][1] = 7.0;
    g(*sim);
    EXPECT_EQ(sim->particles.x[1][1], 7.0);
    EXPECT_EQ(sim->particles.status[1][0], kLive);
    EXPECT_EQ(rn_next(*sim), rn_next(*ref));
  }
}

TEST(SourceGenerators, ZeroSizesLeavePositionsOnAxisButSpreadsRemain) {
  auto sim = seeded_sim();
  Sim& s = *sim;
  s.config.NPAT[1] = 1000;
  gen_dist_gauss(s, s.beam.beta_design, 0, 0, 0, 1);
  double xp2 = 0.0;
  for (std::int32_t i = 1; i <= 1000; ++i) {
    ASSERT_EQ(s.particles.x[1][i], 0.0);
    ASSERT_EQ(s.particles.phase[1][i], 0.0);
    xp2 += s.particles.xp[1][i] * s.particles.xp[1][i];
  }
  EXPECT_GT(xp2, 0.0);
}

TEST(SourceGenerators, InvalidParametersAreRefused) {
  struct Case {
    const char* name;
    std::function<void(Sim&)> call;
    std::vector<std::string> expect;
  };
  const std::vector<Case> cases = {
      {"RAB = 1", [](ControlContext& s) { gen_dist_dc_beam(s, 0, 1, 1, 1.0, 1); }, {"gen_dist_dc_beam", "RAB = 1"}},
      {"RAB = -1.5", [](ControlContext& s) { gen_dist_dc_beam(s, 0, 1, 1, -1.5, 1); }, {"RAB = -1.5"}},
      {"ellipse r = 1",
       [](ControlContext& s) {
         double a, b;
         sample_ellipse2d(s, a, b, 1, 1, 1.0);
       },
       {"sample_ellipse2d", "r = 1"}},
      {"nz_min = 1", [](ControlContext& s) { gen_dist_random_direction(s, 0.05, 1, 1.0, 10, 0, 1); },
       {"gen_dist_random_direction", "nz_min = 1"}},
      {"nz_min = 2", [](ControlContext& s) { gen_dist_random_direction(s, 0.05, 1, 2.0, 10, 0, 1); },
       {"nz_min = 2"}},
      {"speed spread to c", [](ControlContext& s) { gen_dist_random_direction(s, 0.6, 1, 0.5, 10, 0.9, 1); },
       {"DB_B = 0.9"}},
      {"NPAT above capacity",
       [](ControlContext& s) {
         s.config.NPAT[1] = kMaxParticles + 1;
         gen_dist_gauss(s, 0.05, 1, 1, 1, 1);
       },
       {"gen_dist_gauss", "NPAT(1) = 166002", "0..166001"}},
      {"NPAT negative",
       [](ControlContext& s) {
         s.config.NPAT[1] = -1;
         gen_dist_ball3d(s, 0.05, 1, 1, 1, 1);
       },
       {"gen_dist_ball3d", "NPAT(1) = -1"}},
      {"state 7", [](ControlContext& s) { gen_dist_ball3d(s, 0.05, 1, 1, 1, 7); }, {"charge state 7"}},
      {"negative charge",
       [](ControlContext& s) {
         s.config.QQ[1] = -10.0;
         gen_dist_dc_beam(s, 0, 1, 1, 0, 1);
       },
       {"gen_dist_dc_beam", "kinetic energy"}},
      {"zero design energy",
       [](ControlContext& s) {
         s.ref.w0 = 0.0;
         gen_dist_gauss(s, 0.05, 1, 1, 1, 1);
       },
       {"gen_dist_gauss", "kinetic energy 0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto sim = seeded_sim();
    const std::string msg = stop_text([&] { c.call(*sim); });
    for (const auto& e : c.expect) EXPECT_THAT(msg, HasSubstr(e));
  }
}

}  // namespace
}  // namespace linac
