// Cubic spline interpolation in piecewise-polynomial form, its evaluation
// and its integral, and the general piecewise-polynomial routines beneath.
//
// Piecewise polynomial of order KORDER with NINTV pieces: BREAK(1..NINTV+1)
// strictly increasing; column j of PCOEF (KORDER values, stored one column
// after the other) holds the derivatives 0..KORDER-1 at BREAK(j) taken from
// the right, so on piece j, with h = x - BREAK(j),
//   p(x) = sum_m PCOEF(m, j) h^(m-1) / (m-1)!.
// Points before BREAK(1) or beyond the last break extend the end pieces.
//
// A CubicSpline owns its break points and coefficients: every caller keeps
// its own spline, sized to its data, and the spline knows how many pieces
// it has. Evaluating it with another piece count is reported, not used.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace linac {

struct NumericsContext;

struct CubicSpline {
  std::int32_t ndata = 0;      // data points; ndata - 1 pieces
  std::vector<double> BREAK;   // ndata break points (the sorted abscissae)
  std::vector<double> CSCOEF;  // 4 x ndata, column j at 4 (j - 1)
  std::int32_t last_piece = 1; // piece found by the last search (search start only)
  std::int32_t nintv() const { return ndata - 1; }
};

// Not-a-knot cubic spline through (XDATA(i), FDATA(i)), i = 1..NDATA, in any
// order of XDATA. Errors (TERMINAL): NDATA < 2 (code 1), storage (code 5),
// equal abscissae (from DC1SOR, code 2), arrays shorter than NDATA (code 6).
void DCSINT(NumericsContext& sim, std::int32_t NDATA, std::span<const double> XDATA,
            std::span<const double> FDATA, CubicSpline& spline);
// The spline's value at X; NINTV must be the spline's piece count.
double DCSVAL(NumericsContext& sim, double X, std::int32_t NINTV, CubicSpline& spline);
// The integral of the spline from A to B.
double DCSITG(NumericsContext& sim, double A, double B, std::int32_t NINTV, CubicSpline& spline);

// General piecewise polynomial: derivative IDERIV (0 = value) at X, and the
// integral from A to B. BREAK must hold NINTV+1 values and PCOEF KORDER x
// NINTV; `remembered` (optional) is where the interval search starts and
// what it leaves for the next call.
double DPPDER(NumericsContext& sim, std::int32_t IDERIV, double X, std::int32_t KORDER, std::int32_t NINTV,
              std::span<const double> BREAK, std::span<const double> PCOEF,
              std::int32_t* remembered = nullptr);
double DPPITG(NumericsContext& sim, double A, double B, std::int32_t KORDER, std::int32_t NINTV,
              std::span<const double> BREAK, std::span<const double> PCOEF,
              std::int32_t* remembered = nullptr);

// The steps of the interpolation. DC2INT: not-a-knot at both ends with
// work space IWK. DC2DEC: end conditions ILEFT, IRIGHT = 0 not-a-knot,
// 1 first derivative VLEFT (VRIGHT), 2 second derivative. DC1SOR: BREAK :=
// sorted XDATA, CSCOEF(1, .) := FDATA in the same order (leading dimension
// LDC of CSCOEF). The arrays hold NDATA values (CSCOEF 4 x NDATA).
void DC2INT(NumericsContext& sim, std::int32_t NDATA, std::span<const double> XDATA,
            std::span<const double> FDATA, std::span<double> BREAK, std::span<double> CSCOEF,
            std::span<std::int32_t> IWK);
void DC2DEC(NumericsContext& sim, std::int32_t NDATA, std::span<const double> XDATA,
            std::span<const double> FDATA, std::int32_t ILEFT, double VLEFT, std::int32_t IRIGHT,
            double VRIGHT, std::span<double> BREAK, std::span<double> CSCOEF,
            std::span<std::int32_t> IWK);
void DC1SOR(NumericsContext& sim, std::int32_t NDATA, std::span<const double> XDATA,
            std::span<const double> FDATA, std::span<double> BREAK, std::span<double> CSCOEF,
            std::int32_t LDC, std::span<std::int32_t> IWK);
// RB := RA sorted ascending, IPERM permuted alongside (N < 1: TERMINAL 1).
void DSVRGP(NumericsContext& sim, std::int32_t N, std::span<const double> RA, std::span<double> RB,
            std::span<std::int32_t> IPERM);

// The piece that holds X: the largest j in 1..NINTV with BREAK(j) <= X,
// 1 below BREAK(1). The search starts at `left` (in: a guess; out: the piece).
void pp_interval(std::int32_t KORDER, std::int32_t NINTV, std::span<const double> BREAK,
                 double X, std::int32_t& LEFT);

}  // namespace linac
