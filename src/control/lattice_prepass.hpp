// The lattice pre-pass: sclinac.dat (the user's lattice) and fi_in.dat (RF
// phases of the cavities) into linac.dat, the file the lattice reader reads.
// Also the line splitter shared with the lattice reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/records.hpp"

namespace linac {

struct ControlContext;

// A lattice line as a 132-character record: cut after column 132, filled
// with blanks behind.
std::string lattice_record(std::string_view raw);

// Line kinds, by case-blind search on the 132-character record.
bool is_comment_line(std::string_view line);  // holds "!"
bool is_stop_line(std::string_view line);     // holds "stop" and no "!"
bool is_restart_candidate(std::string_view line);  // holds "scrch" and no "!"
bool is_cavity_line(std::string_view line);   // holds "cav", no "align", no "!"

// Character check of one 132-character line, changed in place: upper-case
// letters folded, backspace, tab, line feed and carriage return made
// blanks. A forbidden character stops the run. Returns the blank count
// after the changes (132 for a blank line).
std::int32_t icheck_sclinac(std::string& line);

// What the splitter finds on a lattice line.
struct LatticeSplit {
  std::int32_t n = 0;  // the line's leading integer
  Keyword word;        // first five characters of the second item
  std::int32_t t = 0;  // element type named by an align or enge line
  std::int32_t k = 0;  // count of numbers behind the keyword (behind the type name for align/enge)
  std::int32_t a = 0;  // position marker of a comb line
};

// Splits a (non-comment) lattice line; folds its letters in place. file and
// line_no name the line in messages.
LatticeSplit split_lattice_line(const TypeTables& types, std::string& line, std::string_view file,
                                int line_no);

// Scans sclinac.dat for the restart line (sets iscrch), checks every line up
// to the stop line and writes linac.dat with every cavity line completed by
// its RF phase from fi_in.dat and its step count.
void make_linac_dat(ControlContext& sim);

}  // namespace linac
