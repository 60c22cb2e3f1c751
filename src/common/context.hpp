// The records of one run that every layer reads and writes, with the
// platform services the run writes through. Each layer above extends this
// with its own records (numerics, beam, transport, space charge, elements,
// matrices, corrections, control); the run context on top (run/sim.hpp)
// owns them all. A routine takes the context of its own layer, so it sees
// the records of its layer and those below, never those above.
#pragma once

#include "common/records.hpp"
#include "common/result_fields.hpp"
#include "platform/clock.hpp"
#include "platform/screen.hpp"
#include "platform/units.hpp"
#include "platform/viewer_input.hpp"

namespace linac {

struct CommonContext {
  CommonContext() = default;
  CommonContext(const CommonContext&) = delete;
  CommonContext& operator=(const CommonContext&) = delete;

  // Platform services.
  Screen screen;
  Clock clock;
  Units units{screen};
  ViewerInput viewer;  // the step viewer's typed answers

  // Records.
  ParticleArrays particles;
  ElementTable elements;
  RunConfig config;
  RunState state;
  ReferenceBlock ref;
  RefPath ref_path;  // the reference of the current element, one row per step end
  BeamParams beam;
  BeamCurrent current;
  NpatCounts npat;
  TypeTables types;
  ReferenceHistory history;
  InitialOffsets offsets;
  TableParams tables;
  TypeRecords type_rec;
  ElementFrame frame;
  BendDeltas bend;
  RfqFlags rfq;
  CorrLimits corr_limits;
  ScanState scan;
  ScGridSettings sc;
  CorrSettings corr;
  MatrxState matrx;
  FieldMapRecords fieldmap;  // lens strengths, Enge coefficients, ecorr and ehex state
  double PART = 0.0;  // fraction of particles for the partial emittances
  PrmtrRequests prmtr;  // field-extraction and space-charge output requests
  // The mesh report of the last space-charge solve, which the plot panel shows.
  ScMeshReport sc_mesh;
  // The first number of the run that a result file could not hold.
  ResultFields result_fields;
};

}  // namespace linac
