// The run context: owns every record of one run and the platform services
// the run writes through, layer by layer (see common/context.hpp). Two Sim
// objects never share state. A Sim is large (the particle block alone is
// about 90 MB): make it with make_sim().
#pragma once

#include <memory>

#include "common/start_values.hpp"
#include "control/control_context.hpp"

namespace linac {

struct Sim : ControlContext {};

std::unique_ptr<Sim> make_sim();

}  // namespace linac
