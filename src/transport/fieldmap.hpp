// The field-map element drivers: elements whose field a table or a lens
// formula gives over a straight length of lattice. They share one driver,
// run_field_map, which follows the stepping template and takes what differs
// from keyword to keyword from a descriptor: the columns of the line, the
// type code, the table and its kind, which field scale takes the relative
// field error and which the one-shot scan factor, how the step count is
// found, and the statistics pattern.
#pragma once

#include <cstdint>
#include <string_view>

#include "transport/enge.hpp"

namespace linac {

struct TransportContext;

// Field scales of an element that a factor may act on (bit set).
enum FieldScaleBit : unsigned {
  kScaleNone = 0,
  kScaleField1 = 1,  // field1 (magnetic scale)
  kScaleField2 = 2,  // field2 (electric scale)
  kScaleMult1 = 4,   // mult_coef(1) (quadrupole component of a multipole)
};

// Where the step count of a line comes from.
enum class StepRule {
  line,          // I11 of the line; 0 is refused
  line_or_iint,  // I11, IINT when 0 (sol)
  p4,            // nint(P4) (comb)
};

// The field table of an element.
enum class TableLoad {
  none,         // a formula (the Enge lenses)
  eh_ems,       // 3-D static table, read at every run
  eh_ems_cached,  // 3-D static table, read again only for another number (uds)
  solenoid,     // on-axis solenoid table, cached (sol)
  two_2d,       // two 2-D tables (comb)
};

// One row of the keyword table. Column numbers name P1..P11 of the line; 0
// means the line does not give the value.
struct FieldMapKind {
  std::string_view keyword;
  std::int32_t itype;
  int len_col;      // element length L
  int field1_col;   // field1
  int field2_col;   // field2
  int eff_len_col;  // effective length of a lens
  int ap_col;       // aperture radius
  int mult_col;     // first of the multipole coefficients mult_coef(1..)
  int mult_count;   // how many of them
  TableLoad table;
  std::int32_t table_kind;  // what the 3-D table holds: 0 E, 1 B, 2 E and B
  std::int32_t table_sym;   // symmetry class; -1: as the dispatcher left it
  unsigned error_scales;    // scales multiplied by 1 + rel_field_error
  unsigned scan_scales;     // scales multiplied by the scan factor
  StepRule steps;
  bool enge;          // lens with Enge fringes: coefficients loaded, gap 2 ap
  bool sets_ifringe;  // ifringe := I12 of the line
};

// The row of a keyword (five characters, blank-filled or trimmed); nullptr
// for a keyword that is not a field-map element.
const FieldMapKind* field_map_kind(std::string_view keyword);

// The drivers, one per keyword, each for element line n.
void quad_element(TransportContext& sim, std::int32_t n);
void equad_element(TransportContext& sim, std::int32_t n);
void mult_element(TransportContext& sim, std::int32_t n);
void m5_element(TransportContext& sim, std::int32_t n);
void uds_element(TransportContext& sim, std::int32_t n);
void sol_element(TransportContext& sim, std::int32_t n);
void comb_element(TransportContext& sim, std::int32_t n);
void einz_element(TransportContext& sim, std::int32_t n);
void eq3d_element(TransportContext& sim, std::int32_t n);
void ehex_element(TransportContext& sim, std::int32_t n);
void sol3d_element(TransportContext& sim, std::int32_t n);
void eh3d_element(TransportContext& sim, std::int32_t n);
void deck_element(TransportContext& sim, std::int32_t n);
void ecorr_element(TransportContext& sim, std::int32_t n);
void extrc_element(TransportContext& sim, std::int32_t n);

// Step count of element line n by its rule: a count of 0 (where the line must
// give one) or above the capacity stops the run naming the element.
// The two Enge coefficient sets in use for element type itype: from the
// enge lines that named them (enge_src), else the given defaults.
void load_enge_coefficients(TransportContext& sim, std::int32_t itype, const EngeSet& defaults);

std::int32_t field_map_step_count(const TransportContext& sim, int n, const FieldMapKind& kind);

// The one-shot scan factor and then the relative field error on the scales
// of the element (after the entrance statistics, so the design particle sees
// the unscaled field).
void apply_scan_and_field_error(TransportContext& sim, const FieldMapKind& kind);

}  // namespace linac
