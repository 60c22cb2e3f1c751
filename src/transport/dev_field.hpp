// Field extraction along a line: dev_field.dat. A prmtr dev_field line
// records a request (dev_field_request, transport/field_request.hpp, into
// sim.prmtr.dev_field_line); the field-map drivers then call
// field_extraction_output at the end of an element in the nominal pass
// (transport/stepping.hpp, finish_element), which samples E and B along the
// line x = x0, y = y0 at the element's step ends, integrates Ez into the
// voltage U and writes one table per element: in mode 0 for one element,
// in mode 1 for every following field-map element with z and U running on.
#pragma once

namespace linac {

struct TransportContext;

// The field of the current element along the requested line, written to
// unit 67 (see above). The 2-D space-charge field is left out.
void field_extraction_output(TransportContext& sim);

}  // namespace linac
