// The error study that follows the nominal pass when IFLAG_CORR is not 0:
// for each seed NRZ_MIN .. NRZ_MIN + NRZ - 1 every element gets new random
// errors (drawn in an error-drawing pass, or read from vrand_NNN.dat), the
// initial beam a random injection offset, the corrections run when
// IFLAG_CORR = 1, and the beam goes through the whole lattice once more;
// the seeds' beams are pooled per position into staterr.dat.
//
// vrand_NNN.dat (NNN the seed in three digits): unformatted sequential,
// one record of the ten deviates elem_err(n, 1..10) per element line
// n = iel_first..iel_last, 80 bytes each.
#pragma once

#include <cstdint>
#include <string_view>

namespace linac {

struct ControlContext;

// The seed loop with its set-up and closing.
void error_seed_loop(ControlContext& sim);

// Parts of one seed of the loop: its element errors (cleared, then drawn
// in an error-drawing pass or read, as IFLAG_VRAND says), and its final
// pass from the entrance statistics to the " end of seed No." record and
// coord.dat (the beam already restored and shifted).
void seed_element_errors(ControlContext& sim, std::int32_t seed);
void seed_final_pass(ControlContext& sim, std::int32_t seed);

// The deviates of every element line into, or out of, a vrand file. Reading
// stops the run, naming the file and the record, on a missing file, a file
// with fewer records than lines, a record that is not ten 64-bit values and
// a value that is not finite; values outside (0, 1) or [-3, 3] are used as
// they stand (a hand-made file injects known errors).
void write_vrand(ControlContext& sim, std::string_view name);
void read_vrand(ControlContext& sim, std::string_view name);

}  // namespace linac
