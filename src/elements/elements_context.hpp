// The run records as the element drivers of this folder see them: the bend
// geometry, the RF records, the RFQ cells and the stripper file.
#pragma once

#include "elements/bend_field.hpp"
#include "elements/rf_records.hpp"
#include "elements/rfq/rfq_field.hpp"
#include "elements/stripper_table.hpp"
#include "spacecharge/sc_context.hpp"

namespace linac {

struct ElementsContext : SpaceChargeContext {
  // Installs the fields of the bend, the multi-harmonic bunchers and the
  // RFQ in the transport hooks.
  ElementsContext();

  // Charge stripper: the stripper file last read (table_cache(24) names it).
  StripperTable stripper;
  // Bending magnet: the geometry of the magnet being run.
  BendGeom bmag_geom;
  // RF cavities, bunchers and multi-harmonic bunchers: the last phase scan,
  // the buncher search and the multi-harmonic buncher being run.
  RfElementRecords rf;
  // RFQ: the cells of every rfq line, by element line, and the RFQ being run.
  RfqLines rfq_lines;
  RfqRunCell rfq_run;  // the cell being run as field_at sees it
};

}  // namespace linac
