// The field of the electrostatic corrector ecorr: one static 3-D table used
// twice, as read (scaled by kick_y) and with x and y exchanged (scaled by
// kick_x), so one table steers in both planes. The aperture is tested once,
// at the particle's own (x, y); the exchanged evaluation gives field only.
// Its magnetic field is dropped.
#pragma once

#include <array>
#include <cstdint>

#include "common/constants.hpp"
#include "transport/field_tables.hpp"
#include "transport/table_fields.hpp"

namespace linac {

struct TransportContext;

struct EcorrSource {
  const Table3D* table = nullptr;
  StaticTableGeometry geom;
  double kick_x = 0.0;  // factor on the field at the exchanged point
  double kick_y = 0.0;  // factor on the field at the point
  // The strengths by particle: base_* for every particle, plus trial_* for
  // the particle whose status equals tag_*.
  double base_x = 0.0, base_y = 0.0;
  std::int32_t tag_x = -1, tag_y = -1;
  double trial_x = 0.0, trial_y = 0.0;

  bool element_field(double x, double y, double z, double, Vec3& E, Vec3& B) const {
    Vec3 Ea, Ba, Eb, Bb;
    const TableHit hit = table_inline::static_table_field(*table, geom, x, y, z, Ea, Ba);
    StaticTableGeometry exchanged = geom;
    exchanged.aper_y = 0.0;  // no aperture test at the exchanged point
    table_inline::static_table_field(*table, exchanged, y, x, z, Eb, Bb);
    E[0] = kick_x * Eb[1] + kick_y * Ea[0];
    E[1] = kick_x * Eb[0] + kick_y * Ea[1];
    E[2] = kick_x * Eb[2] + kick_y * Ea[2];
    B = {0.0, 0.0, 0.0};
    return hit != TableHit::lost;
  }
};

// The source that acts on a particle of the given status.
inline EcorrSource source_for_status(const EcorrSource& s, std::int32_t status) {
  EcorrSource r = s;
  r.kick_x = s.base_x + (status == s.tag_x ? s.trial_x : 0.0);
  r.kick_y = s.base_y + (status == s.tag_y ? s.trial_y : 0.0);
  return r;
}

// With the superimposed field added.
template <class Source>
auto source_for_status(const WithEbfld<Source>& s, std::int32_t status)
    -> WithEbfld<decltype(source_for_status(s.element, status))> {
  return {source_for_status(s.element, status), s.added};
}

// The corrector strengths of an ecorr line: P8 and P9, the test-particle
// tags of its two planes and the trial kicks by tag (0..100).
struct CorrectorKicks {
  double base_x = 0.0, base_y = 0.0;
  std::int32_t tag_x = -1, tag_y = -1;
  const std::array<double, kCorrectorKicks>& trial;
};

// The source of the current ecorr element (the table loaded, the apertures
// set) with the strengths by particle; kick_x, kick_y as the run context
// holds them.
EcorrSource ecorr_source(const TransportContext& sim, const CorrectorKicks& k);

// field_at of type 32 with kick_x and kick_y of the run context; the loss
// flag is cleared at every evaluation inside the element, as for the other
// static tables.
bool ecorr_field_at(TransportContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B);

}  // namespace linac
