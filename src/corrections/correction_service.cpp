// Entry points of the corrections that the run sequence calls.
#include "corrections/correction_service.hpp"

#include "corrections/corrections_context.hpp"
#include "corrections/minimiser.hpp"

namespace linac {

void MNINIT(CorrectionsContext& sim, std::int32_t /*read_unit*/, std::int32_t /*write_unit*/, std::int32_t /*save_unit*/) {
  if (sim.config.IFLAG_CORR == 1) minimiser_start();
}

}  // namespace linac
