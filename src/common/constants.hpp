// Physical and numerical constants shared by every subsystem, with the
// capacities of the run records.
#pragma once

#include <cstdint>
#include <string_view>

#include <fmt/format.h>

#include "platform/fatal.hpp"

namespace linac {

// ---- capacities --------------------------------------------------------
inline constexpr int kMaxChargeStates = 6;      // charge states iq = 1..6
inline constexpr int kParticleSlots = 166002;   // slots i = 0..166001 per charge state
inline constexpr int kMaxParticles = 166001;    // beam + test particles per state
inline constexpr int kMaxElements = 2000;       // element lines 1..2000 (0 = entrance)
inline constexpr int kElementSlots = kMaxElements + 1;
inline constexpr int kElemPar = 11;             // numbers P1..P11 per line
inline constexpr int kElemInt = 16;             // integers I1..I16 per line
inline constexpr int kElemErr = 10;             // drawn errors per line
inline constexpr int kElementTypes = 40;        // element types 1..40
inline constexpr int kFieldTables = 99;         // field tables 1..99
inline constexpr int kCorrectorKicks = 101;     // kicks 0..100
inline constexpr int kRfqCells = 500;           // RFQ cells
inline constexpr int kCorrSections = 50;        // correction sections
inline constexpr int kLatticeRecord = 132;      // lattice lines are 132-character records

// ---- physics -----------------------------------------------------------
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kDegToRad = 0.017453292519943295;  // pi/180
inline constexpr double kSpeedOfLightCm = 29979245800.0;   // c in cm/s
inline constexpr double kAmuEv = 931494320.0;              // atomic mass unit, eV
inline constexpr double kAmuKev = 931494.3200000001;       // atomic mass unit, keV
inline constexpr double kAmuMev = 931.4943199999999;       // atomic mass unit, MeV

// A 32-bit constant of the input layer stored in a 64-bit field keeps its
// single-precision value (0.2f widens to 0.20000000298023224).
inline constexpr double widen(float v) { return static_cast<double>(v); }

// Nearest integer, halves away from zero. A value whose nearest integer
// lies outside the 32-bit range (or NaN) has no such integer: the run stops
// naming it (what names the quantity, e.g. "linac.dat line 4: corrector
// code"), instead of converting it with an undefined result.
inline std::int32_t nint(double v, std::string_view what = "a value") {
  // Exact bounds: -2147483648.5 rounds to -2147483649, 2147483647.5 to 2147483648.
  if (!(v > -2147483648.5 && v < 2147483647.5))
    fatal(fmt::format(" {} = {}: not a whole number within -2147483648..2147483647", what, v));
  return static_cast<std::int32_t>(v >= 0.0 ? v + 0.5 : v - 0.5);
}

}  // namespace linac
