// What an RFQ reports on itself: on request, after each cell, the step
// apertures (dev_aperture.dat) or the field along a line (dev_field.dat) and
// the parameters and apertures of one chosen cell (log.dat); after the last
// cell the table of the reference (synchronous) particle (log.dat).
#pragma once

#include <cstdint>

#include "elements/rfq/rfq_cells.hpp"

namespace linac {

struct ElementsContext;

// The field-output request of a prmtr dev_field line as the RFQ reads it.
struct RfqDevRequest {
  int code = -13;           // -1 apertures, 0 field of every cell, i cell i, -13 none
  double x = 0.0, y = 0.0;  // the line, cm
  int n_val = 0;            // values on the prmtr line
  std::int32_t line = 0;    // element line of the request (its header flag in elem_int 15)
};
inline constexpr int kRfqNoRequest = -13;

// The listing after cell i (the work record holds its field rows and step
// apertures; nstep steps of step_len cm).
void rfq_cell_listing(ElementsContext& sim, const RfqCellSet& s, int i, int nstep, double step_len,
                      const RfqDevRequest& req);

// The reference-particle table after the last cell; nothing but the file
// name when cell 1 was not run (a resumed run).
void rfq_sync_table(ElementsContext& sim, const RfqCellSet& s, double phi0_rad);

}  // namespace linac
