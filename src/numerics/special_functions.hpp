// Special functions of the library: the modified Bessel functions of the
// first kind I_0 .. I_(N-1) of a real argument, the inverse hyperbolic sine,
// and the two Chebyshev-series routines the latter rests on.
#pragma once

#include <cstdint>
#include <span>

namespace linac {

struct NumericsContext;

// BSI(k) = I_(k-1)(X), k = 1..N. BSI(1..N) is set to NaN before any check.
// TERMINAL: N < 1 (code 1), |X| > ln(largest double) (code 2), BSI shorter
// than N (code 3). WARNING 1 when the higher orders lost precision.
void DBSINS(NumericsContext& sim, double X, std::int32_t N, std::span<double> BSI);

// asinh(X) from a Chebyshev series for |X| <= 1 and logarithms beyond.
double DASINH(NumericsContext& sim, double X);

// Number of terms of the Chebyshev series SERIES(1..NOS) (coefficients
// taken in single precision) needed for the accuracy ETA. TERMINAL 5 for
// NOS < 1, 6 when even the last coefficient alone exceeds ETA (result 0).
std::int32_t INITDS(NumericsContext& sim, std::span<const double> SERIES, std::int32_t NOS, float ETA);

// Sum' SERIES(i) T_(i-1)(X), i = 1..N, the first coefficient counted half
// (Clenshaw's recurrence). TERMINAL 5 (N < 1) and 6 (N > 1000) give NaN;
// WARNING 7 when X lies outside [-1.1, 1.1] (the series is still summed).
double DCSEVL(NumericsContext& sim, double X, std::span<const double> SERIES, std::int32_t N);

// The 39 coefficients of asinh(x)/x - 1 on [-1, 1] in the variable 2x^2 - 1.
std::span<const double> asinh_series();

}  // namespace linac
