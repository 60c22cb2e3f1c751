// The numerical library's error and message system: a stack of the active
// library routines, an error type and code per level, one pending message
// with inserted values, and fixed rules per type for printing and stopping.
//
// Types: 1 NOTE, 2 ALERT (never printed), 3 WARNING and 4 FATAL (printed when
// the routine returns to a user level; FATAL then stops), 5 TERMINAL (printed
// at once, stops when its routine pops), 6 WARNING and 7 FATAL printed at once.
// Messages go to the library's message unit (unit 6, the screen, unless
// UMACH moved it). A stop throws FatalStop without lines of its own: the
// message printed before it is the last output of the run.
//
// Calling pattern of a library routine:
//   E1PSH(sim, "NAME"); ... on a failure: E1INSI(sim, 1, v); E1MES(sim, 5, 1,
//   "text %(I1)"); ... E1POP(sim, "NAME"); return.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/text.hpp"

namespace linac {

struct NumericsContext;

inline constexpr std::int32_t kLibMaxLevel = 50;      // levels of the routine stack
inline constexpr std::size_t kLibNameLength = 32;     // characters of a routine name
inline constexpr std::size_t kLibMessageLength = 1024;
inline constexpr std::int32_t kLibInsertStore = 300;  // characters of the insert store

// Arrays are indexed by level from 1 (slot 0 unused).
struct LibErrorState {
  bool set_up = false;
  std::int32_t level = 1;
  std::int32_t max_level = kLibMaxLevel;
  std::array<FixedText<kLibNameLength>, kLibMaxLevel + 1> name{};
  std::array<std::int32_t, kLibMaxLevel + 2> err_type{};
  std::array<std::int32_t, kLibMaxLevel + 2> err_code{};
  std::array<std::int32_t, kLibMaxLevel + 2> user_flag{};  // odd: user level
  std::string message;               // pending message; empty = none pending
  std::string inserts;               // entries: key "*I1*", length digits, "%", value
  std::int32_t inserts_used = 1;     // last used position; 1 = empty
  std::int32_t immediate6 = 0;       // a type-6 message was posted
  std::int32_t immediate7 = 0;       // a type-7 message was posted
  std::array<std::int32_t, 8> print_flag{};  // types 1..7
  std::array<std::int32_t, 8> stop_flag{};   // types 1..7
};

// One-time set-up of the whole state (later calls do nothing).
void E1SETU(NumericsContext& sim);
// Pushes NAME (cut or blank-padded to 32 characters) as the routine entering
// the library. A push beyond level 50 prints the overflow message and stops.
void E1PSH(NumericsContext& sim, std::string_view NAME);
// Pops NAME; hands the level's error to the caller, prints and stops by the
// rules of its type. A name that is not the top one, or a pop from the user
// level, prints a TERMINAL message and stops.
void E1POP(NumericsContext& sim, std::string_view NAME);
// Sets the level's type (-1 leaves it) and code (negative leaves it) and
// posts MTEXT with its %(Xn) placeholders replaced by the stored inserts.
void E1MES(NumericsContext& sim, std::int32_t ETYPE, std::int32_t ECODE, std::string_view MTEXT);
// Insert values for %(In), %(Dn), %(Rn) and %(Ln), n = 1..9 (|K| for text).
void E1INSI(NumericsContext& sim, std::int32_t K, std::int32_t VALUE);
void E1INSD(NumericsContext& sim, std::int32_t K, double VALUE);
void E1INSR(NumericsContext& sim, std::int32_t K, float VALUE);
void E1INSL(NumericsContext& sim, std::int32_t K, std::string_view TEXT);
// Appends one entry (LETTER, index K, the first LEN characters of TEXT).
void E1INSA(NumericsContext& sim, char LETTER, std::int32_t K, std::int32_t LEN, std::string_view TEXT);
// "ON"/"on" marks the current level as a user level, "OFF"/"off" as internal.
void E1USR(NumericsContext& sim, std::string_view SWITCH);
// Type (code) held by the current level (I = 0) or left by the routine most
// recently called from it (I = 1).
std::int32_t N1RTY(NumericsContext& sim, std::int32_t I);
std::int32_t N1RCD(NumericsContext& sim, std::int32_t I);
// Prints the pending message, then the traceback when the level is above 2.
void E1SHOW(NumericsContext& sim);
// Stop decision for the immediate types 6 and 7; clears both flags.
std::int32_t E1IMST(NumericsContext& sim);

// An array length as an integer insert, capped at 2147483647.
inline std::int32_t size32(std::size_t n) {
  return n > 2147483647u ? 2147483647 : static_cast<std::int32_t>(n);
}

// Runs ALLOCATE (the work storage of a routine); false when the storage
// cannot be had: not available, or more than the largest array can hold.
template <class Allocate>
bool allocated(Allocate&& allocate) {
  try {
    allocate();
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

// The 8-character printed name of an error type ("UNKNOWN " outside 1..7).
std::string_view lib_error_type_name(std::int32_t type);

// Ends the run after a library message: the program's fatal stop without
// lines of its own.
[[noreturn]] void library_stop();

}  // namespace linac
