#include "numerics/sine_transform.hpp"

#include <cmath>
#include <cstdint>

#include "numerics/fft_passes.hpp"

namespace linac {

namespace {

constexpr int V = RealFftTable::kLanes;
using LaneVec = fft_detail::Lanes<V>;

// sqrt(3) = 2 sin(pi/3): the whole transform of two values.
constexpr double kSqrt3 = 1.7320508075688772;

// Fold x (N values) into y (N+1 values) so that the forward real FFT of y
// carries the sine coefficients; see unfold().
template <class T>
inline void fold(int n, const double* w, const T* x, T* y) {
  const int ns2 = n / 2;
  y[0] = T{};
  for (int k = 1; k <= ns2; ++k) {
    const int kc = n + 1 - k;
    const T t1 = x[k - 1] - x[kc - 1];
    const T t2 = w[k - 1] * (x[k - 1] + x[kc - 1]);
    y[k] = t1 + t2;
    y[kc] = t2 - t1;
  }
  if (n % 2 != 0) y[ns2 + 1] = 4.0 * x[ns2];
}

// The sine coefficients from the transformed fold: c1 = y1/2, then pairs
// from the negated odd positions accumulated two by two.
template <class T>
inline void unfold(int n, const T* y, T* c) {
  c[0] = 0.5 * y[0];
  for (int i = 3; i <= n; i += 2) {
    c[i - 2] = -y[i - 1];
    c[i - 1] = c[i - 3] + y[i - 2];
  }
  if (n % 2 == 0) c[n - 1] = -y[n];
}

}  // namespace

SineTable::SineTable(int n) : n_(n) {
  const int ns2 = n / 2;
  const double dt = 3.141592653589793 / static_cast<double>(n + 1);
  w_.resize(ns2);
  for (int k = 1; k <= ns2; ++k) w_[k - 1] = 2.0 * std::sin(static_cast<double>(k) * dt);
  fft_ = RealFftTable(n + 1);
  y_.assign(2 * static_cast<std::size_t>(n + 1), 0.0);
  lanes_.assign(3 * static_cast<std::size_t>(n + 1) * V + 8, 0.0);
}

void SineTable::transform(const double* x, double* c) {
  if (n_ == 2) {
    const double x1 = x[0];
    const double x2 = x[1];
    c[0] = kSqrt3 * (x1 + x2);
    c[1] = kSqrt3 * (x1 - x2);
    return;
  }
  double* y = y_.data();
  fold(n_, w_.data(), x, y);
  fft_.forward_with(y, y + (n_ + 1));
  unfold(n_, y, c);
}

void SineTable::transform_lines(double* base, std::ptrdiff_t es, std::ptrdiff_t ls, int count) {
  if (count <= 0) return;
  const int n = n_;
  const int np1 = n + 1;
  LaneVec* x = fft_detail::aligned_lanes<V>(lanes_.data());
  LaneVec* y = x + np1;
  LaneVec* scr = y + np1;
  fft_detail::transform_in_lanes<V>(n, base, es, ls, count, x, [&] {
    if (n == 2) {
      const LaneVec x1 = x[0];
      const LaneVec x2 = x[1];
      x[0] = kSqrt3 * (x1 + x2);
      x[1] = kSqrt3 * (x1 - x2);
    } else {
      fold(n, w_.data(), x, y);
      fft_.forward_lanes(reinterpret_cast<double*>(y), reinterpret_cast<double*>(scr));
      unfold(n, y, x);
    }
  });
}

}  // namespace linac
