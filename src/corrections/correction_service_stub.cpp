// Stand-in for the correction study while it is not built: an error study
// runs without corrections (IFLAG_CORR other than 0 and 1), in which no
// section is steered, no minimiser is started and no corrector statistics
// exist; a run that asks for corrections stops before any pass.
#include "common/sim.hpp"
#include "corrections/correction_service.hpp"
#include "platform/fatal.hpp"

namespace linac {

void check_corrections_available(const Sim& sim) {
  if (sim.config.IFLAG_CORR == 1)
    fatal(" IFLAG_CORR = 1: the corrections of an error study are not available yet; IFLAG_CORR = 2 "
          "runs the study without them");
}

void setup_correction_sections(Sim& /*sim*/) {}

void MNINIT(Sim& /*sim*/, std::int32_t /*read_unit*/, std::int32_t /*write_unit*/,
            std::int32_t /*save_unit*/) {}

// Reached only with IFLAG_CORR = 1, which check_corrections_available
// refuses before the run starts.
void error_study_corrections(Sim& sim) { check_corrections_available(sim); }

void corrector_statistics(Sim& /*sim*/) {}

}  // namespace linac
