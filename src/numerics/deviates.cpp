#include "numerics/deviates.hpp"

#include "numerics/numerics_context.hpp"
#include "numerics/lib_errors.hpp"
#include "numerics/machine.hpp"
#include "numerics/random.hpp"
#include "numerics/vector_kernels.hpp"

namespace linac {

void DRNNOA(NumericsContext& sim, std::int32_t NR, double* R) {
  E1PSH(sim, "DRNNOA");
  if (NR < 1) {
    std::int32_t icode = 1;
    check_int_range(sim, NR, "NR", 1, 0, icode);
    E1POP(sim, "DRNNOA");
    return;
  }
  auto next = [&sim] { return rn_next(sim); };
  for (std::int32_t i = 0; i < NR; ++i) R[i] = deviates::normal_kr(next);
  E1POP(sim, "DRNNOA");
}

void DRNSPH(NumericsContext& sim, std::int32_t NR, std::int32_t K, double* Z, std::int32_t LDZ) {
  E1PSH(sim, "DRNSPH");
  if (NR < 1 || LDZ < NR) {
    E1INSI(sim, 1, NR);
    E1INSI(sim, 2, LDZ);
    E1MES(sim, 5, 1,
          "The value of NR is %(I1) and the value of LDZ is %(I2), but both must be positive, "
          "and NR must not be greater than LDZ.");
  }
  if (K < 2) {
    E1INSI(sim, 1, K);
    E1MES(sim, 5, 2, "The value of K is %(I1) but the number of dimensions must be greater than 1.");
  }
  if (N1RTY(sim, 0) != 0) {
    E1POP(sim, "DRNSPH");
    return;
  }
  auto z = [Z, LDZ](std::int32_t i, std::int32_t j) -> double& {
    return Z[static_cast<std::ptrdiff_t>(i - 1) + static_cast<std::ptrdiff_t>(j - 1) * LDZ];
  };
  // A point uniform in the unit disc: (a, b) with s = a^2 + b^2 < 1.
  auto pair = [&sim](double& a, double& b, double& s) {
    do {
      const double u1 = rn_next(sim);
      const double u2 = rn_next(sim);
      a = 2.0 * u1 - 1.0;
      b = 2.0 * u2 - 1.0;
      s = a * a + b * b;
    } while (!(s < 1.0));
  };
  if (K <= 4) {
    for (std::int32_t i = 1; i <= NR; ++i) {
      double a, b, s;
      pair(a, b, s);
      if (K == 2) {
        z(i, 1) = a / std::sqrt(s);
        z(i, 2) = b / std::sqrt(s);
      } else if (K == 3) {
        z(i, 1) = 2.0 * a * std::sqrt(1.0 - s);
        z(i, 2) = 2.0 * b * std::sqrt(1.0 - s);
        z(i, 3) = 1.0 - 2.0 * s;
      } else {
        double c, d, s2;
        pair(c, d, s2);
        z(i, 1) = a;
        z(i, 2) = b;
        z(i, 3) = c * std::sqrt((1.0 - s) / s2);
        z(i, 4) = d * std::sqrt((1.0 - s) / s2);
      }
    }
  } else {
    // Normal vectors normalised: column by column, then row by row.
    for (std::int32_t j = 1; j <= K; ++j) DRNNOA(sim, NR, &z(1, j));
    for (std::int32_t i = 1; i <= NR; ++i) {
      const double norm = vec_norm2(K, &z(i, 1), LDZ);
      vec_scale(K, 1.0 / norm, &z(i, 1), LDZ);
    }
  }
  E1POP(sim, "DRNSPH");
}

namespace deviates {

void alias_setup(std::int32_t NMASS, const float* PROBS, std::int32_t* IWK, float* WK) {
  // 1-based views.
  const float* p = PROBS - 1;
  std::int32_t* alias = IWK - 1;
  float* wk = WK - 1;
  const float mean = 1.0f / static_cast<float>(NMASS);
  vec_scaled_copy_f32(NMASS, static_cast<float>(NMASS), PROBS, 1, WK, 1);
  for (std::int32_t j = 1; j <= NMASS; ++j) alias[j] = j;
  auto next_large = [&](std::int32_t from) {
    while (from <= NMASS && !(p[from] > mean)) ++from;
    return from;
  };
  auto next_small = [&](std::int32_t from) {
    while (from <= NMASS && !(p[from] < mean)) ++from;
    return from;
  };
  // Walker's pairing in one forward pass: each small element takes the
  // current large one as its alias and gives it the rest of its interval;
  // a large element that drops below 1 becomes small for the next large.
  std::int32_t L = next_large(1);
  std::int32_t S = 0;
  if (L <= NMASS) {
    for (;;) {
      S = next_small(S + 1);
      if (S > NMASS) break;
      alias[S] = L;
      wk[L] = wk[L] - (1.0f - wk[S]);
      bool done = false;
      while (wk[L] < 1.0f) {
        const std::int32_t next = next_large(L + 1);
        if (next > NMASS) {
          done = true;
          break;
        }
        alias[L] = next;
        wk[next] = wk[next] - (1.0f - wk[L]);
        L = next;
      }
      if (done) break;
    }
  }
  // Cut-offs within the interval [j-1, j).
  for (std::int32_t j = 1; j <= NMASS; ++j) wk[j] = wk[j] + static_cast<float>(j - 1);
}

std::int32_t alias_draw(float u, std::int32_t NMASS, std::int32_t IMIN, const std::int32_t* IWK,
                        const float* WK) {
  const float x = u * static_cast<float>(NMASS);
  std::int32_t j = static_cast<std::int32_t>(x) + 1;
  if (j > NMASS) j = NMASS;  // only if NMASS were not exact in single precision
  return x <= WK[j - 1] ? IMIN + j - 1 : IMIN + IWK[j - 1] - 1;
}

}  // namespace deviates

void RNGDA(NumericsContext& sim, std::int32_t NR, std::int32_t IOPT, std::int32_t IMIN, std::int32_t NMASS,
           const float* PROBS, std::int32_t* IWK, float* WK, std::int32_t* IR) {
  E1PSH(sim, "RNGDA");
  if (NR < 1 || IOPT < 0 || IOPT > 1 || NMASS < 1) {
    std::int32_t icode = 1;
    check_int_range(sim, NR, "NR", 1, 0, icode);
    check_int_range(sim, IOPT, "IOPT", 0, 1, icode);
    check_int_range(sim, NMASS, "NMASS", 1, 0, icode);
    E1POP(sim, "RNGDA");
    return;
  }
  if (IOPT == 0) {
    for (std::int32_t j = 1; j <= NMASS; ++j) {
      if (PROBS[j - 1] < 0.0f) {
        E1INSI(sim, 1, j);
        E1INSR(sim, 1, PROBS[j - 1]);
        E1MES(sim, 5, 4, "PROBS(%(I1)) = %(R1).  The values for PROBS must be positive.");
        E1POP(sim, "RNGDA");
        return;
      }
    }
    const float sum = vec_sum_f32(NMASS, PROBS, 1);
    float c;
    if (NMASS < 5)
      c = 10.0f;
    else if (NMASS < 10)
      c = 5.0f * static_cast<float>(NMASS) + 10.0f;
    else if (NMASS < 100)
      c = 2.0f * static_cast<float>(NMASS) + 60.0f;
    else if (NMASS < 1480)
      c = 0.5f * static_cast<float>(NMASS) + 260.0f;
    else
      c = 1000.0f;
    float tol = c * AMACH(sim, 4);
    if (tol < 1.0e-4f) tol = 1.0e-4f;
    if (sum < 1.0f - tol || sum > 1.0f + tol) {
      E1INSR(sim, 1, sum);
      E1MES(sim, 5, 5, "The values in PROBS sum to %(R1).  The values in PROBS must sum 1.0.");
      E1POP(sim, "RNGDA");
      return;
    }
    deviates::alias_setup(NMASS, PROBS, IWK, WK);
  }
  for (std::int32_t k = 0; k < NR; ++k)
    IR[k] = deviates::alias_draw(rn_next_r4(sim), NMASS, IMIN, IWK, WK);
  E1POP(sim, "RNGDA");
}

}  // namespace linac
