#include "numerics/random.hpp"

#include <cmath>

#include "numerics/numerics_context.hpp"
#include "numerics/lib_errors.hpp"
#include "numerics/machine.hpp"

namespace linac {

namespace {

constexpr std::int32_t kM = kRnModulus;
// Multipliers of variants 3/4 and 5/6 split as c1 * 32768 + c0.
constexpr std::int32_t kC1a = 12121, kC0a = 23166;  // 397204094
constexpr std::int32_t kC1b = 29013, kC0b = 8392;   // 950706376
static_assert(kC1a * 32768 + kC0a == 397204094);
static_assert(kC1b * 32768 + kC0b == 950706376);

RnState& rs(NumericsContext& sim) { return sim.numerics.rn; }

// Default step: 16807 x mod (2^31 - 1) with 2147483647 = 16807 * 127773 + 2836.
inline std::int32_t step16807(std::int32_t x) {
  const std::int32_t q = x / 127773;
  const std::int32_t r = x % 127773;
  std::int32_t y = 16807 * r - 2836 * q;
  if (y < 0) y += kM;
  return y;
}

inline std::int32_t addmod(std::int32_t a, std::int32_t b) {
  std::int32_t s = a - kM + b;  // a, b < m: no overflow
  if (s < 0) s += kM;
  return s;
}

// (c1 * 32768 + c0) x mod m from three Schrage products.
inline std::int32_t step_split(std::int32_t c1, std::int32_t c0, std::int32_t x) {
  const std::int32_t t = rn::mulmod(32768, x);
  return addmod(rn::mulmod(c1, t), rn::mulmod(c0, x));
}

// The congruential step of the selected variant.
inline std::int32_t step(std::int32_t option, std::int32_t x) {
  switch (option) {
    case 3:
    case 4:
      return step_split(kC1a, kC0a, x);
    case 5:
    case 6:
      return step_split(kC1b, kC0b, x);
    default:
      return step16807(x);
  }
}

// The same step in 64-bit floating point, as the table fills take it; every
// product stays below 2^53, so it is exact.
double step_double(std::int32_t option, double s) {
  const double m = 2147483647.0;
  switch (option) {
    case 4:
    case 3:
      return std::fmod(kC1a * std::fmod(32768.0 * s, m) + std::fmod(kC0a * s, m), m);
    case 6:
    case 5:
      return std::fmod(kC1b * std::fmod(32768.0 * s, m) + std::fmod(kC0b * s, m), m);
    default:
      return std::fmod(16807.0 * s, m);
  }
}

bool shuffled(std::int32_t option) { return option == 2 || option == 4 || option == 6; }

// The stream's current member x, also kept as a float.
inline void set_member(RnState& s, std::int32_t x) {
  s.seed = x;
  s.seed_copy = static_cast<double>(x);
}

// One draw of the selected variant as a value of type T: deviate(x) forms
// it from the member x; the shuffled variants keep a table of such values,
// filled by fill() at their first draw.
template <class T, class Deviate>
T draw(NumericsContext& sim, std::array<T, kRnShuffleSize + 1>& table, const bool& table_filled,
       void (*fill)(NumericsContext&), Deviate deviate) {
  RnState& s = rs(sim);
  const std::int32_t opt = s.option;
  if (opt == 7) {
    if (!s.reg_filled) rn_register_fill(sim);
    const std::int32_t w = s.reg[static_cast<std::size_t>(s.reg_i)];
    const T u = deviate(w);
    s.reg[static_cast<std::size_t>(s.reg_i)] = w ^ s.reg[static_cast<std::size_t>(s.reg_j)];
    s.reg_i = s.reg_i % kRnRegisterSize + 1;
    s.reg_j = s.reg_j % kRnRegisterSize + 1;
    set_member(s, w);
    return u;
  }
  if (shuffled(opt)) {
    if (!table_filled) fill(sim);
    const std::int32_t x = step(opt, s.seed);
    set_member(s, x);
    const std::size_t j = static_cast<std::size_t>(x % kRnShuffleSize) + 1;
    const T u = table[j];
    table[j] = deviate(x);
    return u;
  }
  const std::int32_t x = step(opt, s.seed);
  set_member(s, x);
  return deviate(x);
}

// Double precision: x / (2^31 - 1).
double draw_double(NumericsContext& sim) {
  RnState& s = rs(sim);
  return draw(sim, s.table, s.table_filled, rn_shuffle_fill,
              [&s](std::int32_t x) { return static_cast<double>(x) * s.scale; });
}

// Single precision: x times the single-precision scale, rounded once.
float draw_single(NumericsContext& sim) {
  RnState& s = rs(sim);
  return draw(sim, s.table_r4, s.table_r4_filled, rn_shuffle_fill_r4,
              [&s](std::int32_t x) { return rn::single_deviate(x, s.single_scale); });
}

// The one-time set-up and, while no seed is set, a clock seed: what every
// generator routine needs before it draws. Once both are done this does
// nothing, so it is called on every entry.
void start_stream(NumericsContext& sim) {
  const RnState& s = rs(sim);
  if (s.init_needed || !s.seed_set) rn_init(sim, 0);
}

}  // namespace

namespace rn {

std::int32_t mulmod(std::int32_t a, std::int32_t x) {
  const std::int32_t q = kM / a;
  const std::int32_t r = kM % a;  // r < q for every multiplier used here
  std::int32_t y = a * (x % q) - r * (x / q);
  if (y < 0) y += kM;
  return y;
}

float single_deviate(std::int32_t x, float scale) {
  // scale = M * 2^e with a 24-bit integer M: x * M is exact in 64 bits, its
  // conversion to float is the one rounding, the power of two is exact.
  int e = 0;
  const float frac = std::frexp(scale, &e);
  const std::int64_t M = static_cast<std::int64_t>(std::ldexp(frac, 24));
  const float p = static_cast<float>(static_cast<std::int64_t>(x) * M);
  return std::ldexp(p, e - 24);
}

namespace {
using Poly = std::array<std::uint8_t, 1042>;  // coefficients of x^0..x^1041

// Reduces a polynomial of degree <= 1041 modulo x^521 + x^489 + 1.
void reduce(Poly& c) {
  for (int d = 1041; d >= 521; --d)
    if (c[static_cast<std::size_t>(d)]) {
      c[static_cast<std::size_t>(d)] = 0;
      c[static_cast<std::size_t>(d - 521)] ^= 1;
      c[static_cast<std::size_t>(d - 32)] ^= 1;  // x^521 = x^489 + 1
    }
}
}  // namespace

std::array<std::uint8_t, 521> gfsr_jump_polynomial() {
  // e = (2^522 - 1)/3 has the bits 0, 2, ..., 520: start from x (bit 520),
  // then 520 passes of squaring, with a multiplication by x on even passes.
  Poly p{};
  p[1] = 1;
  for (int c = 1; c <= 520; ++c) {
    Poly sq{};
    for (int i = 0; i < 521; ++i)
      if (p[static_cast<std::size_t>(i)]) sq[static_cast<std::size_t>(2 * i)] = 1;
    reduce(sq);
    if (c % 2 == 0) {
      Poly shifted{};
      for (int i = 0; i < 521; ++i) shifted[static_cast<std::size_t>(i + 1)] = sq[static_cast<std::size_t>(i)];
      reduce(shifted);
      sq = shifted;
    }
    p = sq;
  }
  std::array<std::uint8_t, 521> out{};
  for (int i = 0; i < 521; ++i) out[static_cast<std::size_t>(i)] = p[static_cast<std::size_t>(i)];
  return out;
}

std::array<std::uint8_t, 1043> gfsr_advance(const std::array<std::uint8_t, 521>& P,
                                            const std::array<std::uint8_t, 1043>& b) {
  std::array<std::uint8_t, 1043> out{};
  for (int k = 1; k <= 521; ++k) {
    std::uint8_t bit = 0;
    for (int j = 0; j <= 520; ++j) bit ^= static_cast<std::uint8_t>(P[static_cast<std::size_t>(j)] & b[static_cast<std::size_t>(k + j)]);
    out[static_cast<std::size_t>(k)] = bit;
  }
  for (int k = 1; k <= 521; ++k)
    out[static_cast<std::size_t>(k + 521)] = out[static_cast<std::size_t>(k)] ^ out[static_cast<std::size_t>(k + 489)];
  return out;
}

}  // namespace rn

void clock_hms(NumericsContext& sim, std::int32_t& H, std::int32_t& M, std::int32_t& S) {
  const LocalTime t = sim.clock.now();
  H = t.hour;
  M = t.minute;
  S = t.second;
}

void rn_clock_seed(NumericsContext& sim, std::int32_t& SEED) {
  std::int32_t h = 0, m = 0, s = 0;
  clock_hms(sim, h, m, s);
  SEED = 10000 * h + 100 * m + s + 1;
  if (SEED < 2) SEED = 123457;
}

void rn_init(NumericsContext& sim, std::int32_t MODE) {
  RnState& s = rs(sim);
  if (s.init_needed) {
    s.modulus = 2147483647.0;
    s.scale = 1.0 / 2147483647.0;
    // The largest single-precision value below 2^-31: step 2^-31 down by the
    // smallest relative spacing until it times 2^31 is below 1.
    const float shrink = 1.0f - machine::amach_value(3);
    float ss = 0x1p-31f;
    for (;;) {
      const double product = static_cast<double>(ss) * static_cast<double>(shrink);  // exact
      ss = static_cast<float>(product);
      if (product * 2147483648.0 < 1.0) break;
    }
    s.single_scale = ss;
    s.option = 1;
    s.table_filled = false;
    s.table_r4_filled = false;
    s.reg_filled = false;
    s.init_needed = false;
  }
  if (MODE == -1) {
    s.seed_set = true;
  } else if (MODE == 0) {
    if (!s.seed_set) {
      rn_clock_seed(sim, s.seed);
      s.seed_copy = static_cast<double>(s.seed);
      s.seed_set = true;
    }
  } else if (MODE > 0) {
    s.option = MODE;  // a value above 7 draws as variant 1
  }
}

void rn_set_seed(NumericsContext& sim, std::int32_t ISEED) {
  RnState& s = rs(sim);
  if (ISEED >= 1 && ISEED <= 2147483646) {
    rn_init(sim, -1);
    set_member(s, ISEED);
  } else if (ISEED == 0) {
    rn_clock_seed(sim, s.seed);
    s.seed_copy = static_cast<double>(s.seed);
  } else {
    rn_init(sim, 0);
  }
}

void check_int_range(NumericsContext& sim, std::int32_t VALUE, std::string_view NAME, std::int32_t LOW,
                     std::int32_t HIGH, std::int32_t& ICODE) {
  if (LOW > HIGH) {
    if (VALUE < LOW) {
      E1INSL(sim, 1, NAME);
      E1INSI(sim, 1, VALUE);
      E1INSI(sim, 2, LOW);
      E1MES(sim, 5, ICODE, "%(L1) = %(I1).  %(L1) must be greater than or equal to %(I2).");
    }
  } else if (VALUE < LOW || VALUE > HIGH) {
    E1INSL(sim, 1, NAME);
    E1INSI(sim, 1, VALUE);
    E1INSI(sim, 2, LOW);
    E1INSI(sim, 3, HIGH);
    E1MES(sim, 5, ICODE,
          "%(L1) = %(I1).  %(L1) must be greater than or equal to %(I2) and less than or equal "
          "to %(I3).");
  }
  ++ICODE;
}

void dRNUN(NumericsContext& sim, std::int32_t NR, double* R) {
  RnState& s = rs(sim);
  if (NR < 1) {
    E1PSH(sim, "dRNUN");
    std::int32_t icode = 1;
    check_int_range(sim, NR, "NR", 1, 0, icode);
    E1POP(sim, "dRNUN");
    return;
  }
  start_stream(sim);
  if (s.option == 1) {
    std::int32_t x = s.seed;
    for (std::int32_t i = 0; i < NR; ++i) {
      x = step16807(x);
      R[i] = static_cast<double>(x) * s.scale;
    }
    set_member(s, x);
    return;
  }
  for (std::int32_t i = 0; i < NR; ++i) R[i] = draw_double(sim);
}

double rn_next(NumericsContext& sim) {
  start_stream(sim);
  return draw_double(sim);
}

float rn_next_r4(NumericsContext& sim) {
  start_stream(sim);
  return draw_single(sim);
}

namespace {

// Fills a 128-entry table from the current seed: s <- a s mod m in 64-bit
// floating point, T(i) = s / m; the seed then continues from the last s.
template <class T>
void fill_table(NumericsContext& sim, std::array<T, kRnShuffleSize + 1>& table, bool& filled) {
  start_stream(sim);
  RnState& st = rs(sim);
  double s = st.seed_copy;
  for (int i = 1; i <= kRnShuffleSize; ++i) {
    s = step_double(st.option, s);
    table[static_cast<std::size_t>(i)] = static_cast<T>(s / 2147483647.0);
  }
  set_member(st, static_cast<std::int32_t>(std::nearbyint(s)));
  filled = true;
}

}  // namespace

void rn_shuffle_fill(NumericsContext& sim) {
  RnState& s = rs(sim);
  fill_table(sim, s.table, s.table_filled);
}

void rn_shuffle_fill_r4(NumericsContext& sim) {
  RnState& s = rs(sim);
  fill_table(sim, s.table_r4, s.table_r4_filled);
}

void rn_register_fill(NumericsContext& sim) {
  start_stream(sim);
  RnState& s = rs(sim);
  // 521 bits from the signs of seed * 69069^k (mod 2^32), extended by the
  // trinomial recurrence; two further streams advanced by e places each.
  std::array<std::uint8_t, 1043> b1{};
  std::uint32_t v = static_cast<std::uint32_t>(s.seed);
  for (int k = 1; k <= 521; ++k) {
    v *= 69069u;
    b1[static_cast<std::size_t>(k)] = static_cast<std::int32_t>(v) > 0 ? 1 : 0;
  }
  for (int k = 1; k <= 521; ++k)
    b1[static_cast<std::size_t>(k + 521)] = b1[static_cast<std::size_t>(k)] ^ b1[static_cast<std::size_t>(k + 489)];
  const auto P = rn::gfsr_jump_polynomial();
  const auto b2 = rn::gfsr_advance(P, b1);
  const auto b3 = rn::gfsr_advance(P, b2);
  std::array<std::uint8_t, 3 * 521 + 1> B{};
  for (int k = 1; k <= 521; ++k) {
    B[static_cast<std::size_t>(3 * k - 2)] = b1[static_cast<std::size_t>(k)];
    B[static_cast<std::size_t>(3 * k - 1)] = b2[static_cast<std::size_t>(k)];
    B[static_cast<std::size_t>(3 * k)] = b3[static_cast<std::size_t>(k)];
  }
  std::int32_t I = 1, J = 1468;
  for (int n = 1; n <= kRnRegisterSize; ++n) {
    std::int32_t w = 0;
    for (int t = 1; t <= 32; ++t) {
      if (t <= 31 && B[static_cast<std::size_t>(I)]) w += std::int32_t{1} << (31 - t);
      B[static_cast<std::size_t>(I)] ^= B[static_cast<std::size_t>(J)];
      I = I % kRnRegisterSize + 1;
      J = J % kRnRegisterSize + 1;
    }
    s.reg[static_cast<std::size_t>(n)] = w;
  }
  s.reg_i = I;  // back at 1 and 1468 after 32 full cycles
  s.reg_j = J;
  s.reg_filled = true;
}

}  // namespace linac
