// Cell files rfq.#NN for RFQ lattices and tests, from the design of the
// accelerating section with the two-term potential of standard RFQ theory:
// for a cell of length L = beta lambda/2 (k = pi/L), mean aperture r0 and
// modulation m (minimum aperture a = 2 r0/(m + 1)),
//   A10 = A = (m^2 - 1)/(m^2 I0(ka) + I0(mka)),
//   A01 = (1 - A I0(ka)) (r0/a)^2,
// with I0 from std::cyl_bessel_i. The cells around the regular section are
// made consistent at their joints: the same length as their neighbour, the
// transitions' quadrupole coefficient scaled to the radius R (A01 (R/r0)^2)
// and their A10 = A of the regular cells; fall cells fall over their whole
// length (z11 = 0, Dfall = L).
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace rfq_design {

// Atomic mass unit, keV (CODATA 2018).
inline constexpr double kAmuKev = 931494.10242;
inline constexpr double kLightCmS = 29979245800.0;
inline constexpr double kPi = 3.141592653589793;

struct Design {
  double W_in = 0.0;   // keV/u at the first cell
  double dW = 0.0;     // keV/u gained per regular cell (sets the cell lengths)
  double freq = 0.0;   // Hz (base frequency)
  double harm = 1.0;   // harmonic of the RFQ
  double V_kv = 0.0;   // inter-vane voltage, kV
  double R = 0.0;      // reference radius, cm
  double r0 = 0.0;     // mean aperture of the regular cells, cm
  std::vector<double> m;    // modulation per regular cell
  std::vector<int> types;   // chain; each 0 stands for the next regular cell
  double A10_scale = 1.0;   // factor on A10 of every cell (small-gain fixtures)
  double A01_scale = 1.0;   // factor on A01 of every cell
  // When above 0: the energy gain per regular cell follows the cell itself,
  // dW = gain (pi/4) A10 V qa keV/u (gain = cos of the phase from the crest,
  // qa = Q/A), in place of dW.
  double gain = 0.0;
  double qa = 1.0;
};

struct Cell {
  double L = 0.0, r0 = 0.0, m = 1.0;
  int type = 0;
  double c[15] = {};  // c[7..14]
};

inline double beta_of(double W_kev_u) {
  const double g = 1.0 + W_kev_u / kAmuKev;
  return std::sqrt(1.0 - 1.0 / (g * g));
}

// Two-term coefficients of a regular cell.
inline void two_term(double L, double r0, double m, double& A10, double& A01) {
  const double a = 2.0 * r0 / (m + 1.0);
  const double k = kPi / L;
  const double I0a = std::cyl_bessel_i(0.0, k * a);
  const double I0ma = std::cyl_bessel_i(0.0, m * k * a);
  A10 = (m * m - 1.0) / (m * m * I0a + I0ma);
  A01 = (1.0 - A10 * I0a) * (r0 / a) * (r0 / a);
}

inline std::vector<int> default_chain(int nreg) {
  std::vector<int> t = {-1, -2};
  for (int i = 0; i < nreg; ++i) t.push_back(0);
  for (int v : {2, 1, 3, 7}) t.push_back(v);
  return t;
}

inline std::vector<Cell> design(const Design& d) {
  const double lambda = kLightCmS / (d.freq * d.harm);
  std::vector<int> types = d.types.empty() ? default_chain(static_cast<int>(d.m.size())) : d.types;
  // Regular cells first, then the others from their neighbours.
  std::vector<Cell> cells(types.size());
  double W = d.W_in;
  std::size_t next = 0;
  double A10_first = 0.0, A01_first = 0.0, L_first = 0.0, m_first = 1.0;
  double A10_last = 0.0, A01_last = 0.0, L_last = 0.0, m_last = 1.0;
  bool seen = false;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (types[i] != 0) continue;
    Cell& c = cells[i];
    c.type = 0;
    c.m = next < d.m.size() ? d.m[next] : d.m.back();
    ++next;
    c.L = beta_of(W) * lambda / 2.0;
    c.r0 = d.r0;
    double A10 = 0.0, A01 = 0.0;
    two_term(c.L, c.r0, c.m, A10, A01);
    // With the gain following the cell, its length is beta lambda/2 at the
    // energy of its middle (a few fixed-point passes).
    for (int pass = 0; pass < 4 && d.gain > 0.0; ++pass) {
      const double dW = d.gain * (kPi / 4.0) * std::abs(A10 * d.A10_scale) * d.V_kv * d.qa;
      c.L = beta_of(W + dW / 2.0) * lambda / 2.0;
      two_term(c.L, c.r0, c.m, A10, A01);
    }
    c.c[7] = A01 * d.A01_scale;
    c.c[8] = A10 * d.A10_scale;
    if (!seen) {
      A10_first = c.c[8], A01_first = c.c[7], L_first = c.L, m_first = c.m;
      seen = true;
    }
    A10_last = c.c[8], A01_last = c.c[7], L_last = c.L, m_last = c.m;
    W += d.gain > 0.0 ? d.gain * (kPi / 4.0) * std::abs(c.c[8]) * d.V_kv * d.qa : d.dW;
  }
  bool before = true;
  for (std::size_t i = 0; i < types.size(); ++i) {
    Cell& c = cells[i];
    if (types[i] == 0) {
      before = false;
      continue;
    }
    c.type = types[i];
    c.L = before ? L_first : L_last;
    c.r0 = d.r0;
    c.m = before ? m_first : m_last;
    const double A01 = before ? A01_first : A01_last;
    const double A10 = before ? A10_first : A10_last;
    const double scale_R = (d.R / d.r0) * (d.R / d.r0);
    switch (std::abs(c.type)) {
      case 1:
        c.c[7] = A01;
        c.c[9] = 0.0;   // z11
        c.c[10] = c.L;  // Dfall
        break;
      case 2:
        c.c[7] = A01 * scale_R;
        c.c[8] = A10;
        break;
      case 4:
        c.c[7] = A01 * scale_R;
        c.c[8] = A10;
        c.c[9] = c.L / 2.0;   // d4
        c.c[13] = c.L / 2.0;  // t4
        break;
      case 3:
        c.c[7] = A01;
        break;
      default:
        c.r0 = 0.0;
        c.m = 1.0;
        break;
    }
  }
  return cells;
}

// The file text: "i L 0 r0 m type c7 .. c14", one line per cell.
inline std::string cell_file_text(const std::vector<Cell>& cells) {
  std::string out;
  char buf[512];
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const Cell& c = cells[i];
    std::snprintf(buf, sizeof buf, "%zu %.17g 0 %.17g %.17g %d", i + 1, c.L, c.r0, c.m, c.type);
    out += buf;
    for (int k = 7; k <= 14; ++k) {
      std::snprintf(buf, sizeof buf, " %.17g", c.c[k]);
      out += buf;
    }
    out += '\n';
  }
  return out;
}

}  // namespace rfq_design
