// Diagnostics of the space-charge solve: the mesh check (mesh step against
// rms beam size, reported to sc_warning.dat when the class changes) and the
// outputs of a prmtr outSC request (denSC.dat, uSC.dat and the field lines
// ExSC.dat, EySC.dat, EzSC.dat through the box).
#pragma once

#include "common/unit_numbers.hpp"

namespace linac {

struct SpaceChargeContext;

inline constexpr int kUnitScFieldX = 51;   // ExSC.dat
inline constexpr int kUnitScFieldY = 52;   // EySC.dat
inline constexpr int kUnitScFieldZ = 53;   // EzSC.dat

// Mesh class of the ratios mesh step / rms size: -1 coarse unless every
// ratio is at most 0.5 (a ratio that is not a number counts as above), 1
// fine when one is below 0.25, else 0 normal. rz < 0 means no z ratio.
int sc_mesh_class(double rx, double ry, double rz);

// The check of the first step of an element: new class, a report when it
// changed, and the coarse mark for the phase-space display.
void sc_mesh_check(SpaceChargeContext& sim);
void sc_mesh_report(SpaceChargeContext& sim);

// Writes the outputs of the current mode of the request and lowers the mode.
void sc_output(SpaceChargeContext& sim);

}  // namespace linac
