#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "beam/twiss_generators.hpp"
#include "run/sim.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"
#include "test_support.hpp"

namespace linac {
namespace {

using testing::fatal_text;

// Second moments of one plane of slots 1..n (denominator n - 1).
struct PlaneMoments {
  double s11 = 0, s12 = 0, s22 = 0;
  double eps() const { return std::sqrt(s11 * s22 - s12 * s12); }
  double alpha() const { return -s12 / eps(); }
  double beta() const { return s11 / eps(); }
};

PlaneMoments moments(const double* q, const double* qp, int n) {
  double mq = 0, mp = 0;
  for (int i = 1; i <= n; ++i) {
    mq += q[i];
    mp += qp[i];
  }
  mq /= n;
  mp /= n;
  PlaneMoments m;
  for (int i = 1; i <= n; ++i) {
    const double a = q[i] - mq, b = qp[i] - mp;
    m.s11 += a * a;
    m.s12 += a * b;
    m.s22 += b * b;
  }
  m.s11 /= n - 1;
  m.s12 /= n - 1;
  m.s22 /= n - 1;
  return m;
}

// Courant-Snyder invariant of a point over the ellipse's emittance.
double invariant(double q, double qp, double eps, double alpha, double beta) {
  const double gamma = (1.0 + alpha * alpha) / beta;
  return (gamma * q * q + 2.0 * alpha * q * qp + beta * qp * qp) / eps;
}

TEST(EllipseMap, ZeroAlphaScalesTheAxes) {
  const EllipseMap m = ellipse_map(2e-4, 0.0, 150.0);
  for (const auto& [r1, r2] : {std::pair{0.3, -0.8}, {-1.0, 0.0}, {0.5, 0.5}}) {
    double q, qp;
    map_to_ellipse(m, r1, r2, q, qp);
    EXPECT_DOUBLE_EQ(q, r1 * std::sqrt(2e-4 * 150.0));
    EXPECT_DOUBLE_EQ(qp, r2 * std::sqrt(2e-4 / 150.0));
  }
}

TEST(EllipseMap, UnitCircleMapsOntoTheEllipse) {
  struct Case {
    double eps, alpha, beta;
  };
  // beta below and above gamma, both signs of alpha, and the circle beta = 1, alpha = 0.
  const Case cases[] = {{1e-3, 1.5, 80.0}, {1e-3, -2.0, 0.3}, {5e-5, 0.7, 1.2},
                        {2.0, -0.1, 0.05}, {1.0, 0.0, 1.0},   {1e-3, 0.0, 1.0 / 3.0}};
  for (const Case& c : cases) {
    const EllipseMap m = ellipse_map(c.eps, c.alpha, c.beta);
    for (int k = 0; k < 16; ++k) {
      const double t = kTwoPi * k / 16;
      double q, qp;
      map_to_ellipse(m, std::cos(t), std::sin(t), q, qp);
      ASSERT_TRUE(std::isfinite(q) && std::isfinite(qp));
      // Rounding of a few operations on numbers of size gamma, beta.
      EXPECT_NEAR(invariant(q, qp, c.eps, c.alpha, c.beta), 1.0, 1e-12)
          << c.alpha << " " << c.beta << " t=" << t;
    }
  }
}

// A run context with one or two charge states and the seeded stream.
struct GenFixture : ::testing::Test {
  std::unique_ptr<Sim> sim = make_sim();
  static constexpr double kBeta0 = 0.04;
  void SetUp() override {
    set_start_values(*sim);
    sim->config.NQTOT = 1;
    rn_set_seed(*sim, 214748364);
  }
  static double energy(double beta, double m) { return (1.0 / std::sqrt(1.0 - beta * beta) - 1.0) * m; }
};

// Emittance of the bounding ellipse against the rms emittance of the beam
// for each shape: a uniform n-ball projected on two of its axes has
// <r1^2> = 1/(n + 2), so eps_rms = eps/(n + 2); the 3-D ball with free
// slopes has <r1^2> = 1/5 and <r2^2> = 1/3: eps_rms = eps/sqrt(15).
// The tolerance is c/sqrt(N) relative, c = 5 (the spread of a sample
// second moment of a bounded distribution is below 1/sqrt(N) relative).
TEST_F(GenFixture, RmsEmittanceAndTwissOfEachShape) {
  const int n = 100000;
  const double tol = 5.0 / std::sqrt(double(n));
  const double ex = 3e-4, ax = -1.2, bx = 90.0;
  const double ey = 1e-4, ay = 0.8, by = 40.0;
  const double ez = 20.0, az = 0.5, bz = 2.0;  // deg %, deg/%
  struct Case {
    const char* name;
    double ratio;        // eps_rms / eps
    bool twiss;          // rms alpha, beta equal to the requested ones
    bool longitudinal;   // (phase deg, dW/W %) follows the z ellipse
  };
  const Case cases[] = {{"waterbag6d", 1.0 / 8.0, true, true},
                        {"ellipsoid3d", 1.0 / std::sqrt(15.0), false, true},
                        {"uniform_box", 1.0 / 6.0, true, false},
                        {"beam_twiss", 1.0 / 6.0, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim->config.NPAT[1] = n;
    const std::string name = c.name;
    if (name == "waterbag6d")
      gen_dist_waterbag6d(*sim, kBeta0, ex, ax, bx, ey, ay, by, ez, az, bz, 1);
    else if (name == "ellipsoid3d")
      gen_dist_ellipsoid3d(*sim, kBeta0, ex, ax, bx, ey, ay, by, ez, az, bz, 1);
    else if (name == "uniform_box")
      gen_dist_uniform_box(*sim, kBeta0, 0.01, 30.0, 10.0, ex, ax, bx, ey, ay, by, 1);
    else
      gen_beam_twiss(*sim, kBeta0, ex, ax, bx, ey, ay, by, 20.0, 1.0);
    const ParticleArrays& p = sim->particles;
    const PlaneMoments mx = moments(p.x[1], p.xp[1], n);
    const PlaneMoments my = moments(p.y[1], p.yp[1], n);
    EXPECT_NEAR(mx.eps() / ex, c.ratio, c.ratio * tol);
    EXPECT_NEAR(my.eps() / ey, c.ratio, c.ratio * tol);
    if (c.twiss) {
      EXPECT_NEAR(mx.beta(), bx, bx * tol);
      EXPECT_NEAR(mx.alpha(), ax, (1.0 + std::fabs(ax)) * tol);
      EXPECT_NEAR(my.beta(), by, by * tol);
      EXPECT_NEAR(my.alpha(), ay, (1.0 + std::fabs(ay)) * tol);
    }
    if (c.longitudinal) {
      // Back to the drawn plane: phase in deg, dW/W in percent of W0.
      const double m = sim->ref.amu_ev;
      const double w0 = energy(kBeta0, m);
      std::vector<double> phi(n + 1), del(n + 1);
      for (int i = 1; i <= n; ++i) {
        phi[i] = p.phase[1][i] / kDegToRad;
        del[i] = 100.0 * (energy(p.beta[1][i], m) / w0 - 1.0);
      }
      const PlaneMoments mz = moments(phi.data(), del.data(), n);
      EXPECT_NEAR(mz.eps() / ez, c.ratio, c.ratio * tol);
      if (c.twiss) {
        EXPECT_NEAR(mz.beta(), bz, bz * tol);
        EXPECT_NEAR(mz.alpha(), az, (1.0 + az) * tol);
      }
    }
    // The reference particle carries exactly the speed argument.
    EXPECT_EQ(p.beta[1][0], kBeta0);
    EXPECT_EQ(p.x[1][0], 0.0);
    EXPECT_EQ(p.phase[1][0], 0.0);
  }
}

TEST_F(GenFixture, EveryParticleLiesInsideItsEllipses) {
  const int n = 20000;
  sim->config.NPAT[1] = n;
  const double ex = 3e-4, ax = 2.5, bx = 10.0, ey = 2e-4, ay = -0.4, by = 300.0;
  const double ez = 15.0, az = -1.0, bz = 0.7;
  const ParticleArrays& p = sim->particles;
  const double slack = 1e-12;  // rounding of the mapping
  gen_dist_waterbag6d(*sim, kBeta0, ex, ax, bx, ey, ay, by, ez, az, bz, 1);
  const double m = sim->ref.amu_ev, w0 = energy(kBeta0, m);
  for (int i = 1; i <= n; ++i) {
    const double jx = invariant(p.x[1][i], p.xp[1][i], ex, ax, bx);
    const double jy = invariant(p.y[1][i], p.yp[1][i], ey, ay, by);
    const double del = 100.0 * (energy(p.beta[1][i], m) / w0 - 1.0);
    const double jz = invariant(p.phase[1][i] / kDegToRad, del, ez, az, bz);
    ASSERT_LT(jx + jy + jz, 1.0 + 1e-9) << i;  // the 6-D ball; dW/W goes through W and back
    ASSERT_EQ(p.status[1][i], kLive);
  }
  gen_beam_twiss(*sim, kBeta0, ex, ax, bx, ey, ay, by, 25.0, 0.5);
  for (int i = 1; i <= n; ++i) {
    const double jx = invariant(p.x[1][i], p.xp[1][i], ex, ax, bx);
    const double jy = invariant(p.y[1][i], p.yp[1][i], ey, ay, by);
    ASSERT_LT(jx + jy, 1.0 + slack) << i;  // the 4-D ball
    ASSERT_LE(std::fabs(p.phase[1][i]), 25.0 * kDegToRad);
    const double del = 100.0 * (energy(p.beta[1][i], m) / w0 - 1.0);
    ASSERT_LE(std::fabs(del), 0.5 * (1.0 + 1e-6));
  }
  gen_dist_ellipsoid3d(*sim, kBeta0, ex, ax, bx, ey, ay, by, ez, az, bz, 1);
  for (int i = 1; i <= n; ++i) {
    ASSERT_LT(invariant(p.x[1][i], p.xp[1][i], ex, ax, bx), 2.0 + slack);  // r1^2 + r2^2 < 2
    ASSERT_LT(invariant(p.y[1][i], p.yp[1][i], ey, ay, by), 2.0 + slack);
  }
}

TEST_F(GenFixture, UniformBoxPhaseAndSpeedRanges) {
  const int n = 20000;
  sim->config.NPAT[1] = n;
  // DB_B = 0: every particle at beta_q; DF_4D = 180: phases fill [-pi, pi).
  gen_dist_uniform_box(*sim, 0.05, 0.0, 180.0, 0.0, 1e-4, 0.0, 50.0, 1e-4, 0.0, 50.0, 1);
  const ParticleArrays& p = sim->particles;
  double lo = 10, hi = -10;
  for (int i = 0; i <= n; ++i) {
    ASSERT_EQ(p.beta[1][i], 0.05);
    ASSERT_GE(p.phase[1][i], -kPi);
    ASSERT_LT(p.phase[1][i], kPi);
    lo = std::min(lo, p.phase[1][i]);
    hi = std::max(hi, p.phase[1][i]);
  }
  // Uniform over 2 pi: the extremes of N draws lie within a few 2 pi/N of the ends.
  EXPECT_LT(lo, -kPi + 20 * kTwoPi / n);
  EXPECT_GT(hi, kPi - 20 * kTwoPi / n);
  // A window about PHI0 = 170 deg wraps past pi; speeds within 1 +- DB_B.
  gen_dist_uniform_box(*sim, 0.05, 0.02, 20.0, 170.0, 1e-4, 0.0, 50.0, 1e-4, 0.0, 50.0, 1);
  for (int i = 1; i <= n; ++i) {
    const double d = p.phase[1][i] / kDegToRad;
    ASSERT_TRUE((d >= 150.0 - 1e-9 && d < 180.0) || (d >= -180.0 && d <= -170.0 + 1e-9)) << d;
    ASSERT_LE(std::fabs(p.beta[1][i] / 0.05 - 1.0), 0.02 * (1.0 + 1e-12));
  }
}

TEST_F(GenFixture, DrawsSixDeviatesPerTryAndConsumesRejectedOnes) {
  // Rebuild the first particles of the 6-D generator by hand from the
  // stream: six deviates per try, the whole try dropped when outside the
  // ball. alpha = 0 makes the mapping q = r1 sqrt(eps beta), q' = r2 sqrt(eps/beta).
  const int n = 5;
  sim->config.NPAT[1] = n;
  gen_dist_waterbag6d(*sim, kBeta0, 1e-4, 0.0, 100.0, 4e-4, 0.0, 25.0, 10.0, 0.0, 4.0, 1);
  auto ref = make_sim();
  set_start_values(*ref);
  rn_set_seed(*ref, 214748364);
  int k = 0, tries = 0;
  const ParticleArrays& p = sim->particles;
  while (k < n) {
    double u[6], r[6];
    dRNUN(*ref, 6, u);
    ++tries;
    double s = 0;
    for (int j = 0; j < 6; ++j) {
      r[j] = (0.5 - u[j]) * 2.0;
      s += r[j] * r[j];
    }
    if (!(s < 1.0)) continue;
    ++k;
    EXPECT_DOUBLE_EQ(p.x[1][k], r[0] * std::sqrt(1e-4 * 100.0));
    EXPECT_DOUBLE_EQ(p.xp[1][k], r[1] * std::sqrt(1e-4 / 100.0));
    EXPECT_DOUBLE_EQ(p.y[1][k], r[2] * std::sqrt(4e-4 * 25.0));
    EXPECT_DOUBLE_EQ(p.yp[1][k], r[3] * std::sqrt(4e-4 / 25.0));
    EXPECT_DOUBLE_EQ(p.phase[1][k], r[4] * std::sqrt(10.0 * 4.0) * kDegToRad);
  }
  EXPECT_GT(tries, n);  // some tries were rejected (about 12 per particle)
  // Both streams are now at the same place.
  double a, b;
  dRNUN(*sim, 1, &a);
  dRNUN(*ref, 1, &b);
  EXPECT_EQ(a, b);
}

TEST_F(GenFixture, SameSeedSameBeamAndStatesFollowOneAnother) {
  const int n = 1000;
  sim->config.NQTOT = 2;
  sim->config.NPAT[1] = n;
  sim->config.NPAT[2] = n;
  auto gen = [&](ControlContext& s) {
    for (int iq = 1; iq <= 2; ++iq)
      gen_dist_waterbag6d(s, kBeta0, 1e-4, 0.3, 100.0, 4e-4, -0.2, 25.0, 10.0, 0.1, 4.0, iq);
  };
  gen(*sim);
  auto again = make_sim();
  set_start_values(*again);
  again->config = sim->config;
  rn_set_seed(*again, 214748364);
  gen(*again);
  for (int iq = 1; iq <= 2; ++iq) {
    const ParticleArrays& a = sim->particles;
    const ParticleArrays& b = again->particles;
    EXPECT_EQ(std::memcmp(a.x[iq], b.x[iq], sizeof(double) * (n + 1)), 0);
    EXPECT_EQ(std::memcmp(a.yp[iq], b.yp[iq], sizeof(double) * (n + 1)), 0);
    EXPECT_EQ(std::memcmp(a.phase[iq], b.phase[iq], sizeof(double) * (n + 1)), 0);
    EXPECT_EQ(std::memcmp(a.beta[iq], b.beta[iq], sizeof(double) * (n + 1)), 0);
  }
  // The second state continues the stream: it is not a copy of the first.
  EXPECT_NE(sim->particles.x[1][1], sim->particles.x[2][1]);
}

TEST_F(GenFixture, RoundBeamAndSmallestCount) {
  // beta = 1, alpha = 0: the ellipse is a circle; particles stay finite.
  sim->config.NPAT[1] = 1000;
  gen_dist_waterbag6d(*sim, kBeta0, 1e-4, 0.0, 1.0, 1e-4, 0.0, 1.0, 1.0, 0.0, 1.0, 1);
  for (int i = 0; i <= 1000; ++i) {
    ASSERT_TRUE(std::isfinite(sim->particles.x[1][i]) && std::isfinite(sim->particles.xp[1][i]) &&
                std::isfinite(sim->particles.phase[1][i]) && std::isfinite(sim->particles.beta[1][i]))
        << i;
    ASSERT_LT(invariant(sim->particles.x[1][i], sim->particles.xp[1][i], 1e-4, 0.0, 1.0), 1.0);
  }
  // NPAT = 1: the reference and exactly one particle.
  sim->config.NPAT[1] = 1;
  sim->particles.status[1][2] = kLost;
  gen_dist_uniform_box(*sim, kBeta0, 0.0, 10.0, 0.0, 1e-4, 0.0, 1.0, 1e-4, 0.0, 1.0, 1);
  EXPECT_EQ(sim->particles.status[1][1], kLive);
  EXPECT_EQ(sim->particles.status[1][2], kLost);  // untouched
}

TEST_F(GenFixture, InputsThatCannotMakeABeamAreRefused) {
  struct Case {
    std::int32_t npat;
    double beta0, eps, twiss_beta;
    const char* fragment;
  };
  const Case cases[] = {
      {0, kBeta0, 1e-4, 1.0, "NPAT(1) = 0"},
      {-3, kBeta0, 1e-4, 1.0, "NPAT(1) = -3"},
      {kMaxParticles + 1, kBeta0, 1e-4, 1.0, "NPAT(1) = 166002"},
      {10, kBeta0, 1e-4, 0.0, "Twiss beta of the x plane is 0"},
      {10, kBeta0, 1e-4, -2.0, "Twiss beta of the x plane is -2"},
      {10, kBeta0, -1e-4, 1.0, "emittance of the x plane"},
      {10, 0.0, 1e-4, 1.0, "reference speed"},
  };
  for (const Case& c : cases) {
    sim->config.NPAT[1] = c.npat;
    for (int which = 0; which < 4; ++which) {
      const std::string msg = fatal_text([&] {
        switch (which) {
          case 0: gen_dist_waterbag6d(*sim, c.beta0, c.eps, 0, c.twiss_beta, 1e-4, 0, 1, 1, 0, 1, 1); break;
          case 1: gen_dist_ellipsoid3d(*sim, c.beta0, c.eps, 0, c.twiss_beta, 1e-4, 0, 1, 1, 0, 1, 1); break;
          case 2: gen_dist_uniform_box(*sim, c.beta0, 0, 10, 0, c.eps, 0, c.twiss_beta, 1e-4, 0, 1, 1); break;
          default: gen_beam_twiss(*sim, c.beta0, c.eps, 0, c.twiss_beta, 1e-4, 0, 1, 10, 1); break;
        }
      });
      EXPECT_NE(msg.find(c.fragment), std::string::npos) << which << ": " << msg;
    }
  }
  // The longitudinal ellipse of the 6-D generators is checked too.
  sim->config.NPAT[1] = 10;
  EXPECT_NE(fatal_text([&] {
              gen_dist_waterbag6d(*sim, kBeta0, 1e-4, 0, 1, 1e-4, 0, 1, 1, 0, 0.0, 1);
            }).find("longitudinal"),
            std::string::npos);
}

// The sheared 4-D generator. Shear of a plane: q' = c2 sqrt(gamma eps),
// q = c1 sqrt(eps/gamma) - (alpha/gamma) q', which carries the unit disc onto
// gamma q^2 + 2 alpha q q' + beta q'^2 = eps (c1^2 + c2^2) with unit
// Jacobian up to eps: a uniform 4-D ball of (c1..c4) gives
// J_x/eps_x + J_y/eps_y <= 1 for every particle, and <c^2> = 1/6 gives
// <q^2> = beta eps/6, <q q'> = -alpha eps/6, <q'^2> = gamma eps/6 (rms
// emittance eps/6, rms alpha and beta the asked ones). The longitudinal
// pair, uniform in the square [-1, 1]^2 (<c^2> = 1/3, <c5 c6> = 0) and
// mapped onto the z ellipse, has rms emittance eps_z/3, the asked alpha_z
// and beta_z, and is centred on the reference: its mean phase and dW/W are
// 0 within their standard errors.
TEST_F(GenFixture, ShearedWaterbagFillsTheFourBallWithTheAskedTwiss) {
  const int n = 100000;
  const double tol = 5.0 / std::sqrt(double(n));
  const double ex = 3e-4, ax = -1.2, bx = 90.0;
  const double ey = 1e-4, ay = 2.5, by = 10.0;
  const double ez = 20.0, az = 0.5, bz = 2.0;  // deg %, deg/%
  const double m = sim->ref.amu_kev;
  const double w0 = energy(kBeta0, m);  // keV/u
  sim->ref.w0 = w0;
  sim->config.NPAT[1] = n;
  gen_dist_waterbag4d_shear(*sim, kBeta0, ex, ax, bx, ey, ay, by, ez, az, bz, 1);
  const ParticleArrays& p = sim->particles;
  std::vector<double> phi(n + 1), del(n + 1);
  double max_j = 0.0;
  for (int i = 1; i <= n; ++i) {
    ASSERT_EQ(p.status[1][i], kLive);
    const double j4 = invariant(p.x[1][i], p.xp[1][i], ex, ax, bx) + invariant(p.y[1][i], p.yp[1][i], ey, ay, by);
    max_j = std::max(max_j, j4);
    phi[i] = p.phase[1][i] / kDegToRad;
    del[i] = 100.0 * (energy(p.beta[1][i], m) / w0 - 1.0);
  }
  EXPECT_LE(max_j, 1.0 + 1e-12);  // rounding of the mapping
  EXPECT_GT(max_j, 0.99);         // and the ball is filled to its border
  const PlaneMoments mx = moments(p.x[1], p.xp[1], n);
  const PlaneMoments my = moments(p.y[1], p.yp[1], n);
  const PlaneMoments mz = moments(phi.data(), del.data(), n);
  const struct {
    const char* plane;
    PlaneMoments got;
    double eps, alpha, beta, ratio;
  } planes[] = {{"x", mx, ex, ax, bx, 1.0 / 6.0}, {"y", my, ey, ay, by, 1.0 / 6.0}, {"z", mz, ez, az, bz, 1.0 / 3.0}};
  for (const auto& c : planes) {
    SCOPED_TRACE(c.plane);
    EXPECT_NEAR(c.got.eps() / c.eps, c.ratio, c.ratio * tol);
    EXPECT_NEAR(c.got.beta(), c.beta, c.beta * tol);
    EXPECT_NEAR(c.got.alpha(), c.alpha, (1.0 + std::fabs(c.alpha)) * tol);
  }
  // Centred longitudinal pair: the means lie within 5 standard errors of 0.
  double mphi = 0, mdel = 0;
  for (int i = 1; i <= n; ++i) {
    mphi += phi[i];
    mdel += del[i];
  }
  mphi /= n;
  mdel /= n;
  const double gz = (1.0 + az * az) / bz;
  EXPECT_NEAR(mphi, 0.0, 5.0 * std::sqrt(bz * ez / 3.0 / n));
  EXPECT_NEAR(mdel, 0.0, 5.0 * std::sqrt(gz * ez / 3.0 / n));
  EXPECT_EQ(p.beta[1][0], kBeta0);

  // The first particles rebuilt by hand from the stream: six deviates per
  // try, c = 2u - 1, the try dropped outside the closed 4-ball; the energy
  // from w0 (alpha_z = 0: phase c5 sqrt(eps_z beta_z), dW/W c6 sqrt(eps_z/beta_z)).
  rn_set_seed(*sim, 214748364);
  sim->config.NPAT[1] = 5;
  gen_dist_waterbag4d_shear(*sim, kBeta0, ex, ax, bx, ey, ay, by, 10.0, 0.0, 4.0, 1);
  auto ref = make_sim();
  set_start_values(*ref);
  rn_set_seed(*ref, 214748364);
  const double gx = (1.0 + ax * ax) / bx;
  for (int k = 1; k <= 5;) {
    double u[6], c[6];
    dRNUN(*ref, 6, u);
    for (int j = 0; j < 6; ++j) c[j] = 2.0 * u[j] - 1.0;
    if (c[0] * c[0] + c[1] * c[1] + c[2] * c[2] + c[3] * c[3] > 1.0) continue;
    const double xp = c[1] * std::sqrt(gx * ex);
    EXPECT_DOUBLE_EQ(p.xp[1][k], xp);
    EXPECT_DOUBLE_EQ(p.x[1][k], c[0] * std::sqrt(ex / gx) - ax / gx * xp);
    EXPECT_DOUBLE_EQ(p.phase[1][k], c[4] * std::sqrt(10.0 * 4.0) * kDegToRad);
    const double w = w0 * (1.0 + 0.01 * c[5] * std::sqrt(10.0 / 4.0));
    EXPECT_NEAR(p.beta[1][k], std::sqrt(1.0 - std::pow(m / (w + m), 2)), 1e-15);
    ++k;
  }
  double a, b;
  dRNUN(*sim, 1, &a);
  dRNUN(*ref, 1, &b);
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace linac
