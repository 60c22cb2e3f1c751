// Displacements of the whole beam in phase space: the injection offsets of
// each charge state, and the random injection error of an error seed.
// Both move slots 0..NPAT(iq) of states 1..NQTOT (the reference particle
// with the beam); lost slots and test particles stay where they are.
#pragma once

#include <array>

namespace linac {

struct BeamContext;

// The random injection error of one error seed: dx (cm), dx' (rad),
// dy (cm), dy' (rad), dphase (rad), dW (keV/u).
using SeedOffset = std::array<double, 6>;

// Adds the injection offsets X00, XP00, Y00, YP00, PH00 of each state and
// raises its kinetic energy per nucleon by w0 DWW00.
void shift_beam_by_q(BeamContext& sim);

// Adds the same six offsets to every state (energy last).
void shift_beam(BeamContext& sim, const SeedOffset& seed_offset);

// Speed after a change dW (keV/u) of the kinetic energy per nucleon of a
// particle with speed beta; amu_kev is the atomic mass unit in keV.
double shift_speed_by_energy(double beta, double dW, double amu_kev);

}  // namespace linac
