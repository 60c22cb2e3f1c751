// The RFQ cell-file reader that the lattice reader calls for every rfq
// line (built with the RFQ element, src/elements/rfq/).
#pragma once

#include <cstdint>

namespace linac {

struct Sim;

// Reads rfq.#NN (NN = nn) from the table directory for the rfq line on
// element line `line`, whose values the lattice reader has just stored in
// sim.rfq (rfq_ncells, rfq_file_no, rfq_volt, rfq_R, rfq_phi0,
// rfq_concave), builds that line's own cell record and sets
// sim.rfq.rfq_length, the end of the last cell in cm.
void read_rfq_cells(Sim& sim, std::int32_t line, std::int32_t nn);

}  // namespace linac
