// Kernels over strided vectors. A vector is a count N, a pointer X to its
// first storage position X(1) and a stride INC: element i (1..N) lies at
// X(1 + (i-1)*INC) for INC >= 0, and at X(1 + (N-i)*|INC|) for INC < 0 (a
// negative stride starts at the far end and walks down to X(1)); a zero
// stride takes X(1) for every element. N <= 0 does nothing and a kernel with
// a result returns 0. Sums run from i = 1 upwards in one accumulator.
#pragma once

#include <cstdint>

namespace linac {

// Y_i = X_i in increasing i (X and Y may overlap: a shift within one array
// with both strides -1 copies from the far end down without overwriting).
void vec_copy(std::int32_t N, const double* X, std::int32_t INCX, double* Y, std::int32_t INCY);
// X_i = A * X_i.
void vec_scale(std::int32_t N, double A, double* X, std::int32_t INCX);
// X_i = A.
void vec_set(std::int32_t N, double A, double* X, std::int32_t INCX);
// Y_i = A * X_i + Y_i; A = 0 leaves Y untouched.
void vec_add_scaled(std::int32_t N, double A, const double* X, std::int32_t INCX, double* Y,
                    std::int32_t INCY);
// Sum of X_i * Y_i.
double vec_dot(std::int32_t N, const double* X, std::int32_t INCX, const double* Y,
               std::int32_t INCY);
// Sum of |X_i|.
double vec_abs_sum(std::int32_t N, const double* X, std::int32_t INCX);
// Euclidean norm, scaled to avoid overflow and underflow of the squares;
// INCX = 0 gives sqrt(N) |X(1)|, INCX < 0 gives 0.
double vec_norm2(std::int32_t N, const double* X, std::int32_t INCX);
// The smallest i at which |X_i| is largest (1 when N = 1).
std::int32_t vec_max_abs_index(std::int32_t N, const double* X, std::int32_t INCX);
// Sum of 32-bit X_i accumulated in 64 bits, returned in 32 bits.
float vec_sum_f32(std::int32_t N, const float* X, std::int32_t INCX);
// Y_i = A * X_i rounded to 32 bits (X and Y may be the same array).
void vec_scaled_copy_f32(std::int32_t N, float A, const float* X, std::int32_t INCX, float* Y,
                         std::int32_t INCY);

}  // namespace linac
