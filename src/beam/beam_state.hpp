// The beam-state file: the whole beam and the run scalars a later pass or a
// later run needs, saved to or restored from one unformatted file
// (ini_dis.dat, corr_dis.dat, scratch.#NN).
#pragma once

#include <string_view>

namespace linac {

struct BeamContext;

// Byte count of the first record (36 scalars): 7 + 1 + 2 reals of 8 bytes,
// 10 + 4 + 12 integers of 4 bytes.
inline constexpr int kStateScalarBytes = 184;

// mode holding "read" anywhere (any case) restores the file into the
// fields it holds; otherwise "write" anywhere saves them; any other mode
// stops the run with " Wrong argument in subroutine State ". Reading a
// missing file stops the run naming it and creates nothing; counts read
// from the file are checked against the capacities before they are used.
void State(BeamContext& sim, std::string_view name, std::string_view mode);

}  // namespace linac
