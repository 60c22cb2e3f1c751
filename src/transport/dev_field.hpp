// Field extraction along a line: dev_field.dat. A prmtr dev_field line
// records a request (dev_field_request, transport/field_request.hpp, into
// sim.prmtr.dev_field_line); the field-map drivers then call
// field_extraction_output at the end of an element in the nominal pass
// (transport/stepping.hpp, finish_element), which samples E and B along the
// line x = x0, y = y0 at the element's step ends, integrates Ez into the
// voltage U and writes one table per element: in mode 0 for one element,
// in mode 1 for every following field-map element with z and U running on.
#pragma once

#include <cstdint>

namespace linac {

struct TransportContext;

// The field of the current element along the requested line, written to
// unit 67 (see above). The 2-D space-charge field is left out.
void field_extraction_output(TransportContext& sim);

// Units of the reference-energy and single-particle checks.
inline constexpr int kUnitRefInt = 47;   // ref_int.dat
inline constexpr int kUnitEbVelmo = 48;  // eb_velmo.dat
inline constexpr int kUnitEb = 49;       // eb.dat

// Not called by the run. Checks of the current element's field, made
// afresh at each call (the files are rewritten and closed):
// - ref_int.dat, one record (3D15.7) per step end k = 0..nstep: z (cm from
//   the entrance), the design kinetic energy W = w0 + (QDESIGN/ADESIGN) U/1000
//   (keV/u), U the spline integral of Ez on the axis at phase 0 from 0 to z
//   (V), and gamma = 1 + W/amu;
// - eb.dat, one record (14D15.5) per point z_j = j step_len/5, j = 0..5 nstep:
//   z, x, y (cm), beta_x, beta_y, beta_z, gamma, phase (rad), E (V/cm) and
//   B (G) of the element at the point (phase 0), for particle i of charge
//   state iq moving from the entrance in the uniform Ez and Bz found on the
//   axis at z = 0: the exact relativistic motion in parallel uniform fields
//   (Ez changes the longitudinal momentum, Bz turns the transverse one at the
//   Larmor rate of proper time). A particle that Ez turns back ends the
//   table at the last point it reaches;
// - eb_velmo.dat is created empty.
// The 2-D space-charge field is left out; the run's loss flag is kept.
void write_reference_checks(TransportContext& sim, std::int32_t i, std::int32_t iq);

}  // namespace linac
