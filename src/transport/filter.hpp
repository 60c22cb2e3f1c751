// The energy filter and change of design charge (keyword filtr): removes
// every beam particle whose kinetic energy per nucleon deviates from the
// design energy by more than the fraction P1 (no lost.dat line), takes the
// new design charge P2 (0: keep QDESIGN), chooses the new design energy and
// phase centre from the charge states around that charge, re-centres the
// phases on it (P3 = 1 also restarts the phase origins of the charge
// states), and reports charges, counts, losses and currents in log.dat.
// The filter has no length and takes one position.
#pragma once

#include <cstdint>
#include <string_view>

namespace linac {

struct TransportContext;

void filtr_element(TransportContext& sim, std::int32_t n);

// The text the filter writes to log.dat in every pass.
inline constexpr std::string_view kFilterMark = "          !* FILTR *! ";

}  // namespace linac
