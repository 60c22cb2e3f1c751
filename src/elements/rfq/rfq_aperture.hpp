// The vane aperture of an RFQ cell: for every integration step the half axes
// of the ellipse that stands for the vane tips at the middle of the step.
#pragma once

#include <vector>

#include "elements/rfq/rfq_field.hpp"

namespace linac {

// What a cell with its own table adds: the table's field (for the fall
// cells' gradient probe) and its transverse extents, cm.
struct RfqTableLimit {
  const RfqCellKind* table_field = nullptr;  // null: the cell has no table
  double ax = 0.0, ay = 0.0;
};

// Half axes ax(j), ay(j), j = 1..nstep (index 0 unused), of cell i of s at
// the step centres zc = (j - 0.5) step_len (cm, from the cell entrance),
// before the aperRFQ scaling; aperRFQ = 0 makes a regular cell's aperture
// the circle of its minimum aperture a. Field-free cells have the circle
// of radius R.
void rfq_vane_aperture(const RfqCellSet& s, int i, int nstep, double step_len, double aperRFQ,
                       const RfqTableLimit& table, std::vector<double>& ax, std::vector<double>& ay);

}  // namespace linac
