// State of the numerical library for one run: everything that lives across
// calls of its routines. One member of the numerics context.
#pragma once

#include "numerics/lib_errors.hpp"
#include "numerics/machine.hpp"
#include "numerics/random.hpp"

namespace linac {

struct NumericsState {
  LibErrorState errors;   // routine stack, pending message, inserts
  MachineState machine;   // unit numbers and option tables
  RnState rn;             // the run's one random stream
};

}  // namespace linac
