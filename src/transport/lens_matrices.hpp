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

#include "beam/matrix6.hpp"
#include "common/records.hpp"

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

// The same maps in their compact form, for the particle loops. The drift
// parts depend on the element only and are prepared once.
struct LensDrifts {
  double Lf = 0.0;              // effective length, cm
  double d = 0.0;               // each drift part, (L - Lf)/2, cm
  double d56 = 0.0;             // phase row of one drift part at the design energy
  double amu_kev = 0.0;         // keV
  double wavelength_2pi = 0.0;  // cm/rad
};
LensDrifts lens_drifts(double L, double Lf, const LensDesign& d);
LensMap sol_map(const LensDrifts& e, double qa, double B, double beta);
LensMap quad_map(const LensDrifts& e, double qa, double G, double beta);

// The 6 x 6 matrix of a lens map.
Matrix6 lens_matrix6(const LensMap& m);

// Phase-row term of a length l (cm) for speed beta, Lorentz factor gamma.
inline double phase_row_term(double l, double wavelength_2pi, double beta, double gamma) {
  return -(l / wavelength_2pi) / ((gamma + 1.0) * beta * gamma);
}

}  // namespace linac
