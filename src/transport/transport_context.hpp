// The run records as the transport routines see them: the reference path,
// step geometry and placement of the current element, the field tables and
// the energy filter's memory; and the routines of the layers above that
// every element driver calls (the space-charge solve and kick of a step,
// the fields of the bend, the multi-harmonic buncher and the RFQ), which
// those layers install when their contexts are made.
#pragma once

#include <cstdint>

#include "beam/beam_context.hpp"
#include "transport/field_at.hpp"
#include "transport/field_tables.hpp"
#include "transport/transport_state.hpp"

namespace linac {

struct TransportContext;

// A field of the current element evaluated by a layer above transport:
// (x, y, z) in the element frame (cm), t the RF phase (rad); false when the
// point is outside the aperture.
using ElementFieldFn = bool (*)(TransportContext&, double x, double y, double z, double t,
                                Vec3& E, Vec3& B);

struct TransportHooks {
  // Space charge of integration step k: the solve, then the kick over ds (cm).
  void (*space_charge)(TransportContext&, int k) = nullptr;
  void (*sc_kick)(TransportContext&, double ds) = nullptr;
  // The 2-D space-charge field while it acts, else none.
  ScField2d (*sc_field_2d)(const TransportContext&) = nullptr;
  // Fields of the bending magnet, the multi-harmonic bunchers and the RFQ.
  ElementFieldFn bend_field = nullptr;
  ElementFieldFn mhb_field = nullptr;
  ElementFieldFn rfq_field = nullptr;
};

struct TransportContext : BeamContext {
  TransportState transport;  // reference path, step geometry, placement
  // Energy filter: the values one filter leaves for the next.
  FilterMemory filter_memory;
  // Field tables: the 3-D, 2-D and on-axis tables in use, the ebfld table
  // and the cache every table is loaded through.
  FieldTables field_tables;
  TransportHooks hooks;
};

}  // namespace linac
