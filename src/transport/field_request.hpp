// The request for the field along a straight line parallel to the axis,
// made by a prmtr dev_field line and served by the field extraction of the
// field-map elements (field_extraction_output).
#pragma once

#include <cstdint>

namespace linac {

struct TransportContext;

// Request of the dev_field line n. A line numbered -1 cancels any request
// (dev_field := 0) and returns false. Otherwise the line (x0 = P1, y0 = P2
// in cm, running z and voltage 0) becomes the pending request (dev_field
// := n), its header is marked as not written (column 15 := -1), the first
// request of the run opens dev_field.dat on unit 67, and the result is true.
bool dev_field_request(TransportContext& sim, std::int32_t n);

}  // namespace linac
