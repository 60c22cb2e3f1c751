// The per-element output tables: out.dat (one line per lattice position
// with the beam statistics) and out_q.dat (one block per position with the
// statistics of each charge state), and the level curves of emit_level.dat.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/format.hpp"

namespace linac {

struct BeamContext;

inline constexpr int kUnitOutQ = 20;
inline constexpr int kUnitEmitLevel = 41;
// Width of an out.dat record, header and data lines alike.
inline constexpr std::size_t kOutDatWidth = 558;

// The writers' parsed layouts (each layout text is parsed once per run).
struct BeamOutput {
  FormatCache formats;
  // The message on the first result-file number of the run that did not fit
  // its field (empty while every number fits).
  std::vector<std::string> unfit_message;
};

// The check before each line of a result file (out.dat, out_q.dat,
// coord.dat, lost.dat, wtmp.dat) is written, in one place for all writers:
// - a number that is not finite stops the run at once (the lines before it
//   complete, this one not written): it has no meaning to any reader and
//   comes from an input beyond any machine;
// - a finite number too wide for its field is written as the asterisks of
//   its layout and the run goes on to its end, then stops with status 1
//   naming the file, the element, the column and the value of the first
//   such number. The other numbers of the run are good and kept; the one
//   that does not fit is lost either way, and the run does not end as if it
//   had been written. A few probe particles (a nearly degenerate phase
//   plane: Twiss beta of 1e6 and more) reach this.
// file: the file's name; where: the place ("element 4 (drift)"); columns:
// the column names, item by item.
void check_result_line(BeamContext& sim, const FortranFormat& format, std::span<const FmtItem> items,
                       std::string_view file, std::string_view where, std::span<const std::string_view> columns);
// At the end of a run that wrote a number that did not fit: the stop with
// the message on the first one.
void stop_on_unfit_number(const BeamContext& sim);

// Four characters from the fraction PART: trunc(PART 1000) in three digits
// with a point after the second (0.995 -> "99.5", 0.05 -> "05.0").
std::string level_label(double part);

// The out.dat header; rfq selects the heading of the RFQ's lines.
std::string out_dat_header(double part, bool rfq);

// If name contains "entry" (any case) the out.dat header, then the out.dat
// line of position n at z (cm); with outQ = 1 also the out_q.dat block.
void write_element_output(BeamContext& sim, std::int32_t n, std::string_view name, double z);
// The same header rule and out.dat line, for lines written inside the RFQ:
// column 1 holds the cell number, the statistics are those of position n;
// no out_q.dat block.
void write_rfq_output(BeamContext& sim, std::int32_t cell, std::int32_t n, std::string_view name, double z);

}  // namespace linac
