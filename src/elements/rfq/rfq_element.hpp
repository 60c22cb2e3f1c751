// The RFQ element (keyword rfq): the cells of its rfq line run one after the
// other, each a short element of its own with its own reference particle,
// vane aperture and z from 0 at its entrance, while the RFQ keeps one
// lattice position. Before the first cell the beam is brought onto the
// RFQ's harmonic and re-centred in phase; after each cell an out.dat line
// and the requested listings are written, and the beam state can be saved
// after a chosen cell or a run resumed from such a state.
#pragma once

#include <cstdint>

namespace linac {

struct Sim;

void rfq_element(Sim& sim, std::int32_t& n);

}  // namespace linac
