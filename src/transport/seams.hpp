// Effects of element transport that this build does not compute. Each stops
// the run with a message naming what is not available, so that no run
// silently skips a physical effect. The plot windows are the exception: a
// run without them loses no physics, so plot_step draws nothing.
#pragma once

#include <string>

#include "spacecharge/poisson.hpp"
#include "spacecharge/space_charge.hpp"

namespace linac {

struct Sim;

// "element 12 (drift)": the line number and keyword of element line n.
std::string element_label(const Sim& sim, int n);

// The phase-space windows after an element of length L (cm). This build has
// no plot windows: nothing is drawn.
void plot_step(Sim& sim, double L);

}  // namespace linac
