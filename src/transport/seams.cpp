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

namespace {

[[noreturn]] void space_charge_not_available(const Sim& sim) {
  fatal({fmt::format(" Space charge is not available yet: the beam current {} mA switches it on",
                     sim.current.scur),
         " run the beam without current (CURRENT = 0)"},
        true);
}

}  // namespace

void space_charge(Sim& sim, int) { space_charge_not_available(sim); }

void sc_kick(Sim& sim, double) { space_charge_not_available(sim); }

// Grid set-up of the space-charge solver: nothing to prepare while no solver
// exists (a run with current stops at space_charge).
void sc_fft_init(Sim&) {}

}  // namespace linac
