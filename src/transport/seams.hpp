// What every element driver calls besides its own field: the label of an
// element in messages, the space-charge solve and kick of a step, and the
// picture after an element.
#pragma once

#include <string>

#include "beam/plots.hpp"  // plot_step: the picture after an element
#include "spacecharge/poisson.hpp"
#include "spacecharge/space_charge.hpp"

namespace linac {

struct Sim;

// "element 12 (drift)": the line number and keyword of element line n.
std::string element_label(const Sim& sim, int n);

}  // namespace linac
