#include "transport/seams.hpp"

#include <fmt/format.h>

#include "common/sim.hpp"
#include "platform/fatal.hpp"

namespace linac {

std::string element_label(const Sim& sim, int n) {
  std::string name = "?";
  if (n >= 0 && n < kElementSlots) name = sim.elements.elem_name[n].trimmed();
  return fmt::format("element {} ({})", n, name);
}

void field_extraction_output(Sim& sim) {
  fatal({fmt::format(" {}: the field extraction output dev_field.dat is not available yet",
                     element_label(sim, sim.state.ipos))},
        true);
}

void plot_step(Sim&, double) {}

}  // namespace linac
