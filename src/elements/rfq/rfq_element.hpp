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

struct ElementsContext;
struct RfqCellSet;

void rfq_element(ElementsContext& sim, std::int32_t& n);

// The preparation of the beam before the first cell (not when resuming
// inside the RFQ): uses up the time-mode request (a run without one stops),
// moves the beam to the RFQ's harmonic P5 (phases scaled, nharm_sc times
// the harmonic ratio), sets the element phase phi0 (rad) less the design
// particle's phase over the cells before the regular section, regroups the
// charge states about QDESIGN and takes their mean phases, sets IRIARFQ
// and the per-state phase origins from the groups that bracket the design
// charge, and re-centres every live phase on the reference phase of those
// groups.
void rfq_prepare_beam(ElementsContext& sim, const RfqCellSet& cs, double P5, double phi0);

}  // namespace linac
