// The lattice reader: linac.dat into the element table, one slot per
// command line, with the end position of every element.
#pragma once

#include <cstdint>
#include <string_view>

namespace linac {

struct ControlContext;

// Reads linac.dat from the working directory into sim.elements (slots
// 1..nel), sets iel_first, iel_last, s_entry, the restart line (iscrch,
// iscrch_elem), the AijRFQ switches of prmtr lines and, for rfq lines,
// calls the RFQ cell-file reader. Returns nel, the number of element lines.
std::int32_t ReadElements(ControlContext& sim);

// Code of a prmtr parameter name field (the text between "prmtr" and "="):
// the last name of the parameter table, in table order, that occurs in it
// (case-blind); 0 when none does.
std::int32_t prmtr_code(std::string_view name_field);

}  // namespace linac
