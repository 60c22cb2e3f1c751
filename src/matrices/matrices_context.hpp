// The run records as the section transfer matrices see them: every record
// of the element layers (the matrices' own state, MatrxState, is a common
// record that velmo.dat sets).
#pragma once

#include "elements/elements_context.hpp"

namespace linac {

struct MatricesContext : ElementsContext {};

}  // namespace linac
