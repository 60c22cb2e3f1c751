// The RF cavity (cav, and cavc, the cavity that serves as a longitudinal
// corrector): an accelerating gap whose field comes from an RF 3-D table
// eh_MWS.#NN. In the nominal pass it finds its own phase by a scan of the
// design particle over one RF period (the line gives the phase relative to
// the crest), draws its random amplitude factor and lists its TRACE3D
// parameters in log.dat; the amplitude and phase it runs at are the set-points
// P8, P9 of its line, which the longitudinal correction may rewrite, plus the
// weighted errors of the error study and, for a tagged test particle, the
// trial step of the correction.
#pragma once

#include <array>
#include <cstdint>

#include "common/constants.hpp"
#include "transport/ecorr.hpp"  // source_for_status of a source with the ebfld field
#include "transport/table_fields.hpp"

namespace linac {

struct ElementsContext;

// The cavity's field source: the RF table at the amplitude and phase of an
// untagged particle, and the trial steps that the particles whose status
// equals a tag see on top of them.
struct CavitySource {
  RfTableSource gap;  // rf_amp = dA + P8, rf_phase = phase_error + P9
  std::int32_t amp_tag = -1, phase_tag = -1;
  double amp_trial = 0.0;    // added to rf_amp for status amp_tag
  double phase_trial = 0.0;  // added to rf_phase for status phase_tag, rad

  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    return gap.element_field(x, y, z, t, E, B);
  }
  template <int W>
  void element_field_lanes(const double* x, const double* y, const double* z, const double* t,
                           const bool* active, double (&E)[3][W], double (&B)[3][W],
                           bool* inside) const {
    gap.element_field_lanes<W>(x, y, z, t, active, E, B, inside);
  }
};

// The source that acts on a particle of the given status.
inline CavitySource source_for_status(const CavitySource& s, std::int32_t status) {
  CavitySource r = s;
  if (status == s.amp_tag) r.gap.rf_amp = s.gap.rf_amp + s.amp_trial;
  if (status == s.phase_tag) r.gap.rf_phase = s.gap.rf_phase + s.phase_trial;
  return r;
}

// The trial step of test tag `tag` (0..100; none outside).
double corrector_trial(const std::array<double, kCorrectorKicks>& kicks, std::int32_t tag);

// The driver of a cav line (element line n); the dispatcher calls it while
// IFLAG_CAV = 1.
void cav_element(ElementsContext& sim, std::int32_t n);

// The RF phase (rad) to run the current cavity at: the phase of largest
// exit energy of the design particle over one RF period plus offset (rad).
// Sets cav_energy_gain (that largest gain, keV/u); leaves rf_phase at the
// last scanned phase. Phases at which the design particle does not get
// through never give the maximum; a scan through which no phase carries it
// stops the run naming the element.
double cav_phase_scan(ElementsContext& sim, double offset);

}  // namespace linac
