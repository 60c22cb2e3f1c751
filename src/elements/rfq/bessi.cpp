#include "elements/rfq/bessi.hpp"

#include <cmath>

#include "platform/fatal.hpp"

namespace linac {

double bessi0(double x) {
  const double ax = std::abs(x);
  if (ax < 3.75) {
    double y = x / 3.75;
    y *= y;
    return 1.0 + y * (3.5156229 + y * (3.0899424 + y * (1.2067492 +
                 y * (0.2659732 + y * (0.360768e-1 + y * 0.45813e-2)))));
  }
  const double y = 3.75 / ax;
  return (std::exp(ax) / std::sqrt(ax)) *
         (0.39894228 + y * (0.1328592e-1 + y * (0.225319e-2 + y * (-0.157565e-2 + y * (0.916281e-2 +
          y * (-0.2057706e-1 + y * (0.2635537e-1 + y * (-0.1647633e-1 + y * 0.392377e-2))))))));
}

double bessi1(double x) {
  const double ax = std::abs(x);
  double ans = 0.0;
  if (ax < 3.75) {
    double y = x / 3.75;
    y *= y;
    ans = ax * (0.5 + y * (0.87890594 + y * (0.51498869 + y * (0.15084934 +
               y * (0.2658733e-1 + y * (0.301532e-2 + y * 0.32411e-3))))));
  } else {
    const double y = 3.75 / ax;
    ans = 0.2282967e-1 + y * (-0.2895312e-1 + y * (0.1787654e-1 - y * 0.420059e-2));
    ans = 0.39894228 + y * (-0.3988024e-1 + y * (-0.362018e-2 + y * (0.163801e-2 +
          y * (-0.1031555e-1 + y * ans))));
    ans *= std::exp(ax) / std::sqrt(ax);
  }
  return x < 0.0 ? -ans : ans;
}

double bessi(std::int32_t n, double x) {
  if (n < 2) fatal("bad argument n in bessi");
  if (std::abs(x) < 1e-13) return 0.0;
  constexpr double kBig = 1e10;
  constexpr double kSmall = 1e-10;
  const double tox = 2.0 / std::abs(x);
  double bip = 0.0;
  double bi = 1.0;
  double ans = 0.0;
  // Downward recurrence from an order well above n (Miller's algorithm),
  // normalised by I_0.
  for (int j = 2 * (n + static_cast<int>(std::sqrt(40.0 * n))); j > 0; --j) {
    const double bim = bip + j * tox * bi;
    bip = bi;
    bi = bim;
    if (std::abs(bi) > kBig) {
      ans *= kSmall;
      bi *= kSmall;
      bip *= kSmall;
    }
    if (j == n) ans = bip;
  }
  ans *= bessi0(x) / bi;
  return (x < 0.0 && (n & 1)) ? -ans : ans;
}

}  // namespace linac
