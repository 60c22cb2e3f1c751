#include "numerics/vector_kernels.hpp"

#include <cmath>
#include <cstddef>

#include "numerics/machine.hpp"

namespace linac {

namespace {

// Storage offset (from X(1)) of element 1 of a vector of N elements.
inline std::ptrdiff_t start(std::int32_t N, std::int32_t inc) {
  return inc >= 0 ? 0 : static_cast<std::ptrdiff_t>(1 - N) * inc;
}

}  // namespace

void vec_copy(std::int32_t N, const double* X, std::int32_t INCX, double* Y, std::int32_t INCY) {
  if (N <= 0) return;
  std::ptrdiff_t ix = start(N, INCX), iy = start(N, INCY);
  for (std::int32_t i = 0; i < N; ++i, ix += INCX, iy += INCY) Y[iy] = X[ix];
}

void vec_scale(std::int32_t N, double A, double* X, std::int32_t INCX) {
  if (N <= 0) return;
  std::ptrdiff_t ix = start(N, INCX);
  for (std::int32_t i = 0; i < N; ++i, ix += INCX) X[ix] = A * X[ix];
}

void vec_set(std::int32_t N, double A, double* X, std::int32_t INCX) {
  if (N <= 0) return;
  std::ptrdiff_t ix = start(N, INCX);
  for (std::int32_t i = 0; i < N; ++i, ix += INCX) X[ix] = A;
}

void vec_add_scaled(std::int32_t N, double A, const double* X, std::int32_t INCX, double* Y,
                    std::int32_t INCY) {
  if (N <= 0 || A == 0.0) return;
  std::ptrdiff_t ix = start(N, INCX), iy = start(N, INCY);
  for (std::int32_t i = 0; i < N; ++i, ix += INCX, iy += INCY) Y[iy] = A * X[ix] + Y[iy];
}

double vec_dot(std::int32_t N, const double* X, std::int32_t INCX, const double* Y,
               std::int32_t INCY) {
  double sum = 0.0;
  if (N <= 0) return sum;
  std::ptrdiff_t ix = start(N, INCX), iy = start(N, INCY);
  for (std::int32_t i = 0; i < N; ++i, ix += INCX, iy += INCY) sum = sum + X[ix] * Y[iy];
  return sum;
}

double vec_abs_sum(std::int32_t N, const double* X, std::int32_t INCX) {
  double sum = 0.0;
  if (N <= 0) return sum;
  std::ptrdiff_t ix = start(N, INCX);
  for (std::int32_t i = 0; i < N; ++i, ix += INCX) sum = sum + std::fabs(X[ix]);
  return sum;
}

double vec_norm2(std::int32_t N, const double* X, std::int32_t INCX) {
  if (N <= 0 || INCX < 0) return 0.0;
  if (INCX == 0) return std::sqrt(static_cast<double>(N)) * std::fabs(X[0]);
  // Thresholds below which squares underflow and above which they overflow.
  const double tiny = machine::dmach_value(1);
  const double huge = machine::dmach_value(2);
  const double eps = machine::dmach_value(4);
  const double cutlo = std::sqrt(tiny / eps);
  const double cuthi = std::sqrt(huge * eps);
  auto scaled_sum = [&](double s) {
    double sum = 0.0;
    std::ptrdiff_t ix = 0;
    for (std::int32_t i = 0; i < N; ++i, ix += INCX) {
      const double v = s * X[ix];
      sum = sum + v * v;
    }
    return sum;
  };
  double abs_sum = 0.0;
  std::ptrdiff_t ix = 0;
  for (std::int32_t i = 0; i < N; ++i, ix += INCX) {
    abs_sum = abs_sum + std::fabs(X[ix]);
    if (abs_sum > cuthi) {
      // Large elements: scale down by cutlo/cuthi before squaring.
      return (cuthi / cutlo) * std::sqrt(scaled_sum(cutlo / cuthi));
    }
  }
  if (abs_sum < static_cast<double>(N) * cutlo) {
    // Small elements: scale up by 1/(eps cutlo) before squaring.
    const double unscale = eps * cutlo;
    return unscale * std::sqrt(scaled_sum(1.0 / unscale));
  }
  return std::sqrt(scaled_sum(1.0));
}

std::int32_t vec_max_abs_index(std::int32_t N, const double* X, std::int32_t INCX) {
  if (N <= 0) return 0;
  std::ptrdiff_t ix = start(N, INCX);
  std::int32_t best = 1;
  double largest = std::fabs(X[ix]);
  for (std::int32_t i = 2; i <= N; ++i) {
    ix += INCX;
    const double a = std::fabs(X[ix]);
    if (a > largest) {
      largest = a;
      best = i;
    }
  }
  return best;
}

float vec_sum_f32(std::int32_t N, const float* X, std::int32_t INCX) {
  double sum = 0.0;
  if (N <= 0) return 0.0f;
  std::ptrdiff_t ix = start(N, INCX);
  for (std::int32_t i = 0; i < N; ++i, ix += INCX) sum = sum + static_cast<double>(X[ix]);
  return static_cast<float>(sum);
}

void vec_scaled_copy_f32(std::int32_t N, float A, const float* X, std::int32_t INCX, float* Y,
                         std::int32_t INCY) {
  if (N <= 0) return;
  std::ptrdiff_t ix = start(N, INCX), iy = start(N, INCY);
  for (std::int32_t i = 0; i < N; ++i, ix += INCX, iy += INCY) Y[iy] = A * X[ix];
}

}  // namespace linac
