// velmo.dat: the run parameters outside the lattice, in the namelist groups
// TRAN, INDEX, CORRECT and OTHER, with their unit conversions, the design
// quantities derived from them and the checks of inconsistent settings.
#pragma once

#include <cstdint>
#include <string>

#include "platform/namelist.hpp"

namespace linac {

struct Sim;

// The member tables of the four groups, bound to the run records.
NamelistSchema tran_schema(Sim& sim);
NamelistSchema index_schema(Sim& sim);
NamelistSchema correct_schema(Sim& sim);
NamelistSchema other_schema(Sim& sim);

// NINT(n fraction): the particles of a charge state that a pass with the
// given fraction (member names it, e.g. "NP_SET") uses. Stops the run when
// that is not within 0..n (a fraction outside [0, 1], NaN): a pass never
// uses more particles than exist.
std::int32_t scaled_particle_count(std::int32_t n, double fraction, const char* member);

// The design particle of the design energy WIN (keV/u): w0 := WIN, its
// beta gamma betgam0 and its speed beta_design.
void set_design_particle(Sim& sim);

// The one check of space-charge grid sizes (nodes per direction) against
// the solver's storage, shared by velmo.dat and the gridSC lattice line: a
// sentence naming the member and its value when the solver cannot hold the
// grid, empty when it can.
std::string sc_grid_size_fault(std::int32_t nx, std::int32_t ny, std::int32_t nz);
// The same for the space-charge model switch IFLAG2D (0 or 1), shared by
// velmo.dat and the iflag2D lattice line.
std::string sc_model_fault(std::int32_t iflag2d);

// Reads velmo.dat from the working directory over the defaults already in
// place, converts units, derives the design particle (w0, betgam0,
// wavelength ...), seeds the random stream and stops the run on an
// inconsistent or out-of-range setting.
void read_velmo_dat(Sim& sim);

}  // namespace linac
