#include "numerics/spline.hpp"

#include <algorithm>
#include <numeric>

#include "numerics/lib_errors.hpp"

namespace linac {

namespace {

constexpr const char* kNdataText =
    "The number of data points must be 2 or more while NDATA = %(I1) is given.";
constexpr const char* kNintvText =
    "The number of intervals must be at least 1 while NINTV = %(I1) is given. ";
constexpr const char* kKorderText =
    "The order of the interpolating polynomial must be positive while KORDER = %(I1) is given.";

// Short arrays are reported, never read past their end.
void report_short(NumericsContext& sim, std::int32_t code, std::int32_t need, std::int32_t have) {
  E1INSI(sim, 1, need);
  E1INSI(sim, 2, have);
  E1MES(sim, 5, code,
        "The arrays must hold %(I1) values for the arguments given, but only %(I2) are "
        "provided.");
}

// The arrays of a piecewise polynomial: BREAK holds NINTV + 1 values and
// PCOEF KORDER x NINTV. The message gives the need and length of the first
// array that is too short.
void check_pp_arrays(NumericsContext& sim, std::int32_t code, std::int32_t korder, std::int32_t nintv,
                     std::span<const double> BREAK, std::span<const double> PCOEF) {
  if (N1RTY(sim, 0) != 0) return;
  auto capped = [](std::int64_t n) {
    return static_cast<std::int32_t>(std::min<std::int64_t>(n, 2147483647));
  };
  const std::int64_t break_need = std::int64_t{nintv} + 1;
  const std::int64_t coef_need = std::int64_t{korder} * nintv;
  if (static_cast<std::int64_t>(BREAK.size()) < break_need)
    report_short(sim, code, capped(break_need), size32(BREAK.size()));
  else if (static_cast<std::int64_t>(PCOEF.size()) < coef_need)
    report_short(sim, code, capped(coef_need), size32(PCOEF.size()));
}

// Integral of piece j from BREAK(j) to BREAK(j) + h:
// sum_m PCOEF(m, j) h^m / m!, nested from m = KORDER down.
double piece_integral(std::int32_t korder, const double* col, double h) {
  double v = 0.0;
  for (std::int32_t m = korder; m >= 1; --m) v = (v / (m + 1) * h + col[m - 1]);
  return v * h;
}

}  // namespace

void pp_interval(std::int32_t /*KORDER*/, std::int32_t NINTV, std::span<const double> BREAK,
                 double X, std::int32_t& LEFT) {
  // BREAK(j) is BREAK[j - 1]. Bracket X between lo and hi (lo <= answer <
  // hi) by steps 1, 2, 4, ... from the start piece, then bisect.
  auto b = [&](std::int32_t j) { return BREAK[j - 1]; };
  if (NINTV <= 1 || X < b(2)) {
    LEFT = 1;
    return;
  }
  if (X >= b(NINTV)) {
    LEFT = NINTV;
    return;
  }
  // Now 2 <= answer <= NINTV - 1, with b(2) <= X < b(NINTV).
  std::int32_t start = std::clamp<std::int32_t>(LEFT, 2, NINTV - 1);
  std::int32_t lo, hi;  // b(lo) <= X < b(hi)
  if (b(start) <= X) {
    lo = start;
    std::int32_t step = 1;
    hi = lo + step;
    while (hi < NINTV && b(hi) <= X) {
      lo = hi;
      step *= 2;
      hi = std::min<std::int32_t>(lo + step, NINTV);
    }
  } else {
    hi = start;
    std::int32_t step = 1;
    lo = hi - step;
    while (lo > 2 && b(lo) > X) {
      hi = lo;
      step *= 2;
      lo = std::max<std::int32_t>(hi - step, 2);
    }
  }
  while (hi - lo > 1) {
    const std::int32_t mid = lo + (hi - lo) / 2;
    if (b(mid) <= X)
      lo = mid;
    else
      hi = mid;
  }
  LEFT = lo;
}

double DPPDER(NumericsContext& sim, std::int32_t IDERIV, double X, std::int32_t KORDER, std::int32_t NINTV,
              std::span<const double> BREAK, std::span<const double> PCOEF,
              std::int32_t* remembered) {
  E1PSH(sim, "DPPDER");
  if (NINTV < 1) {
    E1INSI(sim, 1, NINTV);
    E1MES(sim, 5, 1, kNintvText);
  }
  if (IDERIV < 0) {
    E1INSI(sim, 1, IDERIV);
    E1MES(sim, 5, 2, "The order of the derivative must be positive while IDERIV = %(I1) is given.");
  }
  if (KORDER < 1) {
    E1INSI(sim, 1, KORDER);
    E1MES(sim, 5, 3, kKorderText);
  }
  check_pp_arrays(sim, 4, KORDER, NINTV, BREAK, PCOEF);
  double v = 0.0;
  if (N1RTY(sim, 0) == 0 && IDERIV < KORDER) {
    std::int32_t left = remembered ? *remembered : 1;
    pp_interval(KORDER, NINTV, BREAK, X, left);
    if (remembered) *remembered = left;
    const double h = X - BREAK[left - 1];
    const double* col = PCOEF.data() + static_cast<std::ptrdiff_t>(KORDER) * (left - 1);
    for (std::int32_t m = KORDER; m >= IDERIV + 1; --m) v = (v / (m - IDERIV)) * h + col[m - 1];
  }
  E1POP(sim, "DPPDER");
  return v;
}

double DPPITG(NumericsContext& sim, double A, double B, std::int32_t KORDER, std::int32_t NINTV,
              std::span<const double> BREAK, std::span<const double> PCOEF,
              std::int32_t* remembered) {
  E1PSH(sim, "DPPITG");
  if (NINTV < 1) {
    E1INSI(sim, 1, NINTV);
    E1MES(sim, 5, 1, kNintvText);
  }
  if (KORDER < 1) {
    E1INSI(sim, 1, KORDER);
    E1MES(sim, 5, 2, kKorderText);
  }
  check_pp_arrays(sim, 3, KORDER, NINTV, BREAK, PCOEF);
  double result = 0.0;
  if (N1RTY(sim, 0) == 0 && A != B) {
    const double lo = std::min(A, B);
    const double hi = std::max(A, B);
    const double sign = B > A ? 1.0 : -1.0;
    std::int32_t il = remembered ? *remembered : 1;
    pp_interval(KORDER, NINTV, BREAK, lo, il);
    std::int32_t ir = il;
    pp_interval(KORDER, NINTV, BREAK, hi, ir);
    if (remembered) *remembered = ir;
    auto col = [&](std::int32_t j) {
      return PCOEF.data() + static_cast<std::ptrdiff_t>(KORDER) * (j - 1);
    };
    double total = -piece_integral(KORDER, col(il), lo - BREAK[il - 1]);
    for (std::int32_t j = il; j <= ir - 1; ++j)
      total += piece_integral(KORDER, col(j), BREAK[j] - BREAK[j - 1]);
    total += piece_integral(KORDER, col(ir), hi - BREAK[ir - 1]);
    result = sign * total;
  }
  E1POP(sim, "DPPITG");
  return result;
}

void DSVRGP(NumericsContext& sim, std::int32_t N, std::span<const double> RA, std::span<double> RB,
            std::span<std::int32_t> IPERM) {
  E1PSH(sim, "DSVRGP");
  if (N < 1) {
    E1INSI(sim, 1, N);
    E1MES(sim, 5, 1,
          "The length of vectors RA, RB and IPERM must be greater than or equal to one.  On "
          "input the length, N, is given as %(I1).");
  } else if (size32(RA.size()) < N || size32(RB.size()) < N || size32(IPERM.size()) < N) {
    report_short(sim, 2, N, size32(std::min({RA.size(), RB.size(), IPERM.size()})));
  } else {
    // Stable ascending order; equal keys keep their input order.
    std::vector<std::int32_t> order(N);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::int32_t a, std::int32_t b) { return RA[a] < RA[b]; });
    std::vector<double> keys(N);
    std::vector<std::int32_t> perm(N);
    for (std::int32_t k = 0; k < N; ++k) {
      keys[k] = RA[order[k]];
      perm[k] = IPERM[order[k]];
    }
    std::copy(keys.begin(), keys.end(), RB.begin());
    std::copy(perm.begin(), perm.end(), IPERM.begin());
  }
  E1POP(sim, "DSVRGP");
}

void DC1SOR(NumericsContext& sim, std::int32_t NDATA, std::span<const double> XDATA,
            std::span<const double> FDATA, std::span<double> BREAK, std::span<double> CSCOEF,
            std::int32_t LDC, std::span<std::int32_t> IWK) {
  E1PSH(sim, "DC1SOR");
  auto duplicate = [&](std::int32_t i1, std::int32_t i2, double x) {
    E1INSI(sim, 1, i1);
    E1INSI(sim, 2, i2);
    E1INSD(sim, 1, x);
    E1MES(sim, 5, 2,
          "Points in the data point abscissas array, XDATA, must be distinct, but XDATA(%(I1)) = "
          "XDATA(%(I2)) = %(D1).");
  };
  std::int32_t first = 0;  // first i with XDATA(i) <= XDATA(i-1)
  for (std::int32_t i = 2; i <= NDATA && first == 0; ++i)
    if (XDATA[i - 1] <= XDATA[i - 2]) first = i;
  if (first == 0) {
    for (std::int32_t j = 1; j <= NDATA; ++j) {
      BREAK[j - 1] = XDATA[j - 1];
      CSCOEF[static_cast<std::ptrdiff_t>(LDC) * (j - 1)] = FDATA[j - 1];
    }
  } else if (XDATA[first - 1] == XDATA[first - 2]) {
    duplicate(first - 1, first, XDATA[first - 1]);
  } else {
    for (std::int32_t j = 1; j <= NDATA; ++j) IWK[j - 1] = j;
    DSVRGP(sim, NDATA, XDATA, BREAK, IWK);
    for (std::int32_t j = 1; j <= NDATA; ++j)
      CSCOEF[static_cast<std::ptrdiff_t>(LDC) * (j - 1)] = FDATA[IWK[j - 1] - 1];
    for (std::int32_t j = 2; j <= NDATA; ++j) {
      if (BREAK[j - 1] == BREAK[j - 2]) {
        duplicate(IWK[j - 2], IWK[j - 1], BREAK[j - 1]);
        break;
      }
    }
  }
  E1POP(sim, "DC1SOR");
}

void DC2DEC(NumericsContext& sim, std::int32_t NDATA, std::span<const double> XDATA,
            std::span<const double> FDATA, std::int32_t ILEFT, double VLEFT, std::int32_t IRIGHT,
            double VRIGHT, std::span<double> BREAK, std::span<double> CSCOEF,
            std::span<std::int32_t> IWK) {
  E1PSH(sim, "DC2DEC");
  if (NDATA < 2) {
    E1INSI(sim, 1, NDATA);
    E1MES(sim, 5, 1, kNdataText);
  }
  if (ILEFT < 0 || ILEFT > 2) {
    E1INSI(sim, 1, ILEFT);
    E1MES(sim, 5, 2, "The argument ILEFT = %(I1).  It must be 0, 1 or 2.");
  }
  if (IRIGHT < 0 || IRIGHT > 2) {
    E1INSI(sim, 1, IRIGHT);
    E1MES(sim, 5, 3, "The argument IRIGHT = %(I1).  It must be 0, 1 or 2.");
  }
  if (N1RTY(sim, 0) == 0) {
    const std::int32_t need = std::max<std::int32_t>(NDATA, 0);
    if (size32(XDATA.size()) < need || size32(FDATA.size()) < need ||
        size32(BREAK.size()) < need || size32(IWK.size()) < need ||
        static_cast<std::int64_t>(CSCOEF.size()) < 4LL * need)
      report_short(sim, 6, need,
                   size32(std::min({XDATA.size(), FDATA.size(), BREAK.size(), IWK.size(),
                                    CSCOEF.size() / 4})));
  }
  if (N1RTY(sim, 0) == 0) DC1SOR(sim, NDATA, XDATA, FDATA, BREAK, CSCOEF, 4, IWK);
  if (N1RTY(sim, 0) == 0 && N1RTY(sim, 1) == 0) {
    // Slopes s(j) of the interpolating cubic spline from the tridiagonal
    // system of continuity of the second derivative, with the end
    // conditions; c(1..4, j) is column j of CSCOEF, s(j) ends in c(2, j).
    const std::int32_t n = NDATA;
    auto c = [&](std::int32_t i, std::int32_t j) -> double& {
      return CSCOEF[static_cast<std::ptrdiff_t>(4) * (j - 1) + (i - 1)];
    };
    auto tau = [&](std::int32_t j) { return BREAK[j - 1]; };
    c(2, 1) = VLEFT;
    c(2, n) = VRIGHT;
    const std::int32_t l = n - 1;
    for (std::int32_t m = 2; m <= n; ++m) {
      c(3, m) = tau(m) - tau(m - 1);
      c(4, m) = (c(1, m) - c(1, m - 1)) / c(3, m);
    }
    double g = 0.0;
    // Left end: first equation c(4,1) s(1) + c(3,1) s(2) = c(2,1).
    bool two_points = false;
    if (ILEFT == 0) {
      if (n > 2) {
        c(4, 1) = c(3, 3);
        c(3, 1) = c(3, 2) + c(3, 3);
        c(2, 1) = ((c(3, 2) + 2.0 * c(3, 1)) * c(4, 2) * c(3, 3) + c(3, 2) * c(3, 2) * c(4, 3)) /
                  c(3, 1);
      } else {
        c(4, 1) = 1.0;
        c(3, 1) = 1.0;
        c(2, 1) = 2.0 * c(4, 2);
        two_points = true;
      }
    } else if (ILEFT == 1) {
      c(4, 1) = 1.0;
      c(3, 1) = 0.0;
      if (n == 2) two_points = true;
    } else {
      c(4, 1) = 2.0;
      c(3, 1) = 1.0;
      c(2, 1) = 3.0 * c(4, 2) - c(3, 2) / 2.0 * c(2, 1);
      if (n == 2) two_points = true;
    }
    bool forward_done = false;  // last equation already eliminated
    bool use_g = false;         // g set by the not-a-knot right end
    if (!two_points) {
      // Interior equations and the forward elimination: after it equation
      // m reads c(4,m) s(m) + c(3,m) s(m+1) = c(2,m).
      for (std::int32_t m = 2; m <= l; ++m) {
        g = -c(3, m + 1) / c(4, m - 1);
        c(2, m) = g * c(2, m - 1) + 3.0 * (c(3, m) * c(4, m + 1) + c(3, m + 1) * c(4, m));
        c(4, m) = g * c(3, m - 1) + 2.0 * (c(3, m) + c(3, m + 1));
      }
      if (IRIGHT == 1) {
        forward_done = true;  // s(n) is given: back substitution
      } else if (IRIGHT == 0 && !(n == 3 && ILEFT == 0)) {
        g = c(3, n - 1) + c(3, n);
        c(2, n) = ((c(3, n) + 2.0 * g) * c(4, n) * c(3, n - 1) +
                   c(3, n) * c(3, n) * (c(1, n - 1) - c(1, n - 2)) / c(3, n - 1)) /
                  g;
        g = -g / c(4, n - 1);
        c(4, n) = c(3, n - 1);
        use_g = true;
      } else if (IRIGHT == 0) {
        c(2, n) = 2.0 * c(4, n);
        c(4, n) = 1.0;
      } else {
        c(2, n) = 3.0 * c(4, n) + c(3, n) / 2.0 * c(2, n);
        c(4, n) = 2.0;
      }
    } else {
      // Two points.
      if (IRIGHT == 1) {
        forward_done = true;
      } else if (IRIGHT == 0) {
        if (ILEFT > 0) {
          c(2, n) = 2.0 * c(4, n);
          c(4, n) = 1.0;
        } else {
          c(2, n) = c(4, n);  // both ends not-a-knot: the straight line
          forward_done = true;
        }
      } else {
        c(2, n) = 3.0 * c(4, n) + c(3, n) / 2.0 * c(2, n);
        c(4, n) = 2.0;
      }
    }
    if (!forward_done) {
      if (!use_g) g = -1.0 / c(4, n - 1);
      c(4, n) = g * c(3, n - 1) + c(4, n);
      c(2, n) = (g * c(2, n - 1) + c(2, n)) / c(4, n);
    }
    for (std::int32_t j = l; j >= 1; --j) c(2, j) = (c(2, j) - c(3, j) * c(2, j + 1)) / c(4, j);
    // Derivatives at the left end of each piece from values and slopes.
    for (std::int32_t i = 2; i <= n; ++i) {
      const double dtau = c(3, i);
      const double divdf1 = (c(1, i) - c(1, i - 1)) / dtau;
      const double divdf3 = c(2, i - 1) + c(2, i) - 2.0 * divdf1;
      c(3, i - 1) = 2.0 * (divdf1 - c(2, i - 1) - divdf3) / dtau;
      c(4, i - 1) = (divdf3 / dtau) * (6.0 / dtau);
    }
  }
  E1POP(sim, "DC2DEC");
}

void DC2INT(NumericsContext& sim, std::int32_t NDATA, std::span<const double> XDATA,
            std::span<const double> FDATA, std::span<double> BREAK, std::span<double> CSCOEF,
            std::span<std::int32_t> IWK) {
  E1PSH(sim, "DC2INT");
  DC2DEC(sim, NDATA, XDATA, FDATA, 0, 0.0, 0, 0.0, BREAK, CSCOEF, IWK);
  E1POP(sim, "DC2INT");
}

void DCSINT(NumericsContext& sim, std::int32_t NDATA, std::span<const double> XDATA,
            std::span<const double> FDATA, CubicSpline& spline) {
  E1PSH(sim, "DCSINT");
  if (NDATA < 2) {
    E1INSI(sim, 1, NDATA);
    E1MES(sim, 5, 1, kNdataText);
  } else if (size32(XDATA.size()) < NDATA || size32(FDATA.size()) < NDATA) {
    report_short(sim, 6, NDATA, size32(std::min(XDATA.size(), FDATA.size())));
  } else {
    std::vector<std::int32_t> iwk;
    if (!allocated([&] {
          iwk.resize(NDATA);
          spline.BREAK.assign(NDATA, 0.0);
          spline.CSCOEF.assign(4 * static_cast<std::size_t>(NDATA), 0.0);
        })) {
      spline = CubicSpline{};
      E1INSI(sim, 1, NDATA);
      E1MES(sim, 5, 5,
            "The required storage cannot be allocated.  The specified NDATA may be too large, "
            "where NDATA = %(I1).");
    } else {
      spline.ndata = NDATA;
      spline.last_piece = 1;
      DC2INT(sim, NDATA, XDATA, FDATA, spline.BREAK, spline.CSCOEF, iwk);
      if (N1RTY(sim, 1) != 0) spline.ndata = 0;  // no usable spline
    }
  }
  E1POP(sim, "DCSINT");
}

namespace {
bool spline_matches(NumericsContext& sim, const char* name, std::int32_t NINTV, const CubicSpline& spline) {
  if (spline.ndata >= 2 && NINTV == spline.nintv()) return true;
  E1PSH(sim, name);
  E1INSI(sim, 1, NINTV);
  E1INSI(sim, 2, spline.ndata >= 2 ? spline.nintv() : 0);
  E1MES(sim, 5, 1,
        "The spline holds NINTV = %(I2) intervals, but NINTV = %(I1) is given.  A spline is "
        "used only with the interval count it was built with.");
  E1POP(sim, name);
  return false;
}
}  // namespace

double DCSVAL(NumericsContext& sim, double X, std::int32_t NINTV, CubicSpline& spline) {
  if (!spline_matches(sim, "DCSVAL", NINTV, spline)) return 0.0;
  return DPPDER(sim, 0, X, 4, NINTV, spline.BREAK, spline.CSCOEF, &spline.last_piece);
}

double DCSITG(NumericsContext& sim, double A, double B, std::int32_t NINTV, CubicSpline& spline) {
  if (!spline_matches(sim, "DCSITG", NINTV, spline)) return 0.0;
  return DPPITG(sim, A, B, 4, NINTV, spline.BREAK, spline.CSCOEF, &spline.last_piece);
}

}  // namespace linac
