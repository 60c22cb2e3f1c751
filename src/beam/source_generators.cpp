#include "beam/source_generators.hpp"

#include <cmath>
#include <cstdint>

#include <fmt/format.h>

#include "beam/phase_groups.hpp"
#include "beam/beam_context.hpp"
#include "numerics/deviates.hpp"
#include "numerics/random.hpp"
#include "platform/fatal.hpp"

namespace linac {

namespace {

// The charge state and its count must fit the particle block; NPAT = 0
// gives the reference particle alone.
void check_state(const BeamContext& sim, const char* who, std::int32_t iq) {
  if (iq < 1 || iq > kMaxChargeStates)
    fatal(fmt::format(" {}: charge state {} is outside 1..{}", who, iq, kMaxChargeStates));
  const std::int32_t n = sim.config.NPAT[iq];
  if (n < 0 || n > kMaxParticles)
    fatal(fmt::format(" {}: NPAT({}) = {} is outside 0..{}", who, iq, n, kMaxParticles));
}

// Every particle's energy W = (1 + f) w_c + dw with |f| <= spread must be
// above 0, or its speed is undefined.
void check_energy(const char* who, std::int32_t iq, double w_c, double spread, double dw) {
  const double w_low = (1.0 - spread) * w_c + dw;
  if (!(w_c > 0.0) || !(w_low > 0.0) || !std::isfinite(w_c))
    fatal(fmt::format(" {}: charge state {}: kinetic energy {} keV/u (lowest of the spread {} "
                      "keV/u); it must be above 0",
                      who, iq, w_c, w_low));
}

void set_reference(ParticleArrays& p, std::int32_t iq, double beta) {
  p.phase[iq][0] = 0.0;
  p.x[iq][0] = p.xp[iq][0] = p.y[iq][0] = p.yp[iq][0] = 0.0;
  p.beta[iq][0] = beta;
  p.status[iq][0] = kLive;
}

// Rejection sampling whose acceptance depends on the input (a cone or an
// ellipse that is nearly empty) stops after this many draws instead of
// running for hours: an acceptance below 1e-7 is a fault of the input.
constexpr long kMaxDraws = 10000000;

[[noreturn]] void too_many_draws(std::string_view who, const std::string& what) {
  fatal(fmt::format(" {}: {} leaves almost no room: no sample accepted in {} draws", who, what,
                    kMaxDraws));
}

// A normal deviate cut at 6 sigma: drawn again until |g| <= 6.
double normal_cut6(BeamContext& sim) {
  double g;
  do {
    DRNNOA(sim, 1, &g);
  } while (!(std::fabs(g) <= 6.0));
  return g;
}

}  // namespace

void sample_ellipse2d(BeamContext& sim, double& out1, double& out2, double p, double q, double r) {
  if (!(std::fabs(r) < 1.0))
    fatal(fmt::format(" sample_ellipse2d: correlation r = {}; it must lie strictly between -1 "
                      "and 1",
                      r));
  double u[2];
  double t1, t2;
  long draws = 0;
  do {
    if (++draws > kMaxDraws) too_many_draws("sample_ellipse2d", fmt::format("correlation r = {}", r));
    dRNUN(sim, 2, u);
    t1 = 2.0 * u[0] - 1.0;
    t2 = 2.0 * u[1] - 1.0;
  } while (!(t1 * t1 - 2.0 * r * t1 * t2 + t2 * t2 <= 1.0 - r * r));
  out1 = p * t1;
  out2 = q * t2;
}

void gen_dist_random_direction(BeamContext& sim, double beta0, double R, double nz_min, double dphi,
                               double dbb, std::int32_t iq) {
  const char* who = "gen_dist_random_direction";
  check_state(sim, who, iq);
  if (!(nz_min < 1.0))
    fatal(fmt::format(" {}: the smallest direction cosine nz_min = {} (BETZ) leaves no "
                      "directions; it must be below 1",
                      who, nz_min));
  const RunConfig& c = sim.config;
  const ReferenceBlock& ref = sim.ref;
  const double amu = ref.amu_kev;
  const double w0 = kinetic_energy_kev(beta0, amu);
  const double wq = w0 * (ref.ADESIGN / ref.QDESIGN) * (c.QQ[iq] / c.AMASS[iq]);
  check_energy(who, iq, wq, 0.0, 0.0);
  const double beta_q = speed_of_energy(wq, amu);
  if (!(std::fabs(dbb) < 1.0) || !((1.0 + std::fabs(dbb)) * beta_q < 1.0))
    fatal(fmt::format(" {}: relative speed spread DB_B = {} around beta = {} gives speeds "
                      "outside (0, 1)",
                      who, dbb, beta_q));

  ParticleArrays& p = sim.particles;
  set_reference(p, iq, beta_q);
  p.z[iq][0] = 0.0;
  p.betax[iq][0] = p.betay[iq][0] = 0.0;
  p.betaz[iq][0] = beta_q;
  const std::int32_t n = c.NPAT[iq];
  double u[2];
  for (std::int32_t i = 1; i <= n; ++i) {
    double t1, t2;
    do {
      dRNUN(sim, 2, u);
      t1 = 2.0 * u[0] - 1.0;
      t2 = 2.0 * u[1] - 1.0;
    } while (!(t1 * t1 + t2 * t2 <= 1.0));
    p.x[iq][i] = R * t1;
    p.y[iq][i] = R * t2;
    // A direction with nz = 0 has no finite slope: it is drawn again like
    // one outside the cone.
    double v[3];
    long draws = 0;
    do {
      if (++draws > kMaxDraws) too_many_draws(who, fmt::format("nz_min = {} (BETZ)", nz_min));
      DRNSPH(sim, 1, 3, v, 1);
    } while (!(v[2] >= nz_min) || v[2] == 0.0);
    p.xp[iq][i] = v[0] / v[2];
    p.yp[iq][i] = v[1] / v[2];
    dRNUN(sim, 2, u);
    p.phase[iq][i] = (2.0 * u[0] - 1.0) * dphi * kPi / 180.0;
    const double beta = (1.0 + (2.0 * u[1] - 1.0) * dbb) * beta_q;
    p.beta[iq][i] = beta;
    p.betax[iq][i] = beta * v[0];
    p.betay[iq][i] = beta * v[1];
    p.betaz[iq][i] = beta * v[2];
    p.status[iq][i] = kLive;
  }
}

void gen_dist_dc_beam(BeamContext& sim, double /*beta0*/, double a, double b, double r, std::int32_t iq) {
  const char* who = "gen_dist_dc_beam";
  check_state(sim, who, iq);
  if (!(std::fabs(r) < 1.0))
    fatal(fmt::format(" {}: correlation RAB = {} of x and y; it must lie strictly between -1 "
                      "and 1",
                      who, r));
  const RunConfig& c = sim.config;
  ReferenceBlock& ref = sim.ref;
  const double amu = ref.amu_kev;
  const double dww = sim.offsets.DWW00[iq];
  ref.qa_push = ref.QDESIGN / ref.ADESIGN;
  // Every charge state falls through the source voltage of the design particle.
  const double wq = (ref.w0 / ref.qa_push) * (c.QQ[iq] / c.AMASS[iq]);
  check_energy(who, iq, wq, 0.001, dww);

  ParticleArrays& p = sim.particles;
  set_reference(p, iq, speed_of_energy(wq, amu));
  const std::int32_t n = c.NPAT[iq];
  double u[2];
  for (std::int32_t i = 1; i <= n; ++i) {
    sample_ellipse2d(sim, p.x[iq][i], p.y[iq][i], a, b, r);
    sample_ellipse2d(sim, p.xp[iq][i], p.yp[iq][i], 0.001, 0.001, 0.0);
    dRNUN(sim, 2, u);
    p.phase[iq][i] = (2.0 * u[0] - 1.0) * 180.0 * kPi / 180.0;
    const double delta = (2.0 * u[1] - 1.0) * 0.1;  // percent
    const double w = (1.0 + 0.01 * delta) * wq + dww;
    p.beta[iq][i] = speed_of_energy(w, amu);
    p.status[iq][i] = kLive;
  }
}

void gen_dist_ball3d(BeamContext& sim, double beta0, double a, double b, double c, std::int32_t iq) {
  const char* who = "gen_dist_ball3d";
  check_state(sim, who, iq);
  const ReferenceBlock& ref = sim.ref;
  const double amu = ref.amu_kev;
  const double w0 = ref.w0;
  const double dww = sim.offsets.DWW00[iq];
  check_energy(who, iq, w0, 1e-4, dww);

  ParticleArrays& p = sim.particles;
  set_reference(p, iq, beta0);
  const std::int32_t n = sim.config.NPAT[iq];
  double u[6];
  double t[6];
  for (std::int32_t i = 1; i <= n; ++i) {
    do {
      dRNUN(sim, 6, u);
      for (int j = 0; j < 6; ++j) t[j] = 2.0 * u[j] - 1.0;
    } while (!(t[0] * t[0] + t[2] * t[2] + t[4] * t[4] <= 1.0));
    const double w = (1.0 + 0.01 * (0.01 * t[5])) * w0 + dww;
    const double beta = speed_of_energy(w, amu);
    p.beta[iq][i] = beta;
    p.x[iq][i] = a * t[0];
    p.xp[iq][i] = 0.001 * t[1];
    p.y[iq][i] = b * t[2];
    p.yp[iq][i] = 0.001 * t[3];
    p.status[iq][i] = kLive;
    // Longitudinal offset c t5 (cm) as the RF phase of its flight time.
    p.phase[iq][i] = c * t[4] / (beta * ref.wavelength_2pi);
  }
}

void gen_dist_gauss(BeamContext& sim, double beta0, double a, double b, double c, std::int32_t iq) {
  const char* who = "gen_dist_gauss";
  check_state(sim, who, iq);
  const ReferenceBlock& ref = sim.ref;
  const double amu = ref.amu_kev;
  const double w0 = ref.w0;
  const double dww = sim.offsets.DWW00[iq];
  check_energy(who, iq, w0, 0.001, dww);

  ParticleArrays& p = sim.particles;
  set_reference(p, iq, beta0);
  const std::int32_t n = sim.config.NPAT[iq];
  double u;
  for (std::int32_t i = 1; i <= n; ++i) {
    p.x[iq][i] = a * normal_cut6(sim);
    dRNUN(sim, 1, &u);
    p.xp[iq][i] = (2.0 * u - 1.0) * 0.001;
    p.y[iq][i] = b * normal_cut6(sim);
    dRNUN(sim, 1, &u);
    p.yp[iq][i] = (2.0 * u - 1.0) * 0.001;
    const double s = c * normal_cut6(sim);  // cm
    dRNUN(sim, 1, &u);
    const double delta = (2.0 * u - 1.0) * 0.1;  // percent
    const double w = (1.0 + 0.01 * delta) * w0 + dww;
    const double gamma = w / amu + 1.0;
    const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    p.beta[iq][i] = beta;
    p.status[iq][i] = kLive;
    p.phase[iq][i] = s / (beta * ref.wavelength_2pi * gamma);
  }
}

}  // namespace linac
