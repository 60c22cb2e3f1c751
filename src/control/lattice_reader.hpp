// The lattice reader: linac.dat into the element table, one slot per
// command line, with the end position of every element.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace linac {

struct ControlContext;

// Reads linac.dat from the working directory into sim.elements (slots
// 1..nel), sets iel_first, iel_last, s_entry, the restart line (iscrch,
// iscrch_elem), the AijRFQ switches of prmtr lines and, for rfq lines,
// calls the RFQ cell-file reader. Returns nel, the number of element lines.
std::int32_t ReadElements(ControlContext& sim);

// A prmtr parameter: its name as written on a lattice line and its code.
struct PrmtrParameter {
  const char* name;
  std::int32_t code;
};
// The parameter table of prmtr lines, in the order the names are searched.
std::span<const PrmtrParameter> prmtr_parameters();

// Every keyword the lattice reader accepts on a lattice line (the keyword
// table and the stop line), in table order.
std::vector<std::string_view> lattice_keywords();

// Code of a prmtr parameter name field (the text between "prmtr" and "="):
// the last name of the parameter table, in table order, that occurs in it
// (case-blind); 0 when none does.
std::int32_t prmtr_code(std::string_view name_field);

}  // namespace linac
