// The steps of the correction run of one seed, section by section: test
// particles, longitudinal correction at a phcor line, orbit steering with
// the minimiser, the section report and the statistics over seeds.
#pragma once

#include <cstdint>

namespace linac {

struct CorrectionsContext;
class FormatCache;

// Slot 0 of every charge state on the stored section-start centroid; with
// ntest(iq) > 0 the trial particles NPAT + 1 .. NPAT + ntest on the axis
// with the centroid's phase and energy, their status the trial tag.
void reset_test_particles(CorrectionsContext& sim);

// Weight of each charge state in averages over the states:
// (NPAT(iq) + 1) / sum of (NPAT + 1).
void compute_q_weights(CorrectionsContext& sim);

// Clears the trial marks of the lines first..extra: the monitor numbers of
// mon lines and the test tags of corr and cav lines.
void clear_trial_marks(CorrectionsContext& sim, std::int32_t first, std::int32_t extra);

// Energy and phase correction of the section's phcor line by its corrector
// cavities (section s of the table).
void longitudinal_correction(CorrectionsContext& sim, std::int32_t s);

// Orbit steering of section s: responses, equations, fits, kicks.
void steering_correction(CorrectionsContext& sim, std::int32_t s);

// The detailed report of a steered section (first seed, MONERR > 1).
void write_correction_report(CorrectionsContext& sim, std::int32_t s);

// The lines of element k in out_wq.dat and out_phq.dat after it ran in the
// final pass of a section: per charge state 1..5 and for the whole beam the
// relative energy deviation from the design energy in % (a deviation above
// 50 % written as 0) and the phase centroid in deg.
void write_final_pass_lines(CorrectionsContext& sim, std::int32_t k, FormatCache& fc);

// Runs the element lines first..last in order.
void run_lines(CorrectionsContext& sim, std::int32_t first, std::int32_t last);

}  // namespace linac
