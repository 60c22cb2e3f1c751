#include "beam/lost_coord.hpp"

#include "common/sim.hpp"
#include "control/velmo_main.hpp"

namespace linac {

static_assert(kLostHeader.size() == 313);

void write_lost_header(Sim& sim) { sim.units.write(kUnitLost, kLostHeader); }

}  // namespace linac
