#include "transport/table_fields.hpp"

#include <fmt/format.h>

#include "transport/transport_context.hpp"
#include "platform/fatal.hpp"
#include "transport/seams.hpp"

namespace linac {

namespace {

[[noreturn]] void no_table(const TransportContext& sim, const char* what) {
  fatal({fmt::format(" {}: no {} is loaded for the field of this element",
                     element_label(sim, sim.state.ipos), what)},
        true);
}

}  // namespace

StaticTableSource static_table_source(const TransportContext& sim) {
  const ReferenceBlock& r = sim.ref;
  const auto& t = sim.field_tables.field3d;
  if (!t) no_table(sim, "3-D field table");
  StaticTableSource s;
  s.table = t.get();
  s.geom.L = r.elem_len;
  s.geom.aper_x = r.aper_x;
  s.geom.aper_y = r.aper_y;
  s.geom.kind = sim.state.table_kind;
  s.geom.mirror = static_mirror_rules(sim.state.table_kind, sim.state.table_sym);
  switch (sim.state.itype) {
    case 18:  // sol3d
      s.bscale = r.field1;
      break;
    case 21:  // extrc
    case 25:  // eh3d
      s.escale = r.field2;
      s.bscale = r.field1;
      break;
    case 22:  // uds
      s.escale = r.field2;
      s.cos_t = true;
      break;
    default:  // deck, einz, eq3d, ehex
      s.escale = r.field2;
      break;
  }
  return s;
}

RfTableSource rf_table_source(const TransportContext& sim) {
  const auto& t = sim.field_tables.field3d;
  if (!t) no_table(sim, "RF field table");
  const ReferenceBlock& r = sim.ref;
  return RfTableSource{t.get(), r.elem_len, r.aperture_r, r.rf_amp, r.elem_phase};
}

Table2DSource table2d_source(const TransportContext& sim) {
  const auto& t = sim.field_tables.table2d[1];
  if (!t) no_table(sim, "2-D field table");
  const ReferenceBlock& r = sim.ref;
  return Table2DSource{t.get(), r.elem_len, r.aperture_r, r.field2};
}

CombSource comb_source(const TransportContext& sim) {
  const auto& t1 = sim.field_tables.table2d[1];
  const auto& t2 = sim.field_tables.table2d[2];
  if (!t1 || !t2) no_table(sim, "pair of 2-D field tables");
  const ReferenceBlock& r = sim.ref;
  return CombSource{t1.get(), t2.get(), r.elem_len, r.aperture_r, r.field1, r.field2};
}

SolenoidSource solenoid_source(const TransportContext& sim) {
  const auto& t = sim.field_tables.axis_table;
  if (!t) no_table(sim, "solenoid table");
  const ReferenceBlock& r = sim.ref;
  return SolenoidSource{t.get(), r.elem_len, r.aperture_r, r.field1};
}

bool ebfld_active(const TransportContext& sim) { return sim.config.iflag_ebfld == 1; }

EbfldSource ebfld_source(const TransportContext& sim) {
  const FieldTables& ft = sim.field_tables;
  if (!ft.ebfld_table)
    fatal({fmt::format(" {}: the superimposed field is switched on (iflag_ebfld = 1), but no ebfld "
                       "line of this run has loaded its table",
                       element_label(sim, sim.state.ipos)),
           " a restored beam state keeps the switch, not the table: repeat the ebfld line after "
           "the restart, or set iflag_ebfld=0 with a prmtr line"},
          true);
  return EbfldSource{ft.ebfld_table.get(), ft.ebfld_geom, sim.ref.z_entry - ft.ebfld_geom.ebfld_z0};
}

namespace {

// The superimposed field alone, as a source.
struct EbfldOnly {
  EbfldSource added;
  bool element_field(double x, double y, double z, double, Vec3& E, Vec3& B) const {
    E = {0.0, 0.0, 0.0};
    B = {0.0, 0.0, 0.0};
    added.add(x, y, z, E, B);
    return true;
  }
};

}  // namespace

void add_ebfld_field(const TransportContext& sim, double x, double y, double z, Vec3& E, Vec3& B) {
  const FieldAt<EbfldOnly> field{{ebfld_source(sim)}};
  Vec3 Ee, Be;
  field(x, y, z, 0.0, Ee, Be);
  for (int k = 0; k < 3; ++k) {
    E[k] = E[k] + Ee[k];
    B[k] = B[k] + Be[k];
  }
}

namespace {

template <class Source>
bool evaluate(const Source& s, double x, double y, double z, double t, Vec3& E, Vec3& B) {
  const FieldAt<Source> field{s};
  return field(x, y, z, t, E, B);
}

}  // namespace

bool table_field_at(TransportContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B,
                    bool& inside) {
  switch (sim.state.itype) {
    case 2:  // sol (on-axis table)
      inside = evaluate(solenoid_source(sim), x, y, z, t, E, B);
      return true;
    case 5:  // bunch
    case 6:  // cav
      inside = evaluate(rf_table_source(sim), x, y, z, t, E, B);
      return true;
    case 11:  // deck
    case 16:  // einz
      if (sim.state.IAXIAL == 1) {
        inside = evaluate(table2d_source(sim), x, y, z, t, E, B);
        return true;
      }
      [[fallthrough]];
    case 15:  // eq3d
    case 18:  // sol3d
    case 21:  // extrc
    case 22:  // uds
    case 25:  // eh3d
    case 28:  // ehex
      // The static table clears the loss flag at every evaluation inside
      // the element, so the flag tells about this evaluation only.
      if (z >= 0.0 && z <= sim.ref.elem_len) sim.state.ilost = 0;
      inside = evaluate(static_table_source(sim), x, y, z, t, E, B);
      return true;
    case 30:  // comb
      inside = evaluate(comb_source(sim), x, y, z, t, E, B);
      return true;
    default:
      return false;
  }
}

}  // namespace linac
