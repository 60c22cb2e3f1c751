// Element frame and placement: where the current element stands in the lab.
// A point (x, y, z) of the element frame lies at origin + A^T (x, y, z) in
// the lab, with the rows of A the element's local axes (x, y, z = beam
// direction) in lab components.
#pragma once

#include "common/records.hpp"

namespace linac {

struct TransportContext;

// A 3x3 rotation, indexed [row][column], and the unit rotation.
using Matrix3 = std::array<std::array<double, 3>, 3>;
inline constexpr Matrix3 kUnitMatrix3{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};

// An element whose chord (entrance to exit point) is shorter than this has no
// error amplitudes and is never misaligned, cm.
inline constexpr double kMinChord = 1e-6;

// Both copies of the element frame := unit axes with the origin on the lab
// axis at z_origin (cm; 0 at the lattice start). Called at the start of
// every pass over the lattice.
void reset_element_frame(TransportContext& sim, double z_origin = 0.0);

// The start of a pass over the lattice, whichever pass: the element frame
// at frame_z0 on the lab axis and no bending-magnet path excess yet
// (z_offset := 0), so the positions of the elements are the same in every
// pass.
void start_pass_frame(TransportContext& sim);

// Advances the element frame by one element whose exit point lies at (dx, 0,
// dz) of its entrance frame and whose exit axes are turned by the angle with
// cosine c and sine s about the local y axis (a positive angle turns the beam
// towards +x). A straight element of length L passes (0, L, 1, 0). Also
// stores the placement values of the misalignment record and the element's
// error amplitudes from the align amplitudes of its type (itype).
void place_element(TransportContext& sim, double dx, double dz, double c, double s);

// Lab coordinates of a vector v given in the local axes of frame f:
// A^T v (a direction), and origin + A^T v (a point).
std::array<double, 3> lab_direction(const Frame& f, const std::array<double, 3>& v);
std::array<double, 3> lab_point(const Frame& f, const std::array<double, 3>& v);

}  // namespace linac
