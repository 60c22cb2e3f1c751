// Second-order section matrices: a grid of test particles along each
// coordinate axis and on the diagonals of each pair of axes, fitted at the
// section end by polynomials (TRANSPORT-style R and T coefficients), and
// the sigma-matrix listing of one element. No lattice line reaches these
// routines: updat and matrx lines run the first-order section commands.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "beam/matrix6.hpp"
#include "platform/format.hpp"

namespace linac {

struct MatricesContext;

// fort.81, the listing of every polynomial fit.
inline constexpr int kUnitPolyFit = 81;
// Grid points on each side of the origin: 1..10.
inline constexpr int kMaxGridPoints = 10;

// Test particles of a second-order section per charge state: 6 (2N + 1) on
// the axes and 4 on the diagonals of each of the 15 pairs.
inline int second_order_test_count(int N) { return 6 * (2 * N + 1) + 60; }

// Offsets (cm, rad, cm, rad, rad, beta) of a test particle displaced by dj
// in coordinate j and dk in coordinate k (0: none; k = j counts once);
// coordinate 6, a relative energy deviation, becomes the speed at kinetic
// energy (1 + V6) W_in (keV/u).
std::array<double, 6> test_offset_vector(int j, double dj, int k, double dk, double W_in,
                                         double amu_kev);

// mode 0: factors from (cm, rad, cm, rad, rad, 1) to the matrix units
// (cm, mrad, cm, mrad, deg, %); mode 1: from the matrix units to TRANSPORT
// units (mm, mrad, mm, mrad, mm, per mille) at speed beta and Lorentz
// factor gamma, lambdabar in cm.
std::array<double, 6> unit_factors(int mode, double beta, double gamma, double wavelength_2pi);

// Residuals of the degree-m polynomial c(0) + c(1) t + ... through the
// points: the largest |residual| and sqrt(sum of squares) / N.
struct FitResiduals {
  double maxres = 0.0, rmsres = 0.0;
};
FitResiduals poly_fit_residuals(int m, std::span<const double> t, std::span<const double> y,
                                std::span<const double> c, int N);

// Fits polynomials of degree 0..3 by least squares through the 2N + 1
// points (t, y) of input axis icr and output coordinate jcr, writes the
// fits to fort.81 (header " icr= jcr=", one line per degree) and returns
// the cubic fit's coefficients c(0..3) (the rest 0).
std::array<double, 11> poly_fit_axis(MatricesContext& sim, std::span<const double> t, std::span<const double> y,
                                     int icr, int jcr);

// First- and second-order coefficients of a section in matrix units:
// R(i, j) and T[i][j][k] for j <= k (1..6).
struct SecondOrderMap {
  Matrix6 R;
  std::array<std::array<std::array<double, 7>, 7>, 7> T{};
};

// The records " *2ND ORDER TRANSFORM*" and, per output i and k = 1..6, the
// coefficients T(i, j, k), j = 1..k, in (I4,I3,D11.3) fields of 18 columns;
// an empty line after each i.
RecordBlock second_order_records(const SecondOrderMap& m);

// The lattice commands of a second-order section (N from P7 of the updat
// line, 1 when 0).
void updat_second_order(MatricesContext& sim, std::int32_t& n);
void matrx_second_order(MatricesContext& sim, std::int32_t& n);

// One 2 x 2 block of a sigma matrix: rms sizes sqrt(s11), sqrt(s22), the
// correlation s12 / sqrt(s11 s22) and the rms emittance
// sqrt(s11 s22 - s12^2); a plane without spread has correlation and
// emittance 0.
struct SigmaPlane {
  double size1 = 0.0, size2 = 0.0, correlation = 0.0, emittance = 0.0;
};
SigmaPlane sigma_plane(double s11, double s12, double s22);

// Lists in matrix.dat, at element n, the beam's second moments, those of
// the sigma matrix S (matrix units of the coordinates in cm, rad, rad, 1),
// elem_matrix with its block determinants and the cumulative matrix.
void sigma_listing(MatricesContext& sim, std::int32_t n, const Matrix6& S);
// The records of sigma_listing for the beam covariance B and sigma S.
RecordBlock sigma_listing_records(std::string_view name, double length,
                                               const Matrix6& B, const Matrix6& S,
                                               const Matrix6& elem, const std::array<double, 3>& dets,
                                               const Matrix6& mtot);

}  // namespace linac
