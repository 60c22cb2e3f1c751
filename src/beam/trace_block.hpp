// The beam at a place in the lattice in the units of the envelope code
// TRACE3D: energy, Twiss parameters, rms, level and maximum emittances and
// the beam matrix SIGI, written to log.dat.
#pragma once

#include <cstdint>

#include "beam/matrix6.hpp"

namespace linac {

struct BeamContext;

// The envelope-code beam matrix SIGI = D G D of the second moments G
// (statistics coordinates x cm, x' rad, y cm, y' rad, phase rad, dW/W).
// D is diagonal: 10 sx, 1000 sx, 10 sy, 1000 sy (cm -> mm, rad -> mrad),
// -10 beta wavelength_2pi sz (phase -> mm of path behind the design
// particle), sz gamma/(gamma + 1) (dW/W -> dp/p in per mille units of the
// code); s = 2 sqrt(level / 4 rms emittance) scales the rms ellipse of
// each plane to the level ellipse (0 when the rms emittance is 0).
// wavelength_2pi in cm/rad; beta, gamma of the design particle.
Matrix6 trace_sigma(const Matrix6& G, double sx, double sy, double sz, double beta, double gamma,
                    double wavelength_2pi);

// The block of the trace line n with label k, from the statistics at
// position n, the moments of the last statistics call and the exit energy
// of the reference at ipos.
void write_trace_block(BeamContext& sim, std::int32_t n, std::int32_t k);

}  // namespace linac
