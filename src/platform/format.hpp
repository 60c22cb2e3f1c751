// Formatted output in the layout notation of the system's text files:
// Iw, Fw.d, Ew.d, Dw.d, 1P scale, Aw and A, nX, TRn, quoted literals,
// repeat counts and bracketed groups, slash, format reversion and asterisks
// on overflow; and list-directed records. Layouts are the format texts of
// the file descriptions, e.g. "(I5,A9,4E15.5)".
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace linac {

class Units;

// One output item: a 32-bit integer, a 64-bit or 32-bit real, or a text.
using FmtItem = std::variant<std::int32_t, double, float, std::string_view>;

// A parsed format text; parse once, write many times. A malformed text
// stops the run with a message quoting it.
class FortranFormat {
 public:
  explicit FortranFormat(std::string_view text);
  ~FortranFormat();
  FortranFormat(FortranFormat&&) noexcept;
  FortranFormat& operator=(FortranFormat&&) noexcept;
  // The records that one write of the items produces.
  std::vector<std::string> write(std::span<const FmtItem> items) const;
  std::vector<std::string> write(std::initializer_list<FmtItem> items) const {
    return write(std::span<const FmtItem>(items.begin(), items.size()));
  }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One-shot helpers.
std::vector<std::string> format_records(std::string_view fmt, std::span<const FmtItem> items);
std::vector<std::string> format_records(std::string_view fmt, std::initializer_list<FmtItem> items);
// Writes the records of one formatted write to a unit.
void write_formatted(Units& units, int unit, std::string_view fmt, std::initializer_list<FmtItem> items);
void write_formatted(Units& units, int unit, std::string_view fmt, std::span<const FmtItem> items);

// A list-directed record: one leading blank, then the items separated by
// blanks (texts unchanged).
std::string list_directed(std::span<const FmtItem> items);
std::string list_directed(std::initializer_list<FmtItem> items);

}  // namespace linac
