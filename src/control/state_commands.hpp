// Lattice commands that set run state at their place in the element loop
// without moving the beam: align (error amplitudes of an element type),
// enge (which enge line's fringe coefficients an element type uses), swtch
// (a one-shot field factor for the corrections), cdump (a bracket of a
// correction section) and scrch (saves the beam state, scratch.#NN).
//
// Each takes the position of its line n: ipos advances by one; in the
// error-drawing pass only align acts; in the nominal pass the reference
// values of the position are the design energy with zero phases; the
// statistics of the position repeat those of the previous one.
#pragma once

#include <cstdint>

namespace linac {

struct ControlContext;

// " m align TYPE q1..q7": for m > 0 the amplitudes of TYPE := q1 (cm), q2
// (cm), q3 / 1000 (mrad -> rad), q4 (deg -> rad), q5 / 100 (% -> fraction),
// q6 (deg -> rad), q7 / 100; a cav line stores them in table m's DCAV,
// dcav2, dcav3, SFAS, SERF, sfas2, serf2 as well; sol and sol3d share their
// first five amplitudes.
void align_cmd(ControlContext& sim, std::int32_t& n);

// " k enge TYPE c0..c5": k = 1 (entrance) or 2 (exit) makes this line the
// source of TYPE's fringe coefficients from here on, k = 0 returns both
// sides to the element's own, k < 0 does nothing, k > 2 stops the run. The
// nominal pass lists the coefficients in force in log.dat.
void enge_cmd(ControlContext& sim, std::int32_t& n);

// Arms the scan factor P1 for the element numbered elem_n(n).
void swtch_cmd(ControlContext& sim, std::int32_t& n);

// Takes its position only.
void cdump_cmd(ControlContext& sim, std::int32_t& n);

// " -NN scrch": saves the beam state as scratch.#NN in the nominal pass. A
// positive number marks the restart line and saves nothing; neither does a
// line that carries numbers (the RFQ's own use).
void scrch_cmd(ControlContext& sim, std::int32_t& n);

}  // namespace linac
