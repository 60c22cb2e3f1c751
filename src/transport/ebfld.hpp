// The ebfld command: a static field of E and B from a full 3-D table laid
// over the beam line from the command's position onward, added to the field
// of every element (drifts included) while iflag_ebfld = 1.
#pragma once

#include <cstdint>

namespace linac {

struct TransportContext;

// Lattice line n: takes one position; outside the error-drawing pass sets
// the scale factors (P1 on E, P2 on B), the region's length (P3, cm) and
// radius (P4, cm), anchors the region at the entrance z of the position,
// loads eh_EMS.#NN (NN the digits of |elem_n|) from the working directory
// and switches the superimposed field on. The position repeats the
// reference energy (phases 0) and the statistics of the one before.
void ebfld_cmd(TransportContext& sim, std::int32_t& n);

}  // namespace linac
