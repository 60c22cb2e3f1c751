// Machine constants of 32-bit two's-complement integers and IEEE 754 single
// and double precision, the library's unit numbers, its integer option
// tables, and two character helpers.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace linac {

struct NumericsContext;

// One chapter of an option table: per option number 1..nopt its current and
// default values (an option number not in use holds no values).
struct OptionChapter {
  std::int32_t nopt = 0;
  std::vector<std::vector<std::int32_t>> current;  // index 1..nopt
  std::vector<std::vector<std::int32_t>> defaults;
};

struct MachineState {
  // Units of standard input, standard output and the library's messages.
  std::array<std::int32_t, 4> units{0, 5, 6, 6};
  // Option tables of the products MATH (chapters 1..10) and STAT (1..20).
  bool options_set_up = false;
  bool defaults_taken = false;
  std::array<OptionChapter, 11> math{};
  std::array<OptionChapter, 21> stat{};
};

// Integer and exponent properties, N = 1..12. Another N writes a TERMINAL
// message on the standard output unit and stops the run.
std::int32_t IMACH(NumericsContext& sim, std::int32_t N);
// 64-bit (32-bit) constants, N = 1..8: smallest normal, largest, smallest and
// largest relative spacing, log10(2), NaN, +Inf, -Inf. Another N is a
// TERMINAL error (code 5).
double DMACH(NumericsContext& sim, std::int32_t N);
float AMACH(NumericsContext& sim, std::int32_t N);
// N = 1, 2, 3: UNIT := unit of that entry; N = -1, -2, -3: entry |N| := UNIT.
void UMACH(NumericsContext& sim, std::int32_t N, std::int32_t& UNIT);
// Gets (IACT = 1) or puts (IACT = 2) integer options of chapter ICHP of the
// product PRODNM ("MATH" or "STAT", first four characters, any case).
// IOPTS points at IOPTS(1..NUMOPT); OPTVALS at OPTVALS(1), filled from there
// (get) or read from there (put). A negative option number stands for its
// default values.
void IUMAG(NumericsContext& sim, std::string_view PRODNM, std::int32_t ICHP, std::int32_t IACT,
           std::int32_t NUMOPT, const std::int32_t* IOPTS, std::int32_t* OPTVALS);
// The character whose code is the low 8 bits of I; I < 0 is a TERMINAL
// error (code 1).
char ACHAR(NumericsContext& sim, std::int32_t I);
// True when A, taken in upper case, is the letter B.
bool same_letter(char A, char B);

// The constants themselves, for derived constants of the library's own
// routines (N must be in range; only the checked routines above report).
namespace machine {
constexpr std::int32_t imach_value(std::int32_t N) {
  constexpr std::int32_t t[13] = {0, 32, 4, 2, 31, 2147483647, 2, 24, -125, 128, 53, -1021, 1024};
  return t[N];
}
constexpr double dmach_value(std::int32_t N) {
  using L = std::numeric_limits<double>;
  switch (N) {
    case 1: return L::min();                 // 2^-1022
    case 2: return L::max();
    case 3: return L::epsilon() / 2;         // 2^-53
    case 4: return L::epsilon();             // 2^-52
    case 5: return 0.3010299956639812;       // log10(2)
    case 6: return L::quiet_NaN();
    case 7: return L::infinity();
    default: return -L::infinity();
  }
}
constexpr float amach_value(std::int32_t N) {
  using L = std::numeric_limits<float>;
  switch (N) {
    case 1: return L::min();                 // 2^-126
    case 2: return L::max();
    case 3: return L::epsilon() / 2;         // 2^-24
    case 4: return L::epsilon();             // 2^-23
    case 5: return 0.30103001f;              // log10(2) in single precision
    case 6: return L::quiet_NaN();
    case 7: return L::infinity();
    default: return -L::infinity();
  }
}
}  // namespace machine

}  // namespace linac
