#include "corrections/longitudinal_cavity.hpp"

#include <fmt/format.h>

#include "common/sim.hpp"
#include "platform/fatal.hpp"
#include "transport/seams.hpp"

namespace linac {

// No RF cavity runs in this build: a lattice cannot hold one, so no
// corrector cavity reaches the longitudinal correction.
double cavity_field_used(const Sim& sim, std::int32_t k) {
  fatal(fmt::format(" {}: RF cavities are not available", element_label(sim, k)));
}

}  // namespace linac
