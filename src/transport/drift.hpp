// The drift element and the lattice commands vary and fit.
#pragma once

#include <cstdint>

namespace linac {

struct TransportContext;

// Element line n: drift of length P1 (cm) with aperture half sizes P2, P3
// (cm; P3 < 0 elliptic, > 0 rectangular, 0 none) in elem_int(n, 11) steps
// (0: one step per quarter of the distance the design particle travels in
// one RF period, plus one; at least 2).
void drift_element(TransportContext& sim, std::int32_t n);

// Step count of a drift of length L (cm) whose line gives `given` steps, for
// the design velocity beta_s and the RF wavelength over 2 pi wavelength_2pi
// (cm/rad). Returned as a real so that a count beyond the capacity can be
// reported.
double drift_step_count(int given, double L, double beta_s, double wavelength_2pi);

// vary and fit lines: no action.
void vary_cmd(TransportContext& sim, std::int32_t n);
void fit_cmd(TransportContext& sim, std::int32_t n);

}  // namespace linac
