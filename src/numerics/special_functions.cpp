#include "numerics/special_functions.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/lib_errors.hpp"
#include "numerics/machine.hpp"

namespace linac {

namespace {

// Chebyshev coefficients of asinh(x)/x - 1, x in [-1, 1], variable
// t = 2x^2 - 1, computed to 60 digits and rounded to double.
constexpr double kAsinhSeries[39] = {
    -0.12820039911738187, -0.05881176118995177, 0.004727465432212481,
    -0.0004938363162653618, 5.850620705855741e-05, -7.466998328931368e-06,
    1.00116935835582e-06, -1.3903543858708333e-07, 1.9823169483172795e-08,
    -2.8847468417848845e-09, 4.2672965467159937e-10, -6.397608465436636e-11,
    9.699168608906471e-12, -1.4844276972043772e-12, 2.290373793902745e-13,
    -3.5588395132732646e-14, 5.563969408005679e-15, -8.746250959962468e-16,
    1.381524884452669e-16, -2.1916688282900364e-17, 3.490465852482756e-18,
    -5.578578840089574e-19, 8.944514661713401e-20, -1.4383426346571318e-20,
    2.3191811872169965e-21, -3.7487007953314343e-22, 6.073210982206428e-23,
    -9.859940276463359e-24, 1.6039217452788496e-24, -2.613884735028769e-25,
    4.267084960685738e-26, -6.977021703918526e-27, 1.142508833680696e-27,
    -1.873529207886116e-28, 3.0763584414462e-29, -5.057736403165169e-30,
    8.32507547115963e-31, -1.371845728086297e-31, 2.2629868426552783e-32,
};

}  // namespace

std::span<const double> asinh_series() { return kAsinhSeries; }

std::int32_t INITDS(NumericsContext& sim, std::span<const double> SERIES, std::int32_t NOS, float ETA) {
  E1PSH(sim, "INITDS");
  std::int32_t result = 0;
  if (NOS < 1) {
    E1INSI(sim, 1, NOS);
    E1MES(sim, 5, 5, "The number of coefficients is less than 1. NOS = %(I1).");
  } else {
    // Sum of magnitudes in single precision from the last term down.
    float err = 0.0f;
    std::int32_t i = 1;
    for (std::int32_t ii = 1; ii <= NOS; ++ii) {
      i = NOS + 1 - ii;
      err = err + std::fabs(static_cast<float>(SERIES[i - 1]));
      if (err > ETA) break;
    }
    result = i;
    if (i == NOS) {
      E1MES(sim, 5, 6, "Too much accuracy may be requested. ETA should be increased.");
      result = 0;
    }
  }
  E1POP(sim, "INITDS");
  return result;
}

double DCSEVL(NumericsContext& sim, double X, std::span<const double> SERIES, std::int32_t N) {
  E1PSH(sim, "DCSEVL");
  double result = std::numeric_limits<double>::quiet_NaN();
  if (N < 1) {
    E1INSI(sim, 1, N);
    E1MES(sim, 5, 5, "The number of terms in the series is not positive. N = %(I1).");
  } else if (N > 1000) {
    E1INSI(sim, 1, N);
    E1MES(sim, 5, 6, "The number of terms in the series is greater than 1000. N = %(I1).");
  } else {
    if (X < -1.1 || X > 1.1) {
      E1INSD(sim, 1, X);
      E1MES(sim, 3, 7, "The argument X = %(D1) is outside the interval (-1.1,+1.1).");
    }
    const double twox = 2.0 * X;
    double b0 = 0.0, b1 = 0.0, b2 = 0.0;
    for (std::int32_t i = N; i >= 1; --i) {
      b2 = b1;
      b1 = b0;
      b0 = twox * b1 - b2 + SERIES[i - 1];
    }
    result = (b0 - b2) / 2.0;
  }
  E1POP(sim, "DCSEVL");
  return result;
}

double DASINH(NumericsContext& sim, double X) {
  // Accuracy wanted of the series: a tenth of the unit roundoff, formed in
  // single precision.
  const float eta = 0.1f * static_cast<float>(machine::dmach_value(3));
  const std::int32_t nterms = INITDS(sim, kAsinhSeries, 39, eta);
  const double sqeps = std::sqrt(machine::dmach_value(3));
  const double y = std::fabs(X);
  if (y <= 1.0) {
    if (y <= sqeps) return X;
    return X * (1.0 + DCSEVL(sim, 2.0 * X * X - 1.0, kAsinhSeries, nterms));
  }
  const double v = y < 1.0 / sqeps ? std::log(y + std::sqrt(y * y + 1.0))
                                   : std::log(y) + 0.6931471805599453;
  return X < 0.0 ? -v : v;
}

void DBSINS(NumericsContext& sim, double X, std::int32_t N, std::span<double> BSI) {
  E1PSH(sim, "DBSINS");
  const double nan = machine::dmach_value(6);
  std::fill_n(BSI.begin(), std::clamp<std::int32_t>(N, 0, size32(BSI.size())), nan);
  // Digits and decimal exponent range of doubles: D = 15, R = 308.
  const int D = static_cast<int>(-std::log10(machine::dmach_value(3)));
  const int R = static_cast<int>(std::log10(machine::dmach_value(2)));
  const double xmax = std::log(machine::dmach_value(2));
  const double x = X;
  const double a = std::fabs(x);
  if (N < 1) {
    E1INSI(sim, 1, N);
    E1MES(sim, 5, 1,
          "The number of function values to be computed, N = %(I1), must be at least 1.");
  } else if (size32(BSI.size()) < N) {
    E1INSI(sim, 1, N);
    E1INSI(sim, 2, size32(BSI.size()));
    E1MES(sim, 5, 3, "The array BSI must hold N = %(I1) values, but it holds only %(I2).");
  } else if (!(a <= xmax)) {
    E1INSD(sim, 1, X);
    E1INSD(sim, 2, xmax);
    E1MES(sim, 5, 2,
          "The absolute value of the input argument, X = %(D1), must be less than or equal to "
          "the largest acceptable argument for the exponential which is equal to %(D2).");
  } else if (a * a * a * a < std::pow(0.1, D)) {
    // Two terms of the ascending series: I_k = (x/2)^k / k! (1 + t/(k+1)).
    const double t = x * x / 4.0;
    BSI[0] = 1.0 + t;
    double pw = 1.0;
    for (std::int32_t k = 1; k <= N - 1; ++k) {
      pw = pw * (x / (2.0 * k));
      BSI[k] = pw * (1.0 + t / (k + 1));
    }
  } else {
    // Start index of the backward (Miller) recurrence, found by running the
    // forward recurrence p(n+1) = (2n/a) p(n) + p(n-1) until p is large
    // enough for the requested number of accurate orders.
    const double tenD = std::pow(10.0, D);
    const int m0 = static_cast<int>(a);
    int n = m0 + 1;
    double e = 2.0 * n;
    double p_prev = 1.0;
    double p = e / a;
    double p_two = 0.0;
    std::int32_t good = N;
    double T = 2.0 * tenD;
    if (2 * m0 > D / 2)
      T = std::sqrt(T * p);
    else
      T = T / std::pow(1.585, m0);
    auto step = [&] {
      ++n;
      e += 2.0;
      p_two = p_prev;
      p_prev = p;
      p = e * p_prev / a + p_two;
    };
    bool guarded = false;
    if (N - m0 >= 3) {
      const double bound = std::pow(10.0, R - D);
      for (int k = m0 + 2; k <= N - 1; ++k) {
        step();
        if (p > bound) {
          guarded = true;
          break;
        }
      }
      if (guarded) {
        // Overflow guard: continue on scaled values, then find how many
        // orders the scaled sequence still gives to full precision.
        const double big = std::pow(10.0, R);
        p /= big;
        p_prev /= big;
        double s = p;
        double s_prev = p_prev;
        const int n_start = n + 1;
        do {
          step();
        } while (p <= 1.0);
        const double bb = e / a;
        T = p_two * p_prev / tenD;
        T = T * (0.5 - 0.5 / (bb * bb));
        p = p_prev * big;
        --n;
        e -= 2.0;
        const int n_end = std::min(N, n);
        good = n_end;
        for (int L = n_start; L <= n_end; ++L) {
          const double s_two = s_prev;
          s_prev = s;
          s = e * s_prev / a + s_two;
          if (s * s_prev > T) {
            good = L - 1;
            break;
          }
        }
      } else {
        n = N - 1;
        e = 2.0 * n;
        T = std::max(T, std::sqrt(p_prev * tenD) * std::sqrt(p + p));
      }
    }
    if (!guarded) {
      do {
        step();
      } while (p < T);
    }
    // Backward recurrence from k0 = n + 1: B(k0) = 1/p, B(k0+1) = 0,
    // B(k-1) = (2(k-1)/x) B(k) + B(k+1); B(k) stands for I_(k-1). The sum
    // B(1) + 2 (B(3) + B(5) + ...) normalises by cosh x = I_0 + 2 sum I_2j.
    const int k0 = n + 1;
    double bk1 = 0.0;      // B(k+1)
    double bk = 1.0 / p;   // B(k), k = k0
    double sum = 0.0;
    for (int k = k0 + 1; k <= N; ++k) BSI[k - 1] = 0.0;
    if (k0 <= N) BSI[k0 - 1] = bk;
    if (k0 % 2 == 1) sum += (k0 == 1 ? bk : 2.0 * bk);
    for (int k = k0; k >= 2; --k) {
      const double bm1 = (2.0 * (k - 1) / x) * bk + bk1;  // B(k-1)
      bk1 = bk;
      bk = bm1;
      if (k - 1 <= N) BSI[k - 2] = bk;
      if ((k - 1) % 2 == 1) sum += (k - 1 == 1 ? bk : 2.0 * bk);
    }
    const double divisor = 2.0 * sum / (std::exp(-x) + std::exp(x));
    for (std::int32_t k = 0; k < N; ++k) BSI[k] /= divisor;
    if (good != N) {
      E1INSI(sim, 1, good);
      E1INSI(sim, 2, good + 1);
      E1INSI(sim, 3, N);
      E1INSD(sim, 1, X);
      E1MES(sim, 3, 1,
            "The function values BSI(I), (I = 1,%(I1)), are computed to machine precision, but "
            "precision is lost for BSI(I), (I = %(I2),%(I3)).  The argument for the function is "
            "X = %(D1).");
    }
  }
  E1POP(sim, "DBSINS");
}

}  // namespace linac
