// The rule every formatted result file follows before a line is written
// (out.dat and its companions, the correction monitors, matrix.dat, the
// log.dat listings, the space-charge dumps, ...):
// - a number that is not finite stops the run at once (the lines before it
//   complete, this one not written): it has no meaning to any reader and
//   comes from an input beyond any machine;
// - a finite number too wide for its field is written as the asterisks of
//   its layout and the run goes on to its end, then stops with status 1
//   naming the file, the line or element, the column and the value of the
//   first such number of the run. The other numbers of the run are good and
//   kept; the one that does not fit is lost either way, and the run does
//   not end as if it had been written.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/format.hpp"
#include "platform/units.hpp"

namespace linac {

struct CommonContext;

// The message on the first result-file number of the run that did not fit
// its field (empty while every number fits).
struct ResultFields {
  std::vector<std::string> unfit_message;
};

// Applies the rule to a fault found before a write: stops on a non-finite
// value, keeps the message of the first finite misfit of the run.
void settle_field_fault(CommonContext& sim, FieldFault fault);

// The check of a line of a file whose lines are named by their element
// (out.dat, out_q.dat, coord.dat, lost.dat, wtmp.dat): file is the file's
// name; where the place ("element 4 (drift)"); columns the column names,
// item by item.
void check_result_line(CommonContext& sim, const FortranFormat& format, std::span<const FmtItem> items,
                       std::string_view file, std::string_view where, std::span<const std::string_view> columns);

// Checks and writes one formatted write to a unit or a short-lived file;
// the message names the file, the line number the value stands on and,
// when where is not empty, the place in the lattice.
void write_checked(CommonContext& sim, int unit, const FortranFormat& format, std::span<const FmtItem> items,
                   std::string_view where = {}, std::span<const std::string_view> columns = {});
void write_checked(CommonContext& sim, int unit, const FortranFormat& format, std::initializer_list<FmtItem> items,
                   std::string_view where = {});
void write_checked(CommonContext& sim, TextOut& out, const FortranFormat& format, std::span<const FmtItem> items,
                   std::string_view where = {}, std::span<const std::string_view> columns = {});
void write_checked(CommonContext& sim, TextOut& out, const FortranFormat& format,
                   std::initializer_list<FmtItem> items, std::string_view where = {});
// The same with the layout given by its text (parsed on every call).
void write_checked(CommonContext& sim, int unit, std::string_view layout, std::span<const FmtItem> items,
                   std::string_view where = {});
void write_checked(CommonContext& sim, int unit, std::string_view layout, std::initializer_list<FmtItem> items,
                   std::string_view where = {});
// A list-directed record: every number has room, so only a number that is
// not finite stops the run (before the line is written).
void write_list_checked(CommonContext& sim, int unit, std::span<const FmtItem> items, std::string_view where = {});
void write_list_checked(CommonContext& sim, int unit, std::initializer_list<FmtItem> items,
                        std::string_view where = {});
// Checks and writes a block of records built apart (a listing).
void write_checked(CommonContext& sim, int unit, RecordBlock block, std::string_view where = {});

// At the end of a run that wrote a number that did not fit: the stop with
// the message on the first one.
void stop_on_unfit_number(const CommonContext& sim);

}  // namespace linac
