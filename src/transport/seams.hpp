// What every element driver calls besides its own field: the label of an
// element in messages and the picture after an element (the space-charge
// solve and kick of a step come through TransportContext::hooks).
#pragma once

#include <string>

#include "beam/plots.hpp"  // plot_step: the picture after an element

namespace linac {

struct TransportContext;

// "element 12 (drift)": the line number and keyword of element line n.
std::string element_label(const TransportContext& sim, int n);

}  // namespace linac
