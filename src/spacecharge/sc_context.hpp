// The run records as the space-charge routines see them: the box, grids,
// solver tables and mesh-check state of the space-charge field.
#pragma once

#include "spacecharge/sc_grid.hpp"
#include "transport/transport_context.hpp"

namespace linac {

struct SpaceChargeContext : TransportContext {
  // Installs the space-charge solve, kick and 2-D field in the transport hooks.
  SpaceChargeContext();
  ScGrid sc_grid;
};

}  // namespace linac
