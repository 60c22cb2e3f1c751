// The run records as the numerical library sees them: the common records
// and the library's own state.
#pragma once

#include "common/context.hpp"
#include "numerics/numerics_state.hpp"

namespace linac {

struct NumericsContext : CommonContext {
  // Random stream, error stack, units and options of the library.
  NumericsState numerics;
};

}  // namespace linac
