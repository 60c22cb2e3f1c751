// Elements run by transfer matrices: the hard-edge solenoid (a sol line
// whose variant flag elem_int(n, 15) is 0) and quadrupole (a quad line with
// elem_n = -1), which carry every particle from entrance to exit in one
// step by the first-order matrix of its own speed and Q/A, and shrt, which
// turns the transverse coordinates about the beam axis and shifts them.
//
// Lines: sol P1 field B (G), P2 length L (cm), P3 effective length Lf (cm),
// P4 aperture radius a (cm); quad P1 pole-tip field (G), P2 L, P3 Lf,
// P4 a, gradient P1/a; shrt P1 angle (deg), P2, P3 shifts dx, dy (cm).
#pragma once

#include <cstdint>

namespace linac {

struct TransportContext;

void sol_matrix_element(TransportContext& sim, std::int32_t n);
void quad_matrix_element(TransportContext& sim, std::int32_t n);
void shrt_element(TransportContext& sim, std::int32_t n);

// A field magnitude below this (G for the solenoid, T for the pole tip of
// the quadrupole) is replaced by it.
inline constexpr double kLensFieldMin = 1e-10;

}  // namespace linac
