#include "run/sim.hpp"

namespace linac {

std::unique_ptr<Sim> make_sim() { return std::make_unique<Sim>(); }

}  // namespace linac
