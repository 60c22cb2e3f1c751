#include "transport/lens_matrices.hpp"

#include <cmath>

#include "transport/push_z.hpp"

namespace linac {

namespace {

// Below this |t| the series of sin(t)/t and sinh(t)/t are exact to rounding.
constexpr double kSeriesLimit = 1e-4;

double sinc(double t, double s) {
  if (std::abs(t) < kSeriesLimit) {
    const double t2 = t * t;
    return 1.0 - t2 / 6.0 * (1.0 - t2 / 20.0);
  }
  return s / t;
}

double sinhc(double t, double sh) {
  if (std::abs(t) < kSeriesLimit) {
    const double t2 = t * t;
    return 1.0 + t2 / 6.0 * (1.0 + t2 / 20.0);
  }
  return sh / t;
}

// b := D2 a D2 for the 2 x 2 drift D2 = (1, d; 0, 1), written into rows
// r0, r0 + 1 and columns c0, c0 + 1 of t scaled by f.
void place_block(LensMap& m, int r0, int c0, double f, double d, double a11, double a12, double a21,
                 double a22) {
  const double p11 = a11 + d * a21;
  const double p12 = a12 + d * a22;
  m.t[r0][c0] = f * p11;
  m.t[r0][c0 + 1] = f * (p11 * d + p12);
  m.t[r0 + 1][c0] = f * a21;
  m.t[r0 + 1][c0 + 1] = f * (a21 * d + a22);
}

struct Speed {
  double gamma, bg;
};

Speed speed(double beta) {
  const double gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  return {gamma, beta * gamma};
}

}  // namespace

LensDesign lens_design(const ReferenceBlock& ref) {
  return {ref.w0, ref.amu_kev, ref.wavelength_2pi};
}

LensDrifts lens_drifts(double L, double Lf, const LensDesign& d) {
  LensDrifts e;
  e.Lf = Lf;
  e.d = (L - Lf) / 2.0;
  e.amu_kev = d.amu_kev;
  e.wavelength_2pi = d.wavelength_2pi;
  const double gamma0 = d.w0 / d.amu_kev + 1.0;
  const double beta0 = std::sqrt(1.0 - 1.0 / (gamma0 * gamma0));
  e.d56 = phase_row_term(e.d, d.wavelength_2pi, beta0, gamma0);
  return e;
}

Matrix6 lens_matrix6(const LensMap& m) {
  Matrix6 M;
  unit_matrix6(M);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) M(i + 1, j + 1) = m.t[i][j];
  M(5, 6) = m.m56;
  return M;
}

Matrix6 drift_matrix(double L, const LensDesign& d) {
  const LensDrifts e = lens_drifts(2.0 * L, 0.0, d);
  Matrix6 M;
  unit_matrix6(M);
  M(1, 2) = L;
  M(3, 4) = L;
  M(5, 6) = e.d56;
  return M;
}

Matrix6 rotation_matrix(double theta) {
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  Matrix6 R;
  R(1, 1) = R(2, 2) = R(3, 3) = R(4, 4) = c;
  R(1, 3) = R(2, 4) = s;
  R(3, 1) = R(4, 2) = -s;
  R(5, 5) = R(6, 6) = 1.0;
  return R;
}

LensMap sol_map(const LensDrifts& e, double qa, double B, double beta) {
  const Speed v = speed(beta);
  // 1/Rb = B / (2 B rho): zero, not infinite, for qa = 0.
  const double inv_Rb = B * qa / (2.0 * kRigidityGcmPerKeV * v.bg * e.amu_kev);
  const double theta = e.Lf * inv_Rb;
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  const double a12 = e.Lf * sinc(theta, s);  // Rb sin(theta)
  const double a21 = -s * inv_Rb;
  // D Rot(theta) A D: the rotation couples the two equal plane blocks.
  LensMap m;
  place_block(m, 0, 0, c, e.d, c, a12, a21, c);
  place_block(m, 0, 2, s, e.d, c, a12, a21, c);
  place_block(m, 2, 0, -s, e.d, c, a12, a21, c);
  place_block(m, 2, 2, c, e.d, c, a12, a21, c);
  m.m56 = 2.0 * e.d56 + phase_row_term(e.Lf, e.wavelength_2pi, beta, v.gamma);
  return m;
}

LensMap quad_map(const LensDrifts& e, double qa, double G, double beta) {
  const Speed v = speed(beta);
  const double k = std::sqrt(std::abs(G * kForceK * qa / v.bg));
  const double phi = k * e.Lf;
  const double cs = std::cos(phi);
  const double sn = std::sin(phi);
  const double ch = std::cosh(phi);
  const double sh = std::sinh(phi);
  // Focusing (cos, sin/k; -k sin, cos) and defocusing (cosh, sinh/k; k sinh, cosh).
  const double f12 = e.Lf * sinc(phi, sn);
  const double f21 = -k * sn;
  const double g12 = e.Lf * sinhc(phi, sh);
  const double g21 = k * sh;
  LensMap m;
  if (G * qa > 0.0) {
    place_block(m, 0, 0, 1.0, e.d, cs, f12, f21, cs);
    place_block(m, 2, 2, 1.0, e.d, ch, g12, g21, ch);
  } else {
    place_block(m, 0, 0, 1.0, e.d, ch, g12, g21, ch);
    place_block(m, 2, 2, 1.0, e.d, cs, f12, f21, cs);
  }
  m.m56 = 2.0 * e.d56 + phase_row_term(e.Lf, e.wavelength_2pi, beta, v.gamma);
  return m;
}

Matrix6 sol_matrix(double qa, double B, double L, double Lf, double beta, const LensDesign& d) {
  return lens_matrix6(sol_map(lens_drifts(L, Lf, d), qa, B, beta));
}

Matrix6 quad_matrix(double qa, double G, double L, double Lf, double beta, const LensDesign& d) {
  return lens_matrix6(quad_map(lens_drifts(L, Lf, d), qa, G, beta));
}

}  // namespace linac
