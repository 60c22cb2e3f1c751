// The buncher (bunch): an RF gap of an eh_MWS.#NN table run at the phase
// where it leaves the design particle's energy unchanged with a rising
// slope, so that it bunches the beam without accelerating its centre. The
// crossing is found in the nominal pass from the exit energies of the design
// particle over 144 entrance phases; reference and beam run at it in every
// pass, with the line's amplitude P3 (times 1 + the relative field error in
// an error study).
//
// Also here: the amplitude search over a characteristic (built, not called
// by the driver: the characteristic the search is meant for does not depend
// on the amplitude), and the phase scan of the four-harmonic buncher mhb4,
// which looks for the rising crossing of the design particle's energy.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "elements/rf_records.hpp"

namespace linac {

struct ElementsContext;

// The driver of a bunch line (element line n).
void bunch_element(ElementsContext& sim, std::int32_t n);

// One characteristic of the current buncher at amplitude rf_amp: the exit
// energies of the design particle (Q/A = qa_push, entrance energy w0) for the
// 144 entrance phases -90 deg + j 2.5 deg, pushed in fixed steps h (cm) to
// the exit plane; the last bracket where the energy rises through w0,
// refined by 15 bisections. Writes elem_rf_phase (the crossing), ref_phase_out,
// ref_W_in and ref_W_out of the position. Phases at which the design
// particle does not get through never end a bracket.
struct BunchCharacteristic {
  bool crossing = false;  // a rising crossing of w0 was found
  // -((2 r M55 + M56)/(r^2 + e) + M65) from the beam's longitudinal moments
  // (r = s56/s66, e = (s55 s66 - s56^2)/s66^2) and the last matrix element's
  // M; 0 for a beam without energy spread.
  double value = 0.0;
};
BunchCharacteristic bunch_characteristic(ElementsContext& sim, BuncherSearch& search, double h);

// The amplitude search: amplitudes A_j = 0.25 j + 0.1 (0.1 in single
// precision), j = 1..50, until the characteristic g(A) is not positive, then
// at most 25 bisections between the last two amplitudes (amplitude 0 before
// the first) with the lower end raised while g > 0. The amplitude found, or
// none when g stays positive over all 50.
std::optional<double> bunch_voltage_search(BuncherSearch& search,
                                           const std::function<double(double)>& characteristic);

// The phase scan of mhb4: the design particle's exit energy at 30 RF phases
// over one period (plus the periodic node at 2 pi + 2 pi/29), spline, and the
// rising crossings of w0 on a grid of 1500 cells; the last one (rad), or
// none. Writes the scan listing to log.dat for each crossing found when
// itype = 31. offset is not used.
std::optional<double> mhb4_phase_scan(ElementsContext& sim, double offset);

}  // namespace linac
