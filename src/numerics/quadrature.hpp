// Adaptive quadrature of a function of one variable over a finite interval:
// the 21-point Gauss-Kronrod rule on each subinterval, bisection of the
// subinterval with the largest error estimate, and Wynn's epsilon algorithm
// on the sequence of sums (the QAGS scheme).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace linac {

struct NumericsContext;

using Integrand = std::function<double(double)>;

// The integral of F from A to B (either order) to max(ERRABS, ERRREL |I|),
// with work storage for 500 subintervals. RESULT and ERREST hold the best
// values found in every case; see DQ2AGS for the messages.
void DQDAGS(NumericsContext& sim, const Integrand& F, double A, double B, double ERRABS, double ERRREL,
            double& RESULT, double& ERREST);

// The same with MAXSUB subintervals of caller work storage (each array
// MAXSUB long). NFCALL: integrand evaluations; NSUB: subintervals used.
// TERMINAL: MAXSUB < 1 (1), ERRABS < 0 (2), ERRREL < 0 (3), both 0 (4),
// ERRREL >= 1 (5), work arrays shorter than MAXSUB (6); after the
// integration FATAL 1 (MAXSUB reached), WARNING 2 (roundoff), WARNING 3
// (bad integrand behaviour), WARNING 4 (roundoff in the extrapolation
// table), FATAL 5 (divergent or slowly convergent).
void DQ2AGS(NumericsContext& sim, const Integrand& F, double A, double B, double ERRABS, double ERRREL,
            double& RESULT, double& ERREST, std::int32_t MAXSUB, std::int32_t& NFCALL,
            std::int32_t& NSUB, std::span<double> SUBA, std::span<double> SUBB,
            std::span<double> SUBRES, std::span<double> SUBERR, std::span<std::int32_t> SUBORD);

// The 21-point Kronrod rule and its 10-point Gauss rule on [a, b]:
// result K h, error estimate, |h| sum w|f| and |h| sum w|f - K/2|.
struct Rule21 {
  double result, abserr, resabs, resasc;
};
Rule21 gauss_kronrod21(NumericsContext& sim, const Integrand& f, double a, double b);
// The two weighted sums of the rule for f on [-1, 1] (no scaling), for
// checks of the nodes and weights: {Kronrod sum, Gauss sum}.
std::pair<double, double> gauss_kronrod21_sums(const std::function<double(double)>& f);

}  // namespace linac
