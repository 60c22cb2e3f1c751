#include "numerics/linear_systems.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "numerics/lib_errors.hpp"
#include "numerics/machine.hpp"
#include "numerics/vector_kernels.hpp"

namespace linac {

namespace {

// A pivot or diagonal element of magnitude at most SMALL counts as zero.
double small_value() {
  const double tiny = machine::dmach_value(1);
  const double huge = machine::dmach_value(2);
  return tiny * huge < 1.0 ? 1.0 / huge : tiny;
}

void msg_i(NumericsContext& sim, std::int32_t type, std::int32_t code, const char* text, std::int32_t i1,
           std::int32_t i2 = 0) {
  E1INSI(sim, 1, i1);
  E1INSI(sim, 2, i2);
  E1MES(sim, type, code, text);
}

constexpr const char* kEqText = "The number of equations must be positive while N = %(I1) is given.";
constexpr const char* kOrderText = "The order of the matrix must be positive while N = %(I1) is given.";
constexpr const char* kLdaText =
    "The order of the matrix must be less than or equal to its leading dimension while N = %(I1) "
    "and LDA = %(I2) are given.";
constexpr const char* kLdfacText =
    "The order of the matrix must be less than or equal to its leading dimension while N = %(I1) "
    "and LDFAC = %(I2) are given.";
constexpr const char* kIpathText = "IPATH must be either 1 or 2 while a value of %(I1) is given.";
constexpr const char* kSingularText =
    "The input matrix is singular.  Some of the diagonal elements of the upper triangular matrix "
    "U of the LU factorization are close to zero.";

std::int64_t need(std::int32_t ld, std::int32_t n) {
  return n < 1 ? 0 : static_cast<std::int64_t>(ld) * (n - 1) + n;
}

}  // namespace

void dd_add(double A, DoubleDouble& S) {
  const double t = A + S.hi;
  const double e = ((A - t) + S.hi) + (A - ((A - t) + t)) + S.lo;
  S.hi = t + e;
  S.lo = (t - S.hi) + e;
}

void dd_mul_add(double X, double Y, DoubleDouble& S) {
  int c = 0;
  auto scale = [&](double v) {
    if (std::fabs(v) > 1.3390779e+300) {
      v *= 0x1p-54;
      ++c;
    } else if (std::fabs(v) <= 4.0092665e-292) {
      v *= 0x1p54;
      --c;
    }
    return v;
  };
  const double x = scale(X);
  const double y = scale(Y);
  // Dekker's split with 2^27 + 1 and the exact error of the product.
  auto split = [](double v, double& h, double& l) {
    const double t = v * 134217728.0 + v;
    h = t + (v - t);
    l = v - h;
  };
  double xh, xl, yh, yl;
  split(x, xh, xl);
  split(y, yh, yl);
  double p = x * y;
  const double q = xh * yh;
  double e = q != 0.0 ? ((q - p) + xh * yl + yh * xl) + xl * yl : 0.0;
  if (c != 0 && (p != 0.0 || e != 0.0)) {
    p = std::ldexp(p, 54 * c);
    e = std::ldexp(e, 54 * c);
  }
  dd_add(p, S);
  dd_add(e, S);
}

double dd_value(const DoubleDouble& S) { return S.hi + S.lo; }

double dd_dot(std::int32_t N, double START, const double* X, std::int32_t INCX, const double* Y,
              std::int32_t INCY) {
  DoubleDouble s;
  dd_add(START, s);
  if (N > 0) {
    std::int64_t ix = INCX >= 0 ? 0 : static_cast<std::int64_t>(1 - N) * INCX;
    std::int64_t iy = INCY >= 0 ? 0 : static_cast<std::int64_t>(1 - N) * INCY;
    for (std::int32_t i = 0; i < N; ++i, ix += INCX, iy += INCY) dd_mul_add(X[ix], Y[iy], s);
  }
  return dd_value(s);
}

void DCRGRG(NumericsContext& sim, std::int32_t N, const double* A, std::int32_t LDA, double* B,
            std::int32_t LDB) {
  E1PSH(sim, "DCRGRG");
  if (N < 1)
    msg_i(sim, 5, 1, "The argument N = %(I1).  It must be at least 1.", N);
  else if (LDA < N)
    msg_i(sim, 5, 2, "The argument LDA = %(I1).  It must be at least as large as N = %(I2).", LDA, N);
  else if (LDB < N)
    msg_i(sim, 5, 3, "The argument LDB = %(I1).  It must be at least as large as N = %(I2).", LDB, N);
  else
    for (std::int32_t j = 0; j < N; ++j)
      for (std::int32_t i = 0; i < N; ++i)
        B[i + static_cast<std::int64_t>(j) * LDB] = A[i + static_cast<std::int64_t>(j) * LDA];
  E1POP(sim, "DCRGRG");
}

void DNR1RR(NumericsContext& sim, std::int32_t NRA, std::int32_t NCA, const double* A, std::int32_t LDA,
            double& NORM1) {
  E1PSH(sim, "DNR1RR");
  if (LDA < NRA)
    msg_i(sim, 5, 1,
          "The number of rows of the input matrix must be less than or equal to the leading "
          "dimension while NRA = %(I1) and LDA = %(I2) are given.",
          NRA, LDA);
  else if (NRA < 1)
    msg_i(sim, 5, 2,
          "The number of rows of the input matrix must be greater than zero while NRA = %(I1) is "
          "given.",
          NRA);
  else if (NCA < 1)
    msg_i(sim, 5, 3,
          "The number of columns of the input matrix must be greater than zero while NCA = %(I1) "
          "is given.",
          NCA);
  else {
    NORM1 = 0.0;
    for (std::int32_t j = 0; j < NCA; ++j) {
      double s = 0.0;
      for (std::int32_t i = 0; i < NRA; ++i) s += std::fabs(A[i + static_cast<std::int64_t>(j) * LDA]);
      NORM1 = std::max(NORM1, s);
    }
  }
  E1POP(sim, "DNR1RR");
}

void DTRSV(NumericsContext& sim, char UPLO, char TRANS, char DIAG, std::int32_t N, const double* A,
           std::int32_t LDA, double* X, std::int32_t INCX) {
  auto fail = [&](std::int32_t code, const char* text, std::int32_t i1, std::int32_t i2,
                  const char* letter) {
    E1PSH(sim, "DTRSV ");
    E1INSI(sim, 1, i1);
    E1INSI(sim, 2, i2);
    if (letter) E1INSL(sim, 1, std::string(1, *letter));
    E1MES(sim, 5, code, text);
    E1POP(sim, "DTRSV ");
  };
  const bool upper = same_letter(UPLO, 'U');
  const bool trans = same_letter(TRANS, 'T') || same_letter(TRANS, 'C');
  if (N < 0) return fail(1, "N must be greater than or equal to zero while %(I1) is given.", N, 0, nullptr);
  if (LDA == 0 || LDA < N)
    return fail(2,
                "LDA must be greater than or equal to N and greater than zero while LDA = %(I1) "
                "and N = %(I2) are given.",
                LDA, N, nullptr);
  if (INCX == 0) return fail(3, "INCX must not be equal to zero while %(I1) is given.", INCX, 0, nullptr);
  if (!(same_letter(TRANS, 'N') || trans))
    return fail(4, "TRANS must be set equal to N or T or C while %(L1) is given.", 0, 0, &TRANS);
  if (!(upper || same_letter(UPLO, 'L')))
    return fail(5, "UPLO must be set equal to U or L while %(L1) is given.", 0, 0, &UPLO);
  if (!(same_letter(DIAG, 'U') || same_letter(DIAG, 'N')))
    return fail(6, "DIAG must be set equal to U or N while %(L1) is given.", 0, 0, &DIAG);
  if (N == 0) return;
  const bool unit = same_letter(DIAG, 'U');
  const std::int64_t kx = INCX > 0 ? 0 : static_cast<std::int64_t>(1 - N) * INCX;
  auto x = [&](std::int32_t i) -> double& { return X[kx + static_cast<std::int64_t>(i - 1) * INCX]; };
  auto a = [&](std::int32_t i, std::int32_t j) {
    return A[(i - 1) + static_cast<std::int64_t>(j - 1) * LDA];
  };
  // Element (i, j) of op(A): A(i, j), or A(j, i) when transposed.
  auto op = [&](std::int32_t i, std::int32_t j) { return trans ? a(j, i) : a(i, j); };
  const bool solve_up = upper != trans;  // op(A) upper triangular: back substitution
  if (solve_up) {
    for (std::int32_t i = N; i >= 1; --i) {
      double s = x(i);
      for (std::int32_t j = i + 1; j <= N; ++j) s -= op(i, j) * x(j);
      x(i) = unit ? s : s / op(i, i);
    }
  } else {
    for (std::int32_t i = 1; i <= N; ++i) {
      double s = x(i);
      for (std::int32_t j = 1; j < i; ++j) s -= op(i, j) * x(j);
      x(i) = unit ? s : s / op(i, i);
    }
  }
}

void dL2TRG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<double> FACT, std::int32_t LDFAC, std::span<std::int32_t> PIVOTS,
            std::span<double> WORK) {
  E1PSH(sim, "dL2TRG");
  if (N < 1)
    msg_i(sim, 5, 1, kOrderText, N);
  else if (LDA < N)
    msg_i(sim, 5, 2, kLdaText, N, LDA);
  else if (LDFAC < N)
    msg_i(sim, 5, 3, kLdfacText, N, LDFAC);
  if (N1RTY(sim, 0) == 0) {
    DCRGRG(sim, N, A.data(), LDA, FACT.data(), LDFAC);
    const double small = small_value();
    auto f = [&](std::int32_t i, std::int32_t j) -> double& {
      return FACT[(i - 1) + static_cast<std::int64_t>(j - 1) * LDFAC];
    };
    auto scale = [&](std::int32_t i) -> double& { return WORK[i - 1]; };
    // Row scales 1 / max_j |A(i, j)|.
    for (std::int32_t i = 1; i <= N; ++i) {
      double m = 0.0;
      for (std::int32_t j = 1; j <= N; ++j) m = std::max(m, std::fabs(f(i, j)));
      scale(i) = m >= small ? 1.0 / m : 1.0;
    }
    bool singular = false;
    for (std::int32_t k = 1; k <= N - 1; ++k) {
      // Pivot: the first row with the largest scaled magnitude.
      std::int32_t l = k;
      double best = std::fabs(f(k, k) * scale(k));
      for (std::int32_t i = k + 1; i <= N; ++i) {
        const double v = std::fabs(f(i, k) * scale(i));
        if (v > best) {
          best = v;
          l = i;
        }
      }
      PIVOTS[k - 1] = l;
      if (std::fabs(f(l, k)) <= small) {
        singular = true;
        continue;
      }
      std::swap(scale(k), scale(l));
      std::swap(f(l, k), f(k, k));
      const double t = -1.0 / f(k, k);
      for (std::int32_t i = k + 1; i <= N; ++i) f(i, k) *= t;
      for (std::int32_t j = k + 1; j <= N; ++j) {
        std::swap(f(l, j), f(k, j));
        const double fkj = f(k, j);
        if (fkj != 0.0)
          for (std::int32_t i = k + 1; i <= N; ++i) f(i, j) += fkj * f(i, k);
      }
    }
    PIVOTS[N - 1] = N;
    if (std::fabs(f(N, N)) <= small) singular = true;
    if (singular) E1MES(sim, 4, 2, kSingularText);
  }
  E1POP(sim, "dL2TRG");
}

void DL2CRG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<double> FACT, std::int32_t LDFAC, std::span<std::int32_t> PIVOTS,
            double& RCOND, std::span<double> WORK) {
  E1PSH(sim, "DL2CRG");
  if (N < 1)
    msg_i(sim, 5, 1, kOrderText, N);
  else if (LDA < N)
    msg_i(sim, 5, 2, kLdaText, N, LDA);
  else if (LDFAC < N)
    msg_i(sim, 5, 3, kLdfacText, N, LDFAC);
  std::int32_t iopt = 17;
  std::int32_t optv[2] = {0, 0};
  if (N1RTY(sim, 0) == 0) {
    RCOND = 1.0;
    IUMAG(sim, "MATH", 1, 1, 1, &iopt, optv);
    if (optv[1] != 1 && optv[1] != 2)
      msg_i(sim, 5, 4,
            "The flag value for computing the matrix condition number must be 1 or 2 while %(I1) "
            "is given.",
            optv[1]);
  }
  if (N1RTY(sim, 0) == 0) {
    const bool estimate = optv[1] == 2;
    double anorm = 0.0;
    if (estimate) DNR1RR(sim, N, N, A.data(), LDA, anorm);
    dL2TRG(sim, N, A, LDA, FACT, LDFAC, PIVOTS, WORK);
    if (N1RTY(sim, 1) != 4 && estimate) {
      auto u = [&](std::int32_t i, std::int32_t j) {
        return FACT[(i - 1) + static_cast<std::int64_t>(j - 1) * LDFAC];
      };
      auto z = [&](std::int32_t i) -> double& { return WORK[i - 1]; };
      auto asum = [&] { return vec_abs_sum(N, WORK.data(), 1); };
      auto scal = [&](double s) { vec_scale(N, s, WORK.data(), 1); };
      // Solve U^T w = e with e = +-1 chosen to make w large.
      double ek = 1.0;
      vec_set(N, 0.0, WORK.data(), 1);
      for (std::int32_t k = 1; k <= N; ++k) {
        if (z(k) != 0.0) ek = z(k) < 0.0 ? std::fabs(ek) : -std::fabs(ek);
        if (std::fabs(ek - z(k)) > std::fabs(u(k, k))) {
          const double s = std::fabs(u(k, k)) / std::fabs(ek - z(k));
          scal(s);
          ek *= s;
        }
        double wk = ek - z(k), wkm = -ek - z(k);
        double s = std::fabs(wk), sm = std::fabs(wkm);
        if (u(k, k) != 0.0) {
          wk /= u(k, k);
          wkm /= u(k, k);
        } else {
          wk = 1.0;
          wkm = 1.0;
        }
        for (std::int32_t j = k + 1; j <= N; ++j) {
          sm += std::fabs(z(j) + wkm * u(k, j));
          z(j) += wk * u(k, j);
          s += std::fabs(z(j));
        }
        if (s < sm) {
          const double t = wkm - wk;
          wk = wkm;
          for (std::int32_t j = k + 1; j <= N; ++j) z(j) += t * u(k, j);
        }
        z(k) = wk;
      }
      scal(1.0 / asum());
      // Solve L^T y = w.
      for (std::int32_t k = N; k >= 1; --k) {
        if (k < N) {
          double s = 0.0;
          for (std::int32_t j = k + 1; j <= N; ++j) s += u(j, k) * z(j);
          z(k) += s;
        }
        if (std::fabs(z(k)) > 1.0) scal(1.0 / std::fabs(z(k)));
        std::swap(z(k), z(PIVOTS[k - 1]));
      }
      scal(1.0 / asum());
      double ynorm = 1.0;
      // Solve L v = y.
      for (std::int32_t k = 1; k <= N; ++k) {
        std::swap(z(k), z(PIVOTS[k - 1]));
        if (k < N)
          for (std::int32_t j = k + 1; j <= N; ++j) z(j) += z(k) * u(j, k);
        if (std::fabs(z(k)) > 1.0) {
          const double s = 1.0 / std::fabs(z(k));
          scal(s);
          ynorm *= s;
        }
      }
      double s = 1.0 / asum();
      scal(s);
      ynorm *= s;
      // Solve U z = v.
      for (std::int32_t k = N; k >= 1; --k) {
        if (std::fabs(z(k)) > std::fabs(u(k, k))) {
          const double t = std::fabs(u(k, k)) / std::fabs(z(k));
          scal(t);
          ynorm *= t;
        }
        z(k) = u(k, k) != 0.0 ? z(k) / u(k, k) : 1.0;
        for (std::int32_t i = 1; i < k; ++i) z(i) -= z(k) * u(i, k);
      }
      s = 1.0 / asum();
      scal(s);
      ynorm *= s;
      if (anorm != 0.0) RCOND = ynorm / anorm;
      if (RCOND <= machine::dmach_value(4)) {
        E1INSD(sim, 1, RCOND);
        E1MES(sim, 3, 1,
              "The matrix is algorithmically singular.  An estimate of the reciprocal of its L1 "
              "condition number is RCOND = %(D1).");
      }
    }
  }
  E1POP(sim, "DL2CRG");
}

void DLFSRG(NumericsContext& sim, std::int32_t N, std::span<const double> FACT, std::int32_t LDFAC,
            std::span<const std::int32_t> PIVOTS, const double* B, std::int32_t IPATH, double* X) {
  E1PSH(sim, "DLFSRG");
  if (N < 1)
    msg_i(sim, 5, 1, kEqText, N);
  else if (LDFAC < N)
    msg_i(sim, 5, 2, kLdfacText, N, LDFAC);
  if (N1RTY(sim, 0) == 0) {
    const double small = small_value();
    auto f = [&](std::int32_t i, std::int32_t j) {
      return FACT[(i - 1) + static_cast<std::int64_t>(j - 1) * LDFAC];
    };
    if (X != B) std::copy_n(B, N, X);
    auto zero_diagonal = [&] {
      for (std::int32_t k = N; k >= 1; --k)
        if (std::fabs(f(k, k)) <= small) return true;
      return false;
    };
    if (IPATH == 1) {
      for (std::int32_t k = 1; k <= N - 1; ++k) {
        const std::int32_t l = PIVOTS[k - 1];
        const double t = X[l - 1];
        if (l != k) {
          X[l - 1] = X[k - 1];
          X[k - 1] = t;
        }
        for (std::int32_t j = k + 1; j <= N; ++j) X[j - 1] += t * f(j, k);
      }
      if (zero_diagonal())
        E1MES(sim, 5, 3, kSingularText);
      else
        DTRSV(sim, 'U', 'N', 'N', N, FACT.data(), LDFAC, X, 1);
    } else if (IPATH == 2) {
      if (zero_diagonal()) {
        E1MES(sim, 5, 4, kSingularText);
      } else {
        DTRSV(sim, 'U', 'T', 'N', N, FACT.data(), LDFAC, X, 1);
        for (std::int32_t k = N - 1; k >= 1; --k) {
          double s = 0.0;
          for (std::int32_t j = k + 1; j <= N; ++j) s += f(j, k) * X[j - 1];
          X[k - 1] += s;
          const std::int32_t l = PIVOTS[k - 1];
          if (l != k) std::swap(X[l - 1], X[k - 1]);
        }
      }
    } else {
      msg_i(sim, 5, 5, kIpathText, IPATH);
    }
  }
  E1POP(sim, "DLFSRG");
}

void DLFIRG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<const double> FACT, std::int32_t LDFAC,
            std::span<const std::int32_t> PIVOTS, std::span<const double> B, std::int32_t IPATH,
            std::span<double> X, std::span<double> RESID) {
  E1PSH(sim, "DLFIRG");
  if (N < 1)
    msg_i(sim, 5, 1, kEqText, N);
  else if (LDA < N)
    msg_i(sim, 5, 2, kLdaText, N, LDA);
  else if (LDFAC < N)
    msg_i(sim, 5, 3, kLdfacText, N, LDFAC);
  else if (IPATH != 1 && IPATH != 2)
    msg_i(sim, 5, 4, kIpathText, IPATH);
  if (N1RTY(sim, 0) == 0) {
    const double eps = machine::dmach_value(4);
    double prev = machine::dmach_value(2);
    auto maxabs = [&](const double* v) {
      double m = 0.0;
      for (std::int32_t i = 0; i < N; ++i) m = std::max(m, std::fabs(v[i]));
      return m;
    };
    DLFSRG(sim, N, FACT, LDFAC, PIVOTS, B.data(), IPATH, X.data());
    bool done = N1RCD(sim, 1) != 0 || maxabs(X.data()) == 0.0;
    bool converged = done;
    for (int iter = 0; iter < 50 && !done; ++iter) {
      for (std::int32_t i = 1; i <= N; ++i) {
        const double* row = IPATH == 1 ? A.data() + (i - 1) : A.data() + static_cast<std::int64_t>(i - 1) * LDA;
        const std::int32_t inc = IPATH == 1 ? LDA : 1;
        RESID[i - 1] = dd_dot(N, -B[i - 1], row, inc, X.data(), 1);
      }
      DLFSRG(sim, N, FACT, LDFAC, PIVOTS, RESID.data(), IPATH, RESID.data());
      if (N1RCD(sim, 1) != 0) {
        converged = true;
        break;
      }
      for (std::int32_t i = 0; i < N; ++i) X[i] -= RESID[i];
      const double xmax = maxabs(X.data());
      // A solution that became 0 cannot be refined further: keep it.
      if (xmax == 0.0) {
        converged = true;
        break;
      }
      const double ratio = maxabs(RESID.data()) / xmax;
      if (ratio >= prev) break;
      if (ratio <= eps) {
        converged = true;
        break;
      }
      prev = ratio;
    }
    if (!converged)
      E1MES(sim, 3, 2, "The matrix is too ill-conditioned for iterative refinement to be effective.");
  }
  E1POP(sim, "DLFIRG");
}

void DL2ARG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<const double> B, std::int32_t IPATH, std::span<double> X,
            std::span<double> FACT, std::span<std::int32_t> PIVOTS, std::span<double> WORK) {
  E1PSH(sim, "DL2ARG");
  if (N < 1)
    msg_i(sim, 5, 1, kEqText, N);
  else if (LDA < N)
    msg_i(sim, 5, 2, kLdaText, N, LDA);
  else if (IPATH != 1 && IPATH != 2)
    msg_i(sim, 5, 3, kIpathText, IPATH);
  else if (static_cast<std::int64_t>(A.size()) < need(LDA, N) ||
           static_cast<std::int64_t>(B.size()) < N || static_cast<std::int64_t>(X.size()) < N ||
           static_cast<std::int64_t>(FACT.size()) < static_cast<std::int64_t>(N) * N ||
           static_cast<std::int64_t>(PIVOTS.size()) < N || static_cast<std::int64_t>(WORK.size()) < N)
    msg_i(sim, 5, 4, "The arrays are too short for N = %(I1) and LDA = %(I2).", N, LDA);
  if (N1RTY(sim, 0) == 0) {
    double rcond = 1.0;
    DL2CRG(sim, N, A, LDA, FACT, N, PIVOTS, rcond, WORK);
    if (N1RTY(sim, 1) != 4) {
      DLFIRG(sim, N, A, LDA, FACT, N, PIVOTS, B, IPATH, X, WORK);
      if (N1RCD(sim, 1) != 0 || rcond <= machine::dmach_value(4)) {
        E1INSD(sim, 1, rcond);
        E1MES(sim, 3, 1,
              "The matrix is too ill-conditioned. An estimate of the reciprocal of its L1 "
              "condition number is RCOND = %(D1).  The solution might not be accurate.");
      }
    }
  }
  E1POP(sim, "DL2ARG");
}

void DLSARG(NumericsContext& sim, std::int32_t N, std::span<const double> A, std::int32_t LDA,
            std::span<const double> B, std::int32_t IPATH, std::span<double> X) {
  E1PSH(sim, "DLSARG");
  if (N < 1) {
    msg_i(sim, 5, 1, kEqText, N);
  } else {
    std::vector<double> fact, work;
    std::vector<std::int32_t> piv;
    if (!allocated([&] {
          fact.resize(static_cast<std::size_t>(N) * N);
          work.resize(N);
          piv.resize(N);
        })) {
      E1MES(sim, 5, -1, " ");
      msg_i(sim, 5, 2,
            "The required storage cannot be allocated.  The workspace is based on N, where N = "
            "%(i1).",
            N);
    } else {
      DL2ARG(sim, N, A, LDA, B, IPATH, X, fact, piv, work);
    }
  }
  E1POP(sim, "DLSARG");
}

}  // namespace linac
