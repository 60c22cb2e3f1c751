// The corrections of an error study, as the error-seed loop calls them.
#pragma once

#include <cstdint>

namespace linac {

struct CorrectionsContext;

// Before the seed loop: the correction sections from pairs of cdump lines
// of the element table (open or crossing sections stop the run).
void setup_correction_sections(CorrectionsContext& sim);

// Initialisation of the minimiser of the steering fit (its read, write and
// save units have no file behind them): with IFLAG_CORR = 1 it starts the
// interpreter and stops the run when the minimiser's package is missing.
void MNINIT(CorrectionsContext& sim, std::int32_t read_unit, std::int32_t write_unit, std::int32_t save_unit);

// The corrections of one seed (IFLAG_CORR = 1 only): the correction
// sections run through the dispatcher, the monitor and correction files.
void error_study_corrections(CorrectionsContext& sim);

// After the last seed (IFLAG_UNIX = 0): the corrector statistics over the
// seeds.
void corrector_statistics(CorrectionsContext& sim);

}  // namespace linac
