// Correction sections: the lattice cut into consecutive sections, each
// bracketed by a pair of cdump lines of one number (the section whose
// orbit and energy are corrected) or lying between such pairs (bracket
// number 0, "no correction", where the correction steps still act on the
// correctors, monitors and phcor lines they find).
#pragma once

#include <cstdint>
#include <string_view>

namespace linac {

struct CorrectionsContext;

// The first element k >= start with keyword name: with num >= 0 the one
// whose number is num; with num < 0 the first whose number is not yet a
// section's bracket number, and num takes that number. 0 when none.
std::int32_t find_element(const CorrectionsContext& sim, std::int32_t start, std::int32_t& num, std::string_view name);

// Builds the section table from iel_first on, lists it (IFLAG_UNIX = 0) to
// the screen, ph_monitor.dat and bp_monitor.dat, and stops the run on an
// unclosed or crossing pair or on more sections than the table holds.
void setup_correction_sections(CorrectionsContext& sim);

// Least-squares strengths from the normal equations of the steering
// system (resp^T resp) x = -resp^T rhs of the section being handled,
// written into corr_value (normalised strengths, no bounds); prints the
// determinant of the leading 2 x 2 block of the response matrix as a
// "det" line. A cross-check of the minimiser that no run step calls.
void normal_equation_strengths(CorrectionsContext& sim);

}  // namespace linac
