// The run's one uniform random stream: a multiplicative congruential
// generator x <- a x mod (2^31 - 1) on a single 32-bit state, shared by every
// uniform, normal, spherical and discrete draw of the run. Seeded once at the
// start of the run (rn_set_seed); every draw advances the same state, so a
// fixed seed repeats the run only when all draws come in the same order.
//
// Variant 1 (a = 16807, the only one a run uses) is the default; variants
// 2..7 (other multipliers, a 128-entry shuffle table, a generalised feedback
// shift register) are selected only by rn_init with a positive mode.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace linac {

struct NumericsContext;

inline constexpr std::int32_t kRnModulus = 2147483647;  // 2^31 - 1
inline constexpr int kRnShuffleSize = 128;
inline constexpr int kRnRegisterSize = 1563;

struct RnState {
  std::int32_t seed = 0;         // current member x, 1..2147483646 once seeded
  double seed_copy = 0.0;        // x as a float, rewritten after every draw
  double modulus = 0.0;          // 2147483647.0
  double scale = 0.0;            // nearest double to 1/2147483647
  float single_scale = 0.0f;     // 2^-31 - 2^-55, the largest float below 2^-31
  std::int32_t option = 0;       // generator variant 1..7
  std::array<double, kRnShuffleSize + 1> table{};    // variants 2, 4, 6 (index 1..128)
  bool table_filled = false;
  std::array<float, kRnShuffleSize + 1> table_r4{};  // the same for single precision
  bool table_r4_filled = false;
  std::array<std::int32_t, kRnRegisterSize + 1> reg{};  // variant 7 (index 1..1563)
  bool reg_filled = false;
  std::int32_t reg_i = 0;        // cyclic indices of the register
  std::int32_t reg_j = 0;
  bool init_needed = true;       // the one-time set-up of rn_init is still to run
  bool seed_set = false;         // a seed was given or taken from the clock
};

// R(1..NR) (R points at R(1)) receive NR successive deviates in (0, 1).
// NR < 1 draws nothing and is a TERMINAL error (code 1) that stops the run.
void dRNUN(NumericsContext& sim, std::int32_t NR, double* R);
// Seeds the stream: 1..2147483646 is taken as the seed; 0 takes a seed from
// the clock, replaced by a fresh clock seed at the first draw of the run;
// any other value only initialises (clock seed if none is set), silently.
void rn_set_seed(NumericsContext& sim, std::int32_t ISEED);
// The next deviate of the stream in double (single) precision.
double rn_next(NumericsContext& sim);
float rn_next_r4(NumericsContext& sim);
// One-time initialisation, then: -1 marks the seed as set, 0 takes a clock
// seed when none is set, a positive value selects that variant.
void rn_init(NumericsContext& sim, std::int32_t MODE);
// 10000 h + 100 m + s + 1 from the run's clock; 123457 at 00:00:00.
void rn_clock_seed(NumericsContext& sim, std::int32_t& SEED);
// Hour (0..23), minute and second of the local time of day.
void clock_hms(NumericsContext& sim, std::int32_t& H, std::int32_t& M, std::int32_t& S);
// Argument check of the random routines: VALUE must lie in LOW..HIGH (LOW >
// HIGH: no upper bound). A failure is a TERMINAL error with code ICODE under
// the name the caller has pushed; ICODE then grows by 1 in every case.
void check_int_range(NumericsContext& sim, std::int32_t VALUE, std::string_view NAME, std::int32_t LOW,
                     std::int32_t HIGH, std::int32_t& ICODE);
// Table fills of variants 2, 4, 6 (double and single precision) and 7.
void rn_shuffle_fill(NumericsContext& sim);
void rn_shuffle_fill_r4(NumericsContext& sim);
void rn_register_fill(NumericsContext& sim);

namespace rn {
// a x mod (2^31 - 1) for 0 <= a, x < 2^31 - 1, in 32-bit arithmetic by
// Schrage's decomposition (exact for every multiplier used here).
std::int32_t mulmod(std::int32_t a, std::int32_t x);
// x * scale rounded once to single precision (scale a positive float).
float single_deviate(std::int32_t x, float scale);
// The jump polynomial x^e mod (x^521 + x^489 + 1), e = (2^522 - 1)/3, as 521
// coefficient bits, and the advance of a 1042-bit trinomial stream by it.
std::array<std::uint8_t, 521> gfsr_jump_polynomial();
// b(1..1042) of the recurrence b(k + 521) = b(k) xor b(k + 489) (index 0
// unused); returns the stream advanced by e places, extended to 1042 bits.
std::array<std::uint8_t, 1043> gfsr_advance(const std::array<std::uint8_t, 521>& P,
                                            const std::array<std::uint8_t, 1043>& b);
}  // namespace rn

}  // namespace linac
