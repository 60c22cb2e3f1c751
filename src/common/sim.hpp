// The run context: owns every record of one run and the platform services
// the run writes through. Two Sim objects never share state. A Sim is large
// (the particle block alone is about 90 MB): make it with make_sim().
#pragma once

#include <memory>

#include "beam/err_stats.hpp"
#include "beam/out_tables.hpp"
#include "beam/phase_groups.hpp"
#include "beam/plots.hpp"
#include "beam/stats.hpp"
#include "common/records.hpp"
#include "control/dispatcher.hpp"
#include "corrections/corr_study.hpp"
#include "elements/bend_field.hpp"
#include "elements/rf_records.hpp"
#include "elements/rfq/rfq_field.hpp"
#include "elements/stripper_table.hpp"
#include "numerics/numerics_state.hpp"
#include "platform/clock.hpp"
#include "platform/screen.hpp"
#include "platform/units.hpp"
#include "spacecharge/sc_grid.hpp"
#include "platform/viewer_input.hpp"
#include "transport/transport_state.hpp"
#include "transport/field_tables.hpp"

namespace linac {

struct Sim {
  Sim() = default;
  Sim(const Sim&) = delete;
  Sim& operator=(const Sim&) = delete;

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
  TransportState transport;  // reference path, step geometry, placement
  FieldMapRecords fieldmap;  // lens strengths, Enge coefficients, ecorr and ehex state
  // Energy filter: the values one filter leaves for the next.
  FilterMemory filter_memory;
  double PART = 0.0;  // fraction of particles for the partial emittances
  ChargeGroups charge_groups;
  QstatePhases qphase;
  BeamMoments beam_moments;
  BeamStats stats;
  BeamOutput beam_out;
  PrmtrRequests prmtr;  // field-extraction and space-charge output requests
  // Error-seed statistics: the particles of all seeds pooled per position.
  ErrStatAccumulators err_acc;

  // Charge stripper: the stripper file last read (table_cache(24) names it).
  StripperTable stripper;

  // Space-charge box, grids, solver tables and mesh-check state.
  ScGrid sc_grid;

  // Plot picture and step viewer (IGRAPH = 1), and the mesh report of the
  // space-charge solve that its panel shows.
  PlotWindows plots;
  ScMeshReport sc_mesh;

  // Bending magnet: the geometry of the magnet being run.
  BendGeom bmag_geom;

  // RF cavities, bunchers and multi-harmonic bunchers: the last phase scan,
  // the buncher search and the multi-harmonic buncher being run.
  RfElementRecords rf;

  // Numerical library: random stream, error stack, units and options.
  NumericsState numerics;
  HandlerRegistry handlers;  // element drivers and lattice commands by keyword

  // Field tables: the 3-D, 2-D and on-axis tables in use, the ebfld table
  // and the cache every table is loaded through.
  FieldTables field_tables;

  // Corrections of an error study: sections, steering tables and sums.
  CorrStudy corr_study;

  // RFQ: the cells of every rfq line, by element line, and the RFQ being run.
  RfqLines rfq_lines;
  RfqRunCell rfq_run;  // the cell being run as field_at sees it
};

std::unique_ptr<Sim> make_sim();

// The start values a run gives its records before anything is read, and
// the defaults of the parameter file's members.
void set_start_values(Sim& sim);
void set_remaining_defaults(Sim& sim);

}  // namespace linac
