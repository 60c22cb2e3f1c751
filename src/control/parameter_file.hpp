// velmo.dat: the run parameters outside the lattice, in the namelist groups
// TRAN, INDEX, CORRECT and OTHER, with their unit conversions, the design
// quantities derived from them and the checks of inconsistent settings.
#pragma once

#include <cstdint>
#include <string>

#include "platform/namelist.hpp"

namespace linac {

struct ControlContext;

// The member tables of the four groups, bound to the run records.
NamelistSchema tran_schema(ControlContext& sim);
NamelistSchema index_schema(ControlContext& sim);
NamelistSchema correct_schema(ControlContext& sim);
NamelistSchema other_schema(ControlContext& sim);

// The design particle of the design energy WIN (keV/u): w0 := WIN, its
// beta gamma betgam0 and its speed beta_design.
void set_design_particle(ControlContext& sim);

// Reads velmo.dat from the working directory over the defaults already in
// place, converts units, derives the design particle (w0, betgam0,
// wavelength ...), seeds the random stream and stops the run on an
// inconsistent or out-of-range setting.
void read_velmo_dat(ControlContext& sim);

}  // namespace linac
