// Effects of element transport that this build does not compute. Each stops
// the run with a message naming what is not available, so that no run
// silently skips a physical effect.
#pragma once

#include <string>

#include "beam/plots.hpp"  // plot_step: the picture after an element

namespace linac {

struct Sim;

// "element 12 (drift)": the line number and keyword of element line n.
std::string element_label(const Sim& sim, int n);

// Space-charge field solve of step k and the kick of a step of length ds (cm).
void space_charge(Sim& sim, int k);
void sc_kick(Sim& sim, double ds);

// Grid set-up of the space-charge solver after a change of its grid sizes
// or of the 2-D switch IFLAG2D.
void sc_fft_init(Sim& sim);

}  // namespace linac
