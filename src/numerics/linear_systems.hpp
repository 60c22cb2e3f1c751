// General real linear systems A x = b (or A^T x = b): LU factorisation with
// scaled partial pivoting, the LINPACK estimate of the reciprocal L1
// condition number, and iterative refinement with residuals accumulated in
// double-double arithmetic. Matrices are stored by columns: A(i, j) at
// A[(i-1) + (j-1) LDA].
#pragma once

#include <cstdint>
#include <span>

namespace linac {

struct NumericsContext;

// Solves with work arrays of its own. Singular A: FATAL 2 under DLSARG (the
// run stops); ill-conditioned: WARNING 1 from DL2ARG and X is returned.
void DLSARG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<const double> B, std::int32_t IPATH, std::span<double> X);
void DL2ARG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<const double> B, std::int32_t IPATH, std::span<double> X,
            std::span<double> FACT, std::span<std::int32_t> PIVOTS, std::span<double> WORK);
void DL2CRG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<double> FACT, std::int32_t LDFAC, std::span<std::int32_t> PIVOTS,
            double& RCOND, std::span<double> WORK);
void dL2TRG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<double> FACT, std::int32_t LDFAC, std::span<std::int32_t> PIVOTS,
            std::span<double> WORK);
void DLFIRG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<const double> FACT, std::int32_t LDFAC,
            std::span<const std::int32_t> PIVOTS, std::span<const double> B, std::int32_t IPATH,
            std::span<double> X, std::span<double> RESID);
// X may be B itself.
void DLFSRG(NumericsContext& sim, std::int32_t N, std::span<const double> FACT, std::int32_t LDFAC,
            std::span<const std::int32_t> PIVOTS, const double* B, std::int32_t IPATH, double* X);
void DTRSV(NumericsContext& sim, char UPLO, char TRANS, char DIAG, std::int32_t N, const double* A,
           std::int32_t LDA, double* X, std::int32_t INCX);
void DNR1RR(NumericsContext& sim, std::int32_t NRA, std::int32_t NCA, const double* A, std::int32_t LDA,
            double& NORM1);
void DCRGRG(NumericsContext& sim, std::int32_t N, const double* A, std::int32_t LDA, double* B,
            std::int32_t LDB);

// Double-double accumulation: S = (hi, lo).
struct DoubleDouble {
  double hi = 0.0, lo = 0.0;
};
void dd_add(double A, DoubleDouble& S);
void dd_mul_add(double X, double Y, DoubleDouble& S);
double dd_value(const DoubleDouble& S);
// START + sum X(i) Y(i), rounded once; a negative stride starts at the far end.
double dd_dot(std::int32_t N, double START, const double* X, std::int32_t INCX, const double* Y,
              std::int32_t INCY);

}  // namespace linac
