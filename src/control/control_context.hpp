// The run records as the control layer sees them: all of them, and the
// element drivers and lattice commands by keyword.
#pragma once

#include "control/dispatcher.hpp"
#include "corrections/corrections_context.hpp"

namespace linac {

struct ControlContext : CorrectionsContext {
  // Installs the dispatcher as the corrections' way of running a line.
  ControlContext();
  HandlerRegistry handlers;  // element drivers and lattice commands by keyword
};

}  // namespace linac
