#include "beam/twiss_generators.hpp"

#include <cmath>
#include <string>

#include <fmt/format.h>

#include "beam/phase_groups.hpp"
#include "beam/beam_context.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"

namespace linac {

EllipseMap ellipse_map(double eps, double alpha, double beta) {
  const double gamma = (1.0 + alpha * alpha) / beta;
  // Principal arc tangent: theta in [-pi/4, pi/4]. For a circle (alpha = 0,
  // gamma = beta) every angle is a principal direction; take theta = 0.
  const double num = 2.0 * alpha;
  const double den = gamma - beta;
  const double theta = (num == 0.0 && den == 0.0) ? 0.0 : 0.5 * std::atan(num / den);
  EllipseMap m;
  m.c = std::cos(theta);
  m.s = std::sin(theta);
  const double b = m.c * m.c * beta + m.s * m.s * gamma - alpha * std::sin(2.0 * theta);
  m.a_u = std::sqrt(eps * b);
  m.a_v = std::sqrt(eps / b);
  return m;
}

namespace {

// Checks of the arguments that would otherwise never end the rejection loop,
// overrun the particle block or give infinite or undefined coordinates.
void check_count(const BeamContext& sim, const char* who, std::int32_t iq) {
  const std::int32_t n = sim.config.NPAT[iq];
  if (n < 1 || n > kMaxParticles)
    fatal(fmt::format(" {}: NPAT({}) = {} is outside 1..{}; a generated beam needs at least one "
                      "particle besides the reference",
                      who, iq, n, kMaxParticles));
}

void check_plane(const char* who, const char* plane, double eps, double beta) {
  if (!(beta > 0.0) || !std::isfinite(beta))
    fatal(fmt::format(" {}: Twiss beta of the {} plane is {}; it must be above 0", who, plane,
                      beta));
  if (!(eps >= 0.0) || !std::isfinite(eps))
    fatal(fmt::format(" {}: emittance of the {} plane is {}; it must be 0 or above", who, plane,
                      eps));
}

void check_speed(const char* who, double b) {
  if (!(b > 0.0 && b < 1.0))
    fatal(fmt::format(" {}: reference speed beta = {} is outside (0, 1)", who, b));
}

// Speed of a particle whose kinetic energy per nucleon deviates by delta
// percent from that of beta0; m is the atomic mass unit (its unit cancels).
struct SpeedFromDelta {
  double m;
  double w0;
  SpeedFromDelta(double beta0, double mass) : m(mass) {
    w0 = (1.0 / std::sqrt(1.0 - beta0 * beta0) - 1.0) * m;
  }
  double operator()(double delta) const {
    const double w = w0 * (1.0 + 0.01 * delta);
    const double g = m / (w + m);
    return std::sqrt(1.0 - g * g);
  }
};

// The particle loop shared by every generator: slot 0 is the reference;
// six deviates per draw, r_j = (0.5 - u_j) 2; a rejected draw is consumed
// whole; slots 1..NPAT(iq) are filled in order.
template <class Accept, class Fill>
void fill_state(BeamContext& sim, std::int32_t iq, double beta_ref, Accept accept, Fill fill) {
  ParticleArrays& p = sim.particles;
  p.phase[iq][0] = 0.0;
  p.beta[iq][0] = beta_ref;
  p.x[iq][0] = p.xp[iq][0] = p.y[iq][0] = p.yp[iq][0] = 0.0;
  p.status[iq][0] = kLive;
  const std::int32_t n = sim.config.NPAT[iq];
  double u[6];
  double r[6];
  std::int32_t k = 0;
  while (k < n) {
    dRNUN(sim, 6, u);
    for (int j = 0; j < 6; ++j) r[j] = (0.5 - u[j]) * 2.0;
    if (!accept(r)) continue;
    ++k;
    fill(k, r);
    p.status[iq][k] = kLive;
  }
}

struct TransverseMaps {
  EllipseMap x, y;
};

template <class Longitudinal>
auto transverse_fill(BeamContext& sim, std::int32_t iq, const TransverseMaps& t, Longitudinal lon) {
  return [&sim, iq, t, lon](std::int32_t k, const double* r) {
    ParticleArrays& p = sim.particles;
    map_to_ellipse(t.x, r[0], r[1], p.x[iq][k], p.xp[iq][k]);
    map_to_ellipse(t.y, r[2], r[3], p.y[iq][k], p.yp[iq][k]);
    lon(k, r[4], r[5]);
  };
}

// The checks every generator makes before it fills a state: the particle
// count, the reference speed and the two transverse planes.
void check_transverse_inputs(const BeamContext& sim, const char* who, std::int32_t iq, double beta,
                             double eps_x, double BETX, double eps_y, double BETY) {
  check_count(sim, who, iq);
  check_speed(who, beta);
  check_plane(who, "x", eps_x, BETX);
  check_plane(who, "y", eps_y, BETY);
}

// The six-dimensional generators share everything but the acceptance test.
template <class Accept>
void gen_dist_6d(BeamContext& sim, const char* who, double beta0, double eps_x, double ALPHX,
                 double BETX, double eps_y, double ALPHY, double BETY, double eps_z,
                 double ALPHZ, double BETZ, std::int32_t iq, Accept accept) {
  check_transverse_inputs(sim, who, iq, beta0, eps_x, BETX, eps_y, BETY);
  check_plane(who, "longitudinal", eps_z, BETZ);
  const TransverseMaps t{ellipse_map(eps_x, ALPHX, BETX), ellipse_map(eps_y, ALPHY, BETY)};
  const EllipseMap z = ellipse_map(eps_z, ALPHZ, BETZ);
  const SpeedFromDelta speed(beta0, sim.ref.amu_ev);
  ParticleArrays& p = sim.particles;
  auto lon = [&p, iq, z, speed](std::int32_t k, double r5, double r6) {
    double phi_deg, delta_pct;
    map_to_ellipse(z, r5, r6, phi_deg, delta_pct);
    p.phase[iq][k] = phi_deg * kDegToRad;
    p.beta[iq][k] = speed(delta_pct);
  };
  fill_state(sim, iq, beta0, accept, transverse_fill(sim, iq, t, lon));
}

bool inside_4d(const double* r) {
  return r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3] < 1.0;
}

}  // namespace

void gen_dist_waterbag6d(BeamContext& sim, double beta0, double eps_x, double ALPHX, double BETX,
                         double eps_y, double ALPHY, double BETY, double eps_z, double ALPHZ,
                         double BETZ, std::int32_t iq) {
  gen_dist_6d(sim, "gen_dist_waterbag6d", beta0, eps_x, ALPHX, BETX, eps_y, ALPHY, BETY, eps_z,
              ALPHZ, BETZ, iq, [](const double* r) {
                return r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3] + r[4] * r[4] +
                           r[5] * r[5] <
                       1.0;
              });
}

void gen_dist_ellipsoid3d(BeamContext& sim, double beta0, double eps_x, double ALPHX, double BETX,
                          double eps_y, double ALPHY, double BETY, double eps_z, double ALPHZ,
                          double BETZ, std::int32_t iq) {
  gen_dist_6d(sim, "gen_dist_ellipsoid3d", beta0, eps_x, ALPHX, BETX, eps_y, ALPHY, BETY, eps_z,
              ALPHZ, BETZ, iq,
              [](const double* r) { return r[0] * r[0] + r[2] * r[2] + r[4] * r[4] < 1.0; });
}

void gen_dist_uniform_box(BeamContext& sim, double beta_q, double DB_B, double DF_4D, double PHI0,
                          double eps_x, double ALPHX, double BETX, double eps_y, double ALPHY,
                          double BETY, std::int32_t iq) {
  const char* who = "gen_dist_uniform_box";
  check_transverse_inputs(sim, who, iq, beta_q, eps_x, BETX, eps_y, BETY);
  const TransverseMaps t{ellipse_map(eps_x, ALPHX, BETX), ellipse_map(eps_y, ALPHY, BETY)};
  ParticleArrays& p = sim.particles;
  auto lon = [&p, iq, beta_q, DB_B, DF_4D, PHI0](std::int32_t k, double r5, double r6) {
    double ph = (r5 * DF_4D + PHI0) * kDegToRad;
    p.phase[iq][k] = phase_wrap_2pi(ph);
    p.beta[iq][k] = (1.0 + r6 * DB_B) * beta_q;
  };
  fill_state(sim, iq, beta_q, inside_4d, transverse_fill(sim, iq, t, lon));
}

void gen_beam_twiss(BeamContext& sim, double beta0, double eps_x, double ALPHX, double BETX, double eps_y,
                    double ALPHY, double BETY, double PHMAX, double DWWACC) {
  const char* who = "gen_beam_twiss";
  const std::int32_t iq = 1;
  check_transverse_inputs(sim, who, iq, beta0, eps_x, BETX, eps_y, BETY);
  const TransverseMaps t{ellipse_map(eps_x, ALPHX, BETX), ellipse_map(eps_y, ALPHY, BETY)};
  const SpeedFromDelta speed(beta0, sim.ref.amu_ev);
  ParticleArrays& p = sim.particles;
  auto lon = [&p, speed, PHMAX, DWWACC](std::int32_t k, double r5, double r6) {
    p.phase[1][k] = r5 * PHMAX * kDegToRad;
    p.beta[1][k] = speed(r6 * DWWACC);
  };
  fill_state(sim, iq, beta0, inside_4d, transverse_fill(sim, iq, t, lon));
}

void gen_dist_waterbag4d_shear(BeamContext& sim, double beta0, double eps_x, double ALPHX, double BETX,
                               double eps_y, double ALPHY, double BETY, double eps_z, double ALPHZ,
                               double BETZ, std::int32_t iq) {
  const char* who = "gen_dist_waterbag4d_shear";
  check_transverse_inputs(sim, who, iq, beta0, eps_x, BETX, eps_y, BETY);
  check_plane(who, "longitudinal", eps_z, BETZ);
  const double w0 = sim.ref.w0;
  const double m = sim.ref.amu_kev;
  if (!(w0 > 0.0) || !std::isfinite(w0))
    fatal(fmt::format(" {}: design energy w0 = {} keV/u; it must be above 0", who, w0));
  // Shear of one plane: gamma q^2 + 2 alpha q q' + beta q'^2 = eps (r1^2 + r2^2)
  // for q' = r2 sqrt(gamma eps), q = r1 sqrt(eps/gamma) - (alpha/gamma) q'.
  struct Shear {
    double q_scale, qp_scale, tilt;
    Shear(double eps, double alpha, double beta) {
      const double gamma = (1.0 + alpha * alpha) / beta;
      q_scale = std::sqrt(eps / gamma);
      qp_scale = std::sqrt(gamma * eps);
      tilt = alpha / gamma;
    }
    void map(double c1, double c2, double& q, double& qp) const {
      qp = c2 * qp_scale;
      q = c1 * q_scale - tilt * qp;
    }
  };
  const Shear sx(eps_x, ALPHX, BETX), sy(eps_y, ALPHY, BETY);
  const EllipseMap z = ellipse_map(eps_z, ALPHZ, BETZ);
  ParticleArrays& p = sim.particles;
  // The loop's deviates are r_j = 1 - 2u_j; this generator works with
  // 2u_j - 1 = -r_j.
  auto accept = [](const double* r) {
    return r[0] * r[0] + r[1] * r[1] + r[2] * r[2] + r[3] * r[3] <= 1.0;
  };
  auto fill = [&p, iq, sx, sy, z, w0, m](std::int32_t k, const double* r) {
    sx.map(-r[0], -r[1], p.x[iq][k], p.xp[iq][k]);
    sy.map(-r[2], -r[3], p.y[iq][k], p.yp[iq][k]);
    double phi_deg, delta_pct;
    map_to_ellipse(z, -r[4], -r[5], phi_deg, delta_pct);
    p.phase[iq][k] = phi_deg * kDegToRad;
    const double w = w0 * (1.0 + 0.01 * delta_pct);
    const double g = m / (w + m);
    p.beta[iq][k] = std::sqrt(1.0 - g * g);
  };
  fill_state(sim, iq, beta0, accept, fill);
}

}  // namespace linac
