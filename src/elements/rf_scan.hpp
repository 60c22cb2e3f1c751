// What the RF gaps (cav, bunch, mhb4) share: the harmonic of their line and
// the switch of the operating harmonic, and the scan of the design particle
// over one RF period that sets their phase.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace linac {

struct ElementsContext;

// Element type code of the RF gaps with an eh_MWS table (cav, bunch).
inline constexpr std::int32_t kRfGapType = 6;

// A step count of an RF element's line: 1..kMaxSteps, else the run stops
// naming element line n. Sets nstep.
void rf_step_count(ElementsContext& sim, int n, std::int32_t nstep);

// The common head of a cav or bunch line n: the position (ipos += 1), type
// 6, the length P1 (elem_len), the amplitude factor P3 (rf_amp), the
// harmonic P2 (refused unless positive) and the step count elem_int(n, 11).
struct RfGapLine {
  std::size_t pos = 0;  // ipos
  std::int32_t NN = 0;  // table number
  double L = 0.0;       // cm
  double harmonic = 0.0;
};
RfGapLine enter_rf_gap_line(ElementsContext& sim, int n);

// The RF table NN of an RF gap through the table cache (every load refreshes
// APER(NN) and NCELLS(NN)); table_cache(6) := NN.
void load_rf_gap_table(ElementsContext& sim, std::int32_t NN);

// A harmonic number of an RF line must be positive: it divides the
// wavelength. Stops the run naming element line n and the value otherwise.
void check_rf_harmonic(const ElementsContext& sim, int n, double harmonic);

// An RF gap at harmonic h more than 1 % away from the operating harmonic
// switches the whole beam to it: every live phase (all charge states, test
// particles included) times h/harm, wavelength_2pi := wavelength/h/(2 pi),
// harm := h. Within 1 % nothing changes.
void switch_harmonic(ElementsContext& sim, double h);

// Exit of the design particle from the current element.
struct DesignExit {
  bool through = false;  // reached the exit plane with a usable state
  double W = 0.0;        // exit energy, keV/u (0 when not through)
  double phase = 0.0;    // exit phase, rad
};

// Sub-steps of one push of the design particle through an element before
// the run stops (a field that holds it back without stopping it).
inline constexpr long kScanMaxSubsteps = 1000000;

// The design particle (Q/A = qa_push, on the axis, speed beta0, phase 0)
// through the current element along the rows of ref_path in the field of
// field_at at rf_phase (ref.elem_phase), in sub-steps that change its energy
// by about 10 % at most. A particle that stops, turns back or whose state
// stops being finite is not through. More than kScanMaxSubsteps sub-steps
// stop the run naming the element.
DesignExit design_exit(ElementsContext& sim, double beta0);

// The scan of one RF period: 30 phases phi_j = j 2 pi/29 (0 and 2 pi both
// included), the exit energy W_j of the design particle (entrance energy
// ref_W_in(ipos)) at each, and whether it got through. Space charge is off
// during the scan; rf_phase is left at 2 pi; qa_push := QDESIGN/ADESIGN.
inline constexpr int kScanPhases = 30;
struct PhaseScan {
  std::array<double, kScanPhases> phi{};  // rad
  std::array<double, kScanPhases> W{};    // keV/u, 0 where not through
  std::array<bool, kScanPhases> through{};
  int count_through() const;
};
PhaseScan scan_design_phases(ElementsContext& sim);

}  // namespace linac
