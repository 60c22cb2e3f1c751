// Stand-in for the RFQ cell-file reader until the RFQ element exists:
// a lattice with an rfq line cannot be run yet.
#include <fmt/format.h>

#include "common/sim.hpp"
#include "control/rfq_service.hpp"
#include "control/text_utils.hpp"
#include "platform/fatal.hpp"

namespace linac {

void read_rfq_cells(Sim& sim, std::int32_t& nn) {
  (void)sim;
  fatal(fmt::format(" rfq line with cell file rfq.#{}: RFQ sections are not available yet",
                    int_to_2digits(nn)));
}

}  // namespace linac
