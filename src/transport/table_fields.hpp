// Field sources of the table elements for FieldAt (transport/field_at.hpp):
// small value types holding a pointer to their immutable table and the
// element's scalars, with element_field(xl, yl, z, t, E, B) returning the
// field in V/cm and G with the element's scale factors and time dependence,
// and false outside the aperture. A driver makes its source once per
// element (the *_source functions read the run context) and instantiates
// step_element on FieldAt<Source>; with_added_fields composes the
// superimposed field of the ebfld command when it is on.
#pragma once

#include <cmath>

#include "transport/field_at.hpp"
#include "transport/field_tables.hpp"
#include "transport/rf_table_lanes.hpp"
#include "transport/solenoid_lanes.hpp"
#include "transport/static_table_lanes.hpp"
#include "transport/table_interp_inline.hpp"

namespace linac {

struct TransportContext;

// Static 3-D table (deck, einz, eq3d, ehex, sol3d, extrc, eh3d, uds):
// E := escale E (times cos t for uds), B := bscale B.
struct StaticTableSource {
  const Table3D* table = nullptr;
  StaticTableGeometry geom;
  double escale = 1.0;
  double bscale = 1.0;
  bool cos_t = false;  // uds: E also times cos(t), the element phase not added

  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    const TableHit hit = table_inline::static_table_field(*table, geom, x, y, z, E, B);
    const double es = cos_t ? escale * std::cos(t) : escale;
    for (int k = 0; k < 3; ++k) {
      E[k] = es * E[k];
      B[k] = bscale * B[k];
    }
    return hit != TableHit::lost;
  }
  // The same for W points at once (active[l]: evaluate lane l; t: the
  // phases, read for uds only), the field laid out by component and lane.
  template <int W>
  void element_field_lanes(const double* x, const double* y, const double* z, const double* t,
                           const bool* active, double (&E)[3][W], double (&B)[3][W],
                           bool* inside) const {
    table_lanes::static_table_field_lanes<W>(*table, geom, x, y, z, active, E, B, inside);
    table_lanes::scale_lanes<W>(escale, bscale, cos_t, t, active, E, B);
  }
};

// RF table (cav, bunch): E := rf_amp E cos(phi), B := rf_amp B sin(phi),
// phi = rf_phase + t.
struct RfTableSource {
  const Table3D* table = nullptr;
  double L = 0.0;           // cm
  double aperture_r = 0.0;  // cm
  double rf_amp = 0.0;
  double rf_phase = 0.0;    // rad

  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    const TableHit hit = rf_table_field(*table, L, aperture_r, x, y, z, E, B);
    const double phi = rf_phase + t;
    const double ce = rf_amp * std::cos(phi);
    const double sb = rf_amp * std::sin(phi);
    for (int k = 0; k < 3; ++k) {
      E[k] = ce * E[k];
      B[k] = sb * B[k];
    }
    return hit != TableHit::lost;
  }
  // The same for W points at once (active[l]: evaluate lane l; t[l]: its
  // phase), the field laid out by component and lane.
  template <int W>
  void element_field_lanes(const double* x, const double* y, const double* z, const double* t,
                           const bool* active, double (&E)[3][W], double (&B)[3][W],
                           bool* inside) const {
    rf_table_field_lanes<W>(*table, L, aperture_r, x, y, z, active, E, B, inside);
    rf_time_factors_lanes<W>(rf_amp, rf_phase, t, active, E, B);
  }
};

// 2-D table of deck and einz (slot 1): E := escale E, B unscaled.
struct Table2DSource {
  const Table2D* table = nullptr;
  double L = 0.0, aperture_r = 0.0;  // cm
  double escale = 1.0;

  bool element_field(double x, double y, double z, double, Vec3& E, Vec3& B) const {
    const TableHit hit = table2d_field(*table, L, aperture_r, x, y, z, E, B);
    for (int k = 0; k < 3; ++k) E[k] = escale * E[k];
    return hit != TableHit::lost;
  }
};

// comb: the two 2-D slots, E := field2 E1 + field1 E2, B likewise.
struct CombSource {
  const Table2D* slot1 = nullptr;
  const Table2D* slot2 = nullptr;
  double L = 0.0, aperture_r = 0.0;  // cm
  double field1 = 0.0, field2 = 0.0;

  bool element_field(double x, double y, double z, double, Vec3& E, Vec3& B) const {
    Vec3 E1, B1, E2, B2;
    const TableHit h1 = table2d_field(*slot1, L, aperture_r, x, y, z, E1, B1);
    const TableHit h2 = table2d_field(*slot2, L, aperture_r, x, y, z, E2, B2);
    for (int k = 0; k < 3; ++k) {
      E[k] = field2 * E1[k] + field1 * E2[k];
      B[k] = field2 * B1[k] + field1 * B2[k];
    }
    return h1 != TableHit::lost && h2 != TableHit::lost;
  }
};

// sol with an on-axis table: B := field1 sol_field, E = 0.
struct SolenoidSource {
  static constexpr bool kNoElectricField = true;  // the lanes give +0 for it
  const AxisTable* table = nullptr;
  double L = 0.0, aperture_r = 0.0;  // cm
  double field1 = 0.0;

  bool element_field(double x, double y, double z, double, Vec3& E, Vec3& B) const {
    E = {0.0, 0.0, 0.0};
    const TableHit hit = sol_field(*table, L, aperture_r, x, y, z, B);
    for (int k = 0; k < 3; ++k) B[k] = field1 * B[k];
    return hit != TableHit::lost;
  }
  // The same for W points at once (active[l]: evaluate lane l), the field
  // laid out by component and lane.
  template <int W>
  void element_field_lanes(const double* x, const double* y, const double* z, const bool* active,
                           double (&E)[3][W], double (&B)[3][W], bool* inside) const {
    sol_field_lanes<W>(*table, L, aperture_r, x, y, z, active, B, inside);
    for (int k = 0; k < 3; ++k)
      for (int l = 0; l < W; ++l) {
        E[k][l] = 0.0;
        B[k][l] = field1 * B[k][l];
      }
  }
};

// The superimposed field of the ebfld command over the current element:
// z_shift = z_entry - ebfld_z0 turns the element's z into the distance from
// the region's start.
struct EbfldSource {
  const Table3D* table = nullptr;
  EbfldGeom geom;
  double z_shift = 0.0;  // cm

  void add(double x, double y, double z, Vec3& E, Vec3& B) const {
    Vec3 Ee, Be;
    ebfld_field(*table, geom, x, y, z_shift + z, Ee, Be);
    for (int k = 0; k < 3; ++k) {
      E[k] = E[k] + geom.ebfld_escale * Ee[k];
      B[k] = B[k] + geom.ebfld_bscale * Be[k];
    }
  }
};

// An element source with the superimposed field added.
template <class Source>
struct WithEbfld {
  Source element;
  EbfldSource added;

  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    const bool inside = element.element_field(x, y, z, t, E, B);
    added.add(x, y, z, E, B);
    return inside;
  }
};

// The sources of the current element, from the run context (the driver has
// set the scalars and loaded the table). A missing table stops the run with
// a message naming the element.
StaticTableSource static_table_source(const TransportContext& sim);
RfTableSource rf_table_source(const TransportContext& sim);
Table2DSource table2d_source(const TransportContext& sim);
CombSource comb_source(const TransportContext& sim);
SolenoidSource solenoid_source(const TransportContext& sim);
// The superimposed field as the current element sees it (iflag_ebfld = 1).
EbfldSource ebfld_source(const TransportContext& sim);

// Calls run(field) once with FieldAt<Source> when the superimposed field is
// off, or with FieldAt<WithEbfld<Source>> when it is on: the driver's
// stepping is instantiated on the composed source, resolved once per element.
template <class Source, class Run>
void with_added_fields(const TransportContext& sim, const Source& source, Run&& run);

// field_at of the table element types (2, 5, 6, 11, 15, 16, 18, 21, 22, 25,
// 28, 30): the element field (E, B as FieldAt gives them) and whether the
// point was inside; false when itype is none of them.
bool table_field_at(TransportContext& sim, double x, double y, double z, double t, Vec3& E, Vec3& B,
                    bool& inside);

// True while the superimposed field of an ebfld command is on.
bool ebfld_active(const TransportContext& sim);

// Adds the superimposed field at a point of the current element to E and B
// given in the units of FieldAt (E/c and B in T): field_at's share of it.
void add_ebfld_field(const TransportContext& sim, double x, double y, double z, Vec3& E, Vec3& B);

template <class Source, class Run>
void with_added_fields(const TransportContext& sim, const Source& source, Run&& run) {
  if (ebfld_active(sim)) {
    const FieldAt<WithEbfld<Source>> field{{source, ebfld_source(sim)}};
    run(field);
  } else {
    const FieldAt<Source> field{source};
    run(field);
  }
}

}  // namespace linac
