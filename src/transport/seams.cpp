#include "transport/seams.hpp"

#include <fmt/format.h>

#include "transport/transport_context.hpp"
#include "platform/fatal.hpp"

namespace linac {

std::string element_label(const TransportContext& sim, int n) {
  std::string name = "?";
  if (n >= 0 && n < kElementSlots) name = sim.elements.elem_name[n].trimmed();
  return fmt::format("element {} ({})", n, name);
}


}  // namespace linac
