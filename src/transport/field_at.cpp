#include "transport/field_at.hpp"

#include <fmt/format.h>

#include "transport/transport_context.hpp"
#include "platform/fatal.hpp"
#include "transport/ecorr.hpp"
#include "transport/enge.hpp"
#include "transport/seams.hpp"
#include "transport/table_fields.hpp"

namespace linac {

bool type_without_field(int itype) {
  switch (itype) {
    case 0:   // commands
    case 7:   // corr, zero
    case 12:  // slit
    case 13:  // fhide
    case 14:
    case 19:
    case 20:
    case 23:  // shrt
    case 24:  // strip
    case 26:  // phcor
    case 27:
      return true;
    default:
      return itype > 32 || itype < 0;
  }
}

namespace {

[[noreturn]] void field_source_not_built(const TransportContext& sim) {
  const int t = sim.state.itype;
  const std::string name =
      (t >= 0 && t <= kElementTypes) ? sim.types.type_names[t].trimmed() : std::string("?");
  fatal({fmt::format(" {}: the field of element type {} ({}) is not available yet",
                     element_label(sim, sim.state.ipos), t, name)},
        true);
}

}  // namespace

ScField2d sc_field_2d_source(const TransportContext& sim) { return sim.hooks.sc_field_2d(sim); }

void check_added_fields(const TransportContext& sim) {
  // The superimposed field needs the table of an ebfld line of this run (a
  // restored beam state brings back the switch alone).
  if (ebfld_active(sim)) ebfld_source(sim);
}

void field_at(TransportContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B) {
  const ReferenceBlock& r = sim.ref;
  bool inside = true;
  const int itype = sim.state.itype;
  if (itype == 1) {
    const FieldAt<DriftAperture> drift{{r.drift_aper_x, r.drift_aper_y}};
    inside = drift(x, y, z, t, E, B);
  } else if (itype == 3) {
    inside = sim.hooks.bend_field(sim, x, y, z, t, E, B);
  } else if (itype == 32) {
    inside = ecorr_field_at(sim, x, y, z, t, E, B);
  } else if (itype == 10 || itype == 31) {
    inside = sim.hooks.mhb_field(sim, x, y, z, t, E, B);  // mhb, mhb4
  } else if (itype == 9) {
    inside = sim.hooks.rfq_field(sim, x, y, z, t, E, B);
  } else if (is_lens_type(itype)) {
    inside = lens_field_at(sim, x, y, z, t, E, B);
  } else if (type_without_field(itype)) {
    const FieldAt<NoField> none{};
    inside = none(x, y, z, t, E, B);
  } else if (table_field_at(sim, x, y, z, t, E, B, inside)) {
    // the field tables: sol, bunch, cav, deck, einz, eq3d, sol3d, extrc,
    // uds, eh3d, ehex, comb
  } else {
    field_source_not_built(sim);
  }
  check_added_fields(sim);
  if (ebfld_active(sim)) add_ebfld_field(sim, x, y, z, E, B);
  const ScField2d sc2d = sc_field_2d_source(sim);
  if (sc2d.grid != nullptr) {
    // The element fields above come without the space-charge field; it is
    // added here in V/cm and converted alike.
    const bool on_axis = std::sqrt(x * x + y * y) < kAxisShift;
    Vec3 Es{0.0, 0.0, 0.0};
    add_sc_field_2d(sc2d, on_axis ? kAxisShift : x, on_axis ? 0.0 : y, z, Es);
    for (int k = 0; k < 3; ++k) E[k] = E[k] + Es[k] * kVoltPerCmScale / kSpeedOfLightSi;
  }
  note_field_evaluation(sim, inside, E, B);
}

void note_field_evaluation(TransportContext& sim, bool inside, const Vec3& E, const Vec3& B) {
  if (!inside) sim.state.ilost = -1;
  for (int k = 0; k < 3; ++k) {
    sim.ref.last_E[k + 1] = E[k];
    sim.ref.last_B[k + 1] = B[k];
  }
}

}  // namespace linac
