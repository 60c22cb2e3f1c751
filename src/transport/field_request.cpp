#include "transport/field_request.hpp"

#include "transport/transport_context.hpp"

namespace linac {

bool dev_field_request(TransportContext& sim, std::int32_t n) {
  RunState& s = sim.state;
  auto& ints = sim.elements.elem_int[static_cast<std::size_t>(n)];
  if (ints[kElemN] == -1) {
    s.dev_field = 0;
    return false;
  }
  const auto& P = sim.elements.elem_par[static_cast<std::size_t>(n)];
  sim.prmtr.dev_field_line = DevFieldLine{P[1], P[2], 0.0, 0.0};
  ints[15] = -1;
  s.dev_field = n;
  if (s.ifirst_dev_field == -1) {
    s.ifirst_dev_field = 1;
    sim.units.open(kUnitDevField, "dev_field.dat");
  }
  return true;
}

}  // namespace linac
