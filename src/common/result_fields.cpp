#include "common/result_fields.hpp"

#include <cmath>

#include "common/context.hpp"
#include "platform/fatal.hpp"

namespace linac {

void settle_field_fault(CommonContext& sim, FieldFault fault) {
  if (!fault.finite) fatal(std::move(fault.lines), true);
  std::vector<std::string>& first = sim.result_fields.unfit_message;
  if (!first.empty()) return;
  first = {fault.lines[0] + " (written as asterisks)",
           " the run went on to its end with the other values written; a nearly degenerate beam (few particles"
           " on one line of a phase plane) or an input beyond any machine gives such a value"};
}

void check_result_line(CommonContext& sim, const FortranFormat& format, std::span<const FmtItem> items,
                       std::string_view file, std::string_view where, std::span<const std::string_view> columns) {
  std::optional<FieldFault> fault = field_fault(format, items, file, where, columns);
  if (fault) settle_field_fault(sim, std::move(*fault));
}

namespace {

// The rule for a misfit that would stand on line first_line + its record.
void settle_misfit(CommonContext& sim, const std::optional<ValueMisfit>& misfit, std::string_view file,
                   std::size_t first_line, std::string_view where) {
  if (misfit) settle_field_fault(sim, misfit_at_line(*misfit, file, first_line + misfit->record, where));
}

}  // namespace

void write_checked(CommonContext& sim, int unit, const FortranFormat& format, std::span<const FmtItem> items,
                   std::string_view where, std::span<const std::string_view> columns) {
  settle_misfit(sim, value_misfit(format, items, columns), sim.units.name_of(unit),
                sim.units.lines_written(unit) + 1, where);
  sim.units.write(unit, format.write(items));
}

void write_checked(CommonContext& sim, int unit, const FortranFormat& format, std::initializer_list<FmtItem> items,
                   std::string_view where) {
  write_checked(sim, unit, format, std::span<const FmtItem>(items.begin(), items.size()), where);
}

void write_checked(CommonContext& sim, TextOut& out, const FortranFormat& format, std::span<const FmtItem> items,
                   std::string_view where, std::span<const std::string_view> columns) {
  settle_misfit(sim, value_misfit(format, items, columns), out.name(), out.lines_written() + 1, where);
  out.write(format.write(items));
}

void write_checked(CommonContext& sim, TextOut& out, const FortranFormat& format,
                   std::initializer_list<FmtItem> items, std::string_view where) {
  write_checked(sim, out, format, std::span<const FmtItem>(items.begin(), items.size()), where);
}

void write_checked(CommonContext& sim, int unit, std::string_view layout, std::span<const FmtItem> items,
                   std::string_view where) {
  write_checked(sim, unit, FortranFormat(layout), items, where);
}

void write_checked(CommonContext& sim, int unit, std::string_view layout, std::initializer_list<FmtItem> items,
                   std::string_view where) {
  write_checked(sim, unit, FortranFormat(layout), std::span<const FmtItem>(items.begin(), items.size()), where);
}

void write_list_checked(CommonContext& sim, int unit, std::span<const FmtItem> items, std::string_view where) {
  for (std::size_t k = 0; k < items.size(); ++k) {
    const FmtItem& item = items[k];
    const double* d = std::get_if<double>(&item);
    const float* f = std::get_if<float>(&item);
    const bool finite = d ? std::isfinite(*d) : f ? std::isfinite(*f) : true;
    if (finite) continue;
    ValueMisfit m;
    m.column = "value " + std::to_string(k + 1);
    m.value = d ? (std::isnan(*d) ? "nan" : *d > 0 ? "inf" : "-inf") : (std::isnan(*f) ? "nan" : *f > 0 ? "inf" : "-inf");
    m.why = "is not a finite number";
    m.finite = false;
    settle_field_fault(sim, misfit_at_line(m, sim.units.name_of(unit), sim.units.lines_written(unit) + 1, where));
  }
  sim.units.write(unit, list_directed(items));
}

void write_list_checked(CommonContext& sim, int unit, std::initializer_list<FmtItem> items, std::string_view where) {
  write_list_checked(sim, unit, std::span<const FmtItem>(items.begin(), items.size()), where);
}

void write_checked(CommonContext& sim, int unit, RecordBlock block, std::string_view where) {
  settle_misfit(sim, block.misfit(), sim.units.name_of(unit), sim.units.lines_written(unit) + 1, where);
  sim.units.write(unit, block.take_records());
}

void stop_on_unfit_number(const CommonContext& sim) {
  if (!sim.result_fields.unfit_message.empty()) fatal(sim.result_fields.unfit_message, true);
}

}  // namespace linac
