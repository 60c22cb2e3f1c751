// A single RF gap in a run context: a Gaussian-gap RF table eh_MWS.#01
// (E_z = E0 exp(-(z - L/2)^2/(2 sigma^2)) on the axis) written into the
// scratch directory, and the closed-form results the gap must reproduce.
#pragma once

#include <cmath>
#include <string>

#include "run/sim.hpp"
#include "transport/element_run.hpp"
#include "transport/table_writers.hpp"

namespace linac::testing {

struct GapSpec {
  double E0 = 1000.0;   // V/cm
  double sigma = 1.0;   // cm
  double L = 10.0;      // cm: the table spans -L/2..L/2 around the middle
  double aper = 2.0;    // cm, the table header's aperture radius
};

// Writes eh_MWS.#NN of the gap (201 z nodes over L, 25 x 25 over +-aper).
inline void write_gap_table(const Sim& s, const GapSpec& g, int NN = 1) {
  Table3DLayout l = table_layout(g.aper, g.aper, 0.5 * g.L, {0, 0, 0});
  l.head_2 = g.aper;
  l.head_int = 1;
  const std::string name = std::string("eh_MWS.#") + (NN < 10 ? "0" : "") + std::to_string(NN);
  write_table3d(s.units, name, l, kKindEB, analytic::gaussian_gap(g.E0, g.sigma));
}

// Thin-gap energy gain per nucleon at the crest, keV/u, for Q/A = qa at
// speed beta with lambda-bar lb (cm/rad): q E0 sigma sqrt(2 pi) T with the
// transit-time factor T = exp(-sigma^2/(2 beta^2 lb^2)).
inline double thin_gap_gain(const GapSpec& g, double qa, double beta, double lb) {
  const double k = g.sigma / (beta * lb);
  return qa * g.E0 * g.sigma * std::sqrt(kTwoPi) * std::exp(-0.5 * k * k) / 1000.0;
}

// Entrance phase of the crest: the particle passes the gap centre at phase
// 0 of the field, phi0 = -L/(2 beta lb) mod 2 pi.
inline double crest_phase(const GapSpec& g, double beta, double lb) {
  double p = std::fmod(-g.L / (2.0 * beta * lb), kTwoPi);
  if (p < 0.0) p += kTwoPi;
  return p;
}

// The shape of a multi-harmonic buncher: E_z = E0 exp(-(z - L/2)^2/(2
// sigma^2)) uniform in r (no E_r), over 0 <= z <= L within radius aper, as
// the r-z table MHBrz.#0N (501 x 3 nodes) or the static 3-D table
// eh_EMS.#NN holding E.
inline double gap_ez(const GapSpec& g, double z) {
  const double d = (z - 0.5 * g.L) / g.sigma;
  return g.E0 * std::exp(-0.5 * d * d);
}
inline void write_uniform_gap_rz(const Sim& s, const GapSpec& g, int N) {
  write_mhb_rz(s.units, std::string("MHBrz.#0") + std::to_string(N), 501, 3, g.L, g.aper,
               [g](double, double z) { return std::pair<double, double>{0.0, gap_ez(g, z)}; });
}
inline void write_uniform_gap_ems(const Sim& s, const GapSpec& g, int NN) {
  const std::string name = std::string("eh_EMS.#") + (NN < 10 ? "0" : "") + std::to_string(NN);
  write_table3d(s.units, name, table_layout(g.aper, g.aper, 0.5 * g.L, {0, 0, 0}), kKindE,
                [g](double, double, double dz, Vec3& E, Vec3& B) {
                  E = {0.0, 0.0, gap_ez(g, dz + 0.5 * g.L)};
                  B = {0.0, 0.0, 0.0};
                });
}

// Thin-gap gain (keV/u, qa = 1) of such a shape driven at harmonic h, per
// unit of the time factor at the gap centre: E0 sigma sqrt(2 pi) exp(-(h
// sigma/(beta lb))^2/2)/1000.
inline double harmonic_gain(const GapSpec& g, double h, double beta, double lb) {
  const double k = h * g.sigma / (beta * lb);
  return g.E0 * g.sigma * std::sqrt(kTwoPi) * std::exp(-0.5 * k * k) / 1000.0;
}

}  // namespace linac::testing
