// The corrections of an error study, as the error-seed loop calls them.
// They belong to the correction study; until it is built, the definitions in
// correction_service_stub.cpp act as a study in which nothing is steered,
// and a run that asks for corrections (IFLAG_CORR = 1) stops once its
// parameter file is read.
#pragma once

#include <cstdint>

namespace linac {

struct Sim;

// Stops the run when the parameter file asks for an error study with
// corrections, which are not available yet; called right after the
// parameter file is read.
void check_corrections_available(const Sim& sim);

// Before the seed loop: the correction sections from pairs of cdump lines
// of the element table (open or crossing sections stop the run).
void setup_correction_sections(Sim& sim);

// Initialisation of the minimiser of the steering fit with its read, write
// and save units.
void MNINIT(Sim& sim, std::int32_t read_unit, std::int32_t write_unit, std::int32_t save_unit);

// The corrections of one seed (IFLAG_CORR = 1 only): the correction
// sections run through the dispatcher, the monitor and correction files.
void error_study_corrections(Sim& sim);

// After the last seed (IFLAG_UNIX = 0): the corrector statistics over the
// seeds.
void corrector_statistics(Sim& sim);

}  // namespace linac
