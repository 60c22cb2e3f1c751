// First-order transfer matrices of the hard-edge lenses: solenoid,
// quadrupole, transverse rotation and drift. Rows and columns follow the
// phase-space vector (x cm, x' rad, y cm, y' rad, phase rad, dW/W).
//
// A lens of length L with effective length Lf is the body matrix A of
// length Lf between two drifts of length d = (L - Lf)/2 taken at the design
// energy: M = D(d) A D(d). The body is built for the particle's own speed
// beta and charge-to-mass ratio qa; the phase row of every part is the
// time of flight linearised in dW/W:
//   M(5,6) = -(l / lambda-bar) / ((gamma + 1) beta gamma).
//
// The matrices are built from closed 2 x 2 forms, with the limits of
// sin(t)/t and sinh(t)/t taken by series near t = 0: a vanishing field or
// qa = 0 gives the drift of length L, never a NaN.
#pragma once

#include <cmath>

#include "beam/matrix6.hpp"
#include "common/records.hpp"
#include "transport/push_z.hpp"

namespace linac {

// Magnetic rigidity per unit momentum: B rho = 3.335641 p / Q in G cm for
// the momentum p in keV/c.
inline constexpr double kRigidityGcmPerKeV = 3.335641;

// Design values the lens matrices need.
struct LensDesign {
  double w0 = 0.0;              // design energy per nucleon, keV/u (drift parts)
  double amu_kev = 0.0;         // atomic mass unit, keV
  double wavelength_2pi = 0.0;  // RF wavelength over 2 pi harm, cm/rad
};
LensDesign lens_design(const ReferenceBlock& ref);

// Transverse 4 x 4 block and phase-row term of a lens map; every other
// entry is that of the unit matrix.
struct LensMap {
  double t[4][4] = {};  // rows/columns x, x', y, y'
  double m56 = 0.0;     // phase per unit dW/W, rad
};

// The drift of length L (cm) at the design energy.
Matrix6 drift_matrix(double L, const LensDesign& d);

// Rotation of the transverse coordinates by theta (rad): x_new = x cos +
// y sin, y_new = -x sin + y cos, the slopes alike.
Matrix6 rotation_matrix(double theta);

// Solenoid of field B (G), length L and effective length Lf (cm) for a
// particle of speed beta and charge-to-mass ratio qa. The body turns the
// transverse plane by the Larmor angle theta = Lf / Rb, Rb = 2 B rho / B
// with B rho = 3.335641 beta gamma amu / qa (G cm), and focuses both planes
// with the blocks (cos, Rb sin; -sin / Rb, cos) of theta.
Matrix6 sol_matrix(double qa, double B, double L, double Lf, double beta, const LensDesign& d);

// Quadrupole of gradient G (T/cm): k = sqrt(|G K qa / (beta gamma)|),
// phi = k Lf; the x plane focuses when G qa > 0, the y plane otherwise.
Matrix6 quad_matrix(double qa, double G, double L, double Lf, double beta, const LensDesign& d);

// The same maps in their compact form, for the particle loops. The parts
// that depend on the element only are prepared once.
struct LensDrifts {
  double Lf = 0.0;              // effective length, cm
  double d = 0.0;               // each drift part, (L - Lf)/2, cm
  double d56 = 0.0;             // phase row of one drift part at the design energy
  double amu_kev = 0.0;         // keV
  double wavelength_2pi = 0.0;  // cm/rad
  double lf_over_lb = 0.0;      // Lf / lambda-bar, rad
  double rigidity_scale = 0.0;  // 2 * 3.335641 * amu_kev: 2 B rho = rigidity_scale * bg / qa
};
LensDrifts lens_drifts(double L, double Lf, const LensDesign& d);

// Lorentz factor and beta gamma of a particle of speed beta.
struct ParticleSpeed {
  double beta = 0.0, gamma = 0.0, bg = 0.0;
};
inline ParticleSpeed particle_speed(double beta) {
  const double gamma = 1.0 / std::sqrt(1.0 - beta * beta);
  return {beta, gamma, beta * gamma};
}

namespace lens_detail {

// Below this |t| the series of sin(t)/t and sinh(t)/t are exact to rounding.
inline constexpr double kSeriesLimit = 1e-4;

inline double sinc(double t, double s) {
  if (std::abs(t) < kSeriesLimit) {
    const double t2 = t * t;
    return 1.0 - t2 / 6.0 * (1.0 - t2 / 20.0);
  }
  return s / t;
}

inline double sinhc(double t, double sh) {
  if (std::abs(t) < kSeriesLimit) {
    const double t2 = t * t;
    return 1.0 + t2 / 6.0 * (1.0 + t2 / 20.0);
  }
  return sh / t;
}

// Rows r0, r0 + 1 and columns c0, c0 + 1 of m := f D2 a D2, with the drift
// D2 = (1, d; 0, 1) and the body block a = (a11, a12; a21, a22).
inline void place_block(LensMap& m, int r0, int c0, double f, double d, double a11, double a12,
                        double a21, double a22) {
  const double p11 = a11 + d * a21;
  const double p12 = a12 + d * a22;
  m.t[r0][c0] = f * p11;
  m.t[r0][c0 + 1] = f * (p11 * d + p12);
  m.t[r0 + 1][c0] = f * a21;
  m.t[r0 + 1][c0 + 1] = f * (a21 * d + a22);
}

inline double body_phase_row(const LensDrifts& e, const ParticleSpeed& v) {
  return -e.lf_over_lb / ((v.gamma + 1.0) * v.bg);
}

}  // namespace lens_detail

// D Rot(theta) A D of the solenoid for one particle.
inline LensMap sol_map(const LensDrifts& e, double qa, double B, const ParticleSpeed& v) {
  using namespace lens_detail;
  // 1/Rb = B / (2 B rho): zero, not infinite, for qa = 0.
  const double inv_Rb = B * qa / (e.rigidity_scale * v.bg);
  const double theta = e.Lf * inv_Rb;
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  const double a12 = e.Lf * sinc(theta, s);  // Rb sin(theta)
  const double a21 = -s * inv_Rb;
  // The rotation couples the two equal plane blocks.
  LensMap m;
  place_block(m, 0, 0, c, e.d, c, a12, a21, c);
  place_block(m, 0, 2, s, e.d, c, a12, a21, c);
  place_block(m, 2, 0, -s, e.d, c, a12, a21, c);
  place_block(m, 2, 2, c, e.d, c, a12, a21, c);
  m.m56 = 2.0 * e.d56 + body_phase_row(e, v);
  return m;
}

// D A D of the quadrupole of gradient G (T/cm) for one particle.
inline LensMap quad_map(const LensDrifts& e, double qa, double G, const ParticleSpeed& v) {
  using namespace lens_detail;
  const double k = std::sqrt(std::abs(G * kForceK * qa / v.bg));
  const double phi = k * e.Lf;
  const double cs = std::cos(phi);
  const double sn = std::sin(phi);
  // cosh and sinh from one exponential, without cancellation for small phi.
  const double em = std::expm1(phi);
  const double ep = 1.0 + em;
  const double ch = 1.0 + em * em / (2.0 * ep);
  const double sh = 0.5 * (em + em / ep);
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
  m.m56 = 2.0 * e.d56 + body_phase_row(e, v);
  return m;
}

// The 6 x 6 matrix of a lens map.
Matrix6 lens_matrix6(const LensMap& m);

// Phase-row term of a length l (cm) for speed beta, Lorentz factor gamma.
inline double phase_row_term(double l, double wavelength_2pi, double beta, double gamma) {
  return -(l / wavelength_2pi) / ((gamma + 1.0) * beta * gamma);
}

}  // namespace linac
