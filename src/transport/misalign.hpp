// The misalignment of the element being run and the moves of the beam into
// and out of the element's frame.
//
// In an error study every element with a length carries ten raw deviates
// per position (elem_err, drawn in the error-drawing pass or read from a
// vrand file): u1..u6 uniform in (0, 1) for the offsets (x, y, z) and the
// rotations about x, y, z of its entrance; n7, n8 standard normal within
// [-3, 3] for the normally distributed phase and field errors; u9, u10
// uniform for the uniformly distributed ones. A deviate u becomes the error
// (1 - 2u) times the element's amplitude, a normal n the amplitude times n.
#pragma once

#include <array>

#include "transport/frame.hpp"

namespace linac {

struct TransportContext;

// No misalignment: zero offsets and angles, unit rotations, no phase or
// field error (the weights, placement values and amplitudes stay).
void misalign_identity(TransportContext& sim);

// The misalignment of the current position from its stored deviates. The
// identity in the nominal pass, for an element without type and for an
// element shorter than kMinChord.
void misalign_reuse(TransportContext& sim);

// The error-drawing pass of the current position: draws its ten deviates
// into elem_err (n7, n8 with redraws beyond |3|, u9, u10, then for an
// element with a length u1..u6 by rejection until the exit offsets and the
// exit roll lie within the amplitudes). With ndraw > 1 the draw is repeated
// and, in the first seed, every repetition is listed in r_in.dat and
// r_out.dat; ndraw is then 1 again.
void misalign_draw(TransportContext& sim);

// Rotations and exit values of a misalignment: the entrance rotation Q from
// the angles a about x, y, z (coordinates in the turned frame = Q times
// those in the unturned frame), the exit rotation P = R Q R^T, the exit
// offsets R (e + (Q^T - I) D) of the element turned about its displaced
// entrance point, and the exit angles that give P by the same formula.
struct MisalignRotations {
  Matrix3 rot_in{};               // Q
  Matrix3 rot_out{};              // P
  std::array<double, 3> off_out{};  // cm, exit frame
  std::array<double, 3> ang_out{};  // rad
};
MisalignRotations misalign_rotations(const std::array<double, 3>& off_in,
                                     const std::array<double, 3>& ang_in,
                                     const std::array<double, 3>& place_disp,
                                     const Matrix3& place_rot);

// Every live particle into the misaligned element frame at its entrance
// (z := 0), and back into the beam-line frame at the exit (z := 0; with
// iflag_chain = 0 every live phase is made relative to the design
// particle's exit phase). In an error-study pass the particle is carried
// along its straight line to the plane z = 0 of the new frame, and its
// phase by the path length of that move: exact for a field-free element.
void misalign_in(TransportContext& sim);
void misalign_out(TransportContext& sim);

}  // namespace linac
