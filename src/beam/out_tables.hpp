// The per-element output tables: out.dat (one line per lattice position
// with the beam statistics) and out_q.dat (one block per position with the
// statistics of each charge state), and the level curves of emit_level.dat.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result_fields.hpp"
#include "platform/format.hpp"

namespace linac {

struct BeamContext;

inline constexpr int kUnitOutQ = 20;
inline constexpr int kUnitEmitLevel = 41;
// Width of an out.dat record, header and data lines alike.
inline constexpr std::size_t kOutDatWidth = 558;

// The writers' parsed layouts (each layout text is parsed once per run).
// Every line they write follows the result-file rule of
// common/result_fields.hpp.
struct BeamOutput {
  FormatCache formats;
};

// Four characters from the fraction PART: trunc(1000 PART) in three digits
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
