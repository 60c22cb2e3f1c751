// Normal, spherical and discrete deviates, all drawn one uniform at a time
// from the run's one stream, so they advance the same state as dRNUN; the
// order of the draws below is part of the behaviour.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace linac {

struct NumericsContext;

// R(1..NR): independent standard normal deviates (R points at R(1)).
// NR < 1 is a TERMINAL error (code 1).
void DRNNOA(NumericsContext& sim, std::int32_t NR, double* R);
// Row i of Z (Z(i,1..K), i = 1..NR; column-major with leading dimension LDZ,
// Z points at Z(1,1)): a point uniform on the unit sphere in K dimensions.
// NR < 1 or LDZ < NR (code 1) and K < 2 (code 2) are TERMINAL errors.
void DRNSPH(NumericsContext& sim, std::int32_t NR, std::int32_t K, double* Z, std::int32_t LDZ);
// IR(1..NR): values IMIN..IMIN+NMASS-1, value IMIN+j-1 with probability
// PROBS(j), by the alias method. IOPT = 0 builds the alias table in
// IWK(1..NMASS), WK(1..NMASS) from PROBS and then draws; IOPT = 1 draws from
// a table built by an earlier call. One single-precision uniform per value.
// Bad counts, negative probabilities and a sum outside 1 +- tolerance are
// TERMINAL errors (codes 1..5).
void RNGDA(NumericsContext& sim, std::int32_t NR, std::int32_t IOPT, std::int32_t IMIN, std::int32_t NMASS,
           const float* PROBS, std::int32_t* IWK, float* WK, std::int32_t* IR);

namespace deviates {

// One standard normal deviate by the acceptance-rejection method of
// Kinderman and Ramage, taking uniforms from next() in the order written.
template <class Uniform>
double normal_kr(Uniform&& next) {
  constexpr double xi = 2.216035867166471;
  constexpr double half_xi2 = 2.45540748228412;  // xi^2 / 2
  // Difference between the normal density and the triangular part.
  auto f = [](double t) {
    return 0.3989422804014327 * std::exp(-t * t / 2.0) - 0.180025191068563 * (xi - std::fabs(t));
  };
  const double u = next();
  if (u < 0.884070402298758) {
    const double v = next();
    return xi * (1.13113163544418 * u + v - 1.0);
  }
  if (u >= 0.973310954173898) {  // tail beyond xi
    double t = 0.0;
    for (;;) {
      const double v = next();
      const double w = next();
      t = half_xi2 - std::log(w);
      if (v * v * t <= half_xi2) break;
    }
    const double r = std::sqrt(2.0 * t);
    return u >= 0.986655477086949 ? -r : r;
  }
  for (;;) {
    const double v = next();
    const double w = next();
    const double z = v - w;
    const double m = std::min(v, w);
    const double M = std::max(v, w);
    double t, bound, factor;
    if (u >= 0.958720824790463) {
      t = xi - 0.63083480192196 * m;
      bound = 0.755591531667601;
      factor = 0.034240503750111;
    } else if (u >= 0.911312780288703) {
      t = 0.479727404222441 + 1.10547366102207 * m;
      bound = 0.87283497667179;
      factor = 0.049264496373128;
    } else {
      t = 0.479727404222441 - 0.59550713801594 * m;
      if (t < 0.0) continue;
      bound = 0.805577924423817;
      factor = 0.053377549506886;
    }
    if (M <= bound || factor * std::fabs(z) <= f(t)) return z < 0.0 ? t : -t;
  }
}

// Builds the alias table of PROBS(1..NMASS) (already checked): the cut-offs
// WK(j) in [j-1, j) and the aliases IWK(j). Every element starts as its own
// alias, so a draw above a cut-off that the pairing never reached returns
// the element itself and stays in range.
void alias_setup(std::int32_t NMASS, const float* PROBS, std::int32_t* IWK, float* WK);
// One value from the table for the uniform u in (0, 1).
std::int32_t alias_draw(float u, std::int32_t NMASS, std::int32_t IMIN, const std::int32_t* IWK,
                        const float* WK);

}  // namespace deviates

}  // namespace linac
