// First-order transfer matrix of a lattice section from test particles, and
// what is derived from it: the symplectic form, the periodic Twiss
// parameters of each plane and the hard-edge equivalents of a solenoid and
// of a thin RF gap. Pure functions: values in, values out.
//
// Matrix units of the six coordinates: x cm, x' mrad, y cm, y' mrad, RF
// phase deg, dW/W %. Matrices are Matrix6, stored by columns.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "beam/matrix6.hpp"

namespace linac {

// Test particles of a section per charge state: slot NPAT + j is displaced
// by -step_j in coordinate j, slot NPAT + 6 + j by +step_j, slot NPAT + 13
// is the undisplaced design particle.
inline constexpr int kSectionTestParticles = 13;

// Kinetic energy per nucleon (keV/u) of a particle of speed beta, with
// gamma - 1 = beta^2 gamma^2 / (gamma + 1): no digits lost to 1/sqrt(1 - beta^2) - 1.
double kinetic_energy_from_beta(double beta, double amu_kev);
// Speed of a particle of kinetic energy W per nucleon (keV/u):
// beta^2 = (gamma - 1)(gamma + 1) / gamma^2 with gamma - 1 = W / amu exactly.
double beta_from_kinetic_energy(double W, double amu_kev);

// The six coordinates of one particle in matrix units; w0 the design energy
// per nucleon at the section end (keV/u).
std::array<double, 6> matrix_coordinates(double x, double xp, double y, double yp, double phase,
                                         double beta, double w0, double amu_kev);

// Central differences: column j = (X(plus_j) - X(minus_j)) / (2 step_j).
// A zero step gives a zero column (no spread to measure it with).
Matrix6 section_matrix_from_differences(const std::array<std::array<double, 6>, 6>& minus,
                                        const std::array<std::array<double, 6>, 6>& plus,
                                        const std::array<double, 6>& steps);

// The drift of length L (cm) in matrix units at Lorentz factor gamma:
// R12 = R34 = L/1000 (cm/mrad), R56 = -(L/lambdabar)/((gamma + 1) beta gamma)
// (180/pi)/100 (deg/%), lambdabar the RF wavelength over 2 pi harm (cm).
Matrix6 drift_matrix6(double L, double gamma, double wavelength_2pi);

// Determinants of the three diagonal 2 x 2 blocks.
std::array<double, 3> block_determinants(const Matrix6& M);

// Scale factors of the section ends.
struct SectionEnds {
  double bg_in = 0.0, bg_out = 0.0;        // beta gamma at start and end
  double gm1_in = 0.0, gm1_out = 0.0;      // gamma - 1 at start and end
  double omega_ns = 0.0;                   // 2 pi FREQB harm 1e-9, rad/ns
};

// M = S_out A S_in^-1: the matrix acting on (x, bg x', y, bg y',
// omega phase, 100 (gamma - 1) dW/W), each at its own end of the section.
Matrix6 symplectic_form(const Matrix6& A, const SectionEnds& e);

// K = M^T J M, J block-diagonal with blocks (0, 1; -1, 0); K = J when M
// is symplectic.
Matrix6 symplecticity_matrix(const Matrix6& M);

// Periodic Twiss parameters of one plane from its 2 x 2 block (a, b; c, d)
// of M. plane 0, 1 transverse (mu > 180 deg when sin mu < 0), 2
// longitudinal (mu > 180 deg when sin mu > 0). stable is false when
// 1 - |cos mu| < 1e-9 or cos mu is not a number.
struct PlaneTwiss {
  bool stable = false;
  double cosmu = 0.0, sinmu = 0.0, mu_deg = 0.0;
  double beta = 0.0, alpha = 0.0, gamma = 0.0;  // in the units of M
};
PlaneTwiss periodic_twiss(double a, double b, double c, double d, int plane);

// Hard-edge solenoid equivalent: drift d, solenoid Heff with field Beff,
// drift d, from R11 and R21 (mrad/cm) and the rotation angle theta (rad).
// ok is false when R21 = 0, Heff = 0 or d is not finite.
struct EffectiveSolenoid {
  bool ok = false;
  double d = 0.0, Heff = 0.0, Beff = 0.0;  // cm, cm, G
};
EffectiveSolenoid effective_solenoid(const Matrix6& R, double theta, double L, double eff_len,
                                     double B);

// Thin RF gap at the middle of the section: G = D(-L/2, gamma_out) R
// D(-L/2, gamma_in); Z = -(gamma_m + 1) (lambdabar/100) (2 bg_out G21/10) W_m
// (keV/u), ETL = sqrt(dW^2 + Z^2), Ph = arccos(dW/ETL) (deg, negative when
// Z < 0; 0 when ETL = 0).
struct ThinGap {
  Matrix6 G;
  double W_m = 0.0, W_in = 0.0, W_out = 0.0, dW = 0.0;  // keV/u
  double Z = 0.0, ETL = 0.0, Ph = 0.0;                 // keV/u, keV/u, deg
};
ThinGap thin_gap(const Matrix6& R, double L, double W_in, double W_out, double bg_out,
                 double wavelength_2pi, double amu_kev);

}  // namespace linac
