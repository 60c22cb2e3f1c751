// The lattice command ascii: the coordinates of the particles of every
// charge state at its place in the lattice, to the text file ascii.#NNN.
#pragma once

#include <cstdint>

namespace linac {

struct BeamContext;

// Largest line number of an ascii line: the file name holds three digits.
inline constexpr std::int32_t kMaxDumpNumber = 999;

// Element handler of an ascii line n: takes its position, sets the
// reference record of the position in the nominal pass and, when the
// line's seed (column 12) is the current error seed and its number N is
// not negative, writes ascii.#NNN in the layout of its mode (column 11):
// 1 every slot in absolute units, 2 every slot with time and energy
// deviation, 0 the live beam particles, -1 the same with phases folded
// into one bunch period after the RFQ's half-turns; any other mode leaves
// the file empty. In the error-drawing pass it only takes its position.
void ascii_cmd(BeamContext& sim, std::int32_t n);

// The dump of the current beam in mode `mode` to the file `name`.
void write_particle_dump(BeamContext& sim, std::int32_t mode, const char* name);

}  // namespace linac
