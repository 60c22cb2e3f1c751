// Stand-in for the RFQ cell-file reader while the RFQ element is not built:
// a lattice with an rfq line stops when it is read, naming the cell file.
#include <fmt/format.h>

#include "control/rfq_service.hpp"
#include "common/text_utils.hpp"
#include "platform/fatal.hpp"

namespace linac {

void read_rfq_cells(Sim& /*sim*/, std::int32_t& nn) {
  fatal(fmt::format(" rfq line with cell file rfq.#{}: RFQ sections are not available yet",
                    int_to_2digits(nn)));
}

}  // namespace linac
