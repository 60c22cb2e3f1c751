// The stripper file in memory: the charge states behind a foil, their
// probabilities and the design energy behind it. A strip line whose file
// number equals the one held (type_rec.table_cache(24)) reuses it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/constants.hpp"

namespace linac {

struct StripperTable {
  std::int32_t m = 0;  // file number NN of stripper.#NN held (0: none read yet)
  std::int32_t n = 0;  // charge states behind the foil, 1..6
  std::array<double, kMaxChargeStates + 1> Q{};  // charge numbers of the new states 1..n
  std::array<double, kMaxChargeStates + 1> P{};  // their probabilities 1..n (sum 1)
  double W_s = 0.0;  // design kinetic energy per nucleon behind the foil, keV/u
  std::string file;  // the file the values came from, for messages
  int W_s_line = 0;  // its line holding W_s
};

}  // namespace linac
