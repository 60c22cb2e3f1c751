// Formatted output in the layout notation of the system's text files:
// Iw, Fw.d, Ew.d, Dw.d, 1P scale, Aw and A, nX, TRn, quoted literals,
// repeat counts and bracketed groups, slash, format reversion and asterisks
// on overflow; and list-directed records. Layouts are the format texts of
// the file descriptions, e.g. "(I5,A9,4E15.5)".
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace linac {

class Units;

// One output item: a 32-bit integer, a 64-bit or 32-bit real, or a text.
// A 32-bit real is formatted from its own (exact) value, so it shows the
// digits of a single-precision number, not of a double near it.
//
// Mixed kinds: an integer given to F, E or D is written as the real of the
// same value; a real given to I is truncated toward zero (as an assignment
// of a real to an integer does) and a value outside the 64-bit integer range
// or a NaN fills the field with asterisks. A text given to a numeric
// descriptor, or a number given to A, stops the run with a message quoting
// the format text.
using FmtItem = std::variant<std::int32_t, double, float, std::string_view>;

// A numeric item that a write would not show as a number: its index in the
// item list, the descriptor that edits it ("F12.5", "I4", "1PE15.5") and
// the record of the write it stands in (0 for the first; a slash or the
// format's reversion starts the next).
struct FieldMisfit {
  std::size_t item;
  std::string descriptor;
  std::size_t record = 0;
};

// A parsed format text; parse once, write many times. A malformed text
// stops the run with a message quoting it.
//
// Descriptors: Iw, Iw.m, Fw.d, Ew.d, Dw.d, kP (stays in effect for the rest
// of the write, also across reversion), Aw, A, nX, TRn, TLn, Tn, quoted
// literals ('..' or "..", a doubled quote stands for one), slash, repeat
// counts on descriptors and bracketed groups. Letters may be lower case;
// blanks outside literals are ignored. Output follows the gfortran run time:
// - F and E drop the leading "0" of a value below 1 when the field is one
//   column short ("-.50" for F4.2 of -0.5); a value that rounds to zero keeps
//   its minus sign ("-0.00"); a real is never written in a one-column field,
//   nor a negative one in two columns (asterisks);
// - decimal rounding is to nearest on the exact binary value, ties to even;
// - an exponent of magnitude 100..999 is written without its letter
//   ("0.12345+101"), a larger one fills the field with asterisks;
// - Infinity is "Infinity" or "Inf" (with "-" when negative), NaN is "NaN",
//   right-justified, or asterisks when the field is too narrow;
// - blanks moved over by X or TR at the end of a record are not written.
// Processing stops at the first data descriptor with no item left (literals
// and slashes before it are written) or at the end of the format when no
// item is left; items left at the end start a new record and the format
// continues from its last top-level bracketed group (with its repeat count),
// or from its start when it has none.
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
  const std::string& text() const;
  // The first numeric item that the write of the items would show as
  // asterisks (too wide for its field), Inf or NaN; none when every number
  // is written as a number. The same walk as write(), without the text.
  std::optional<FieldMisfit> first_misfit(std::span<const FmtItem> items) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Parsed formats kept by their text. A writer that formats the same layouts
// many times (per element, per step) owns one of these, or keeps its
// FortranFormat objects, so that each text is parsed once. It belongs to its
// owner: there is no shared cache.
class FormatCache {
 public:
  const FortranFormat& get(std::string_view text);

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_map<std::string, FortranFormat, Hash, std::equal_to<>> formats_;
};

// What is wrong with a result line before it is written: a number of the
// line that would not be written as a number (not finite, or asterisks
// because it does not fit its field). lines: the message naming the file,
// the place (where, e.g. "element 4 (drift)"), the column (columns[k] for
// item k, else its position) and the value. The writers' rule (what stops
// at once, what ends the run after it) is in common/result_fields.hpp; the
// ranges of the inputs that keep a real machine clear of it are described
// in common/input_ranges.hpp.
struct FieldFault {
  std::vector<std::string> lines;
  bool finite = true;  // false: the value is Inf or NaN
};
std::optional<FieldFault> field_fault(const FortranFormat& format, std::span<const FmtItem> items,
                                      std::string_view file, std::string_view where,
                                      std::span<const std::string_view> columns);

// The number of one write that is not shown as a number, in words: the
// record of the write it stands in, its column (columns[k] for item k, else
// "value k+1"), its value and why ("does not fit its field F10.4" or "is
// not a finite number").
struct ValueMisfit {
  std::size_t record = 0;
  std::string column;
  std::string value;
  std::string why;
  bool finite = true;
};
std::optional<ValueMisfit> value_misfit(const FortranFormat& format, std::span<const FmtItem> items,
                                        std::span<const std::string_view> columns = {});
// The message on a misfit in a file known by its line numbers: line is the
// 1-based line of the file the misfit stands on; where, when not empty, the
// place in the lattice ("element 7 (quad)"). E.g.
// " matrix.dat line 37 (element 7 (matrx)): value 3 = 1234.5 does not fit its field F10.4".
FieldFault misfit_at_line(const ValueMisfit& misfit, std::string_view file, std::size_t line,
                          std::string_view where);

// The records of a listing built apart from the file it goes to (a
// routine that returns its lines), with the first number among them that a
// write did not show as a number; the writer that puts the block in its
// file applies the result-file rule to it.
class RecordBlock {
 public:
  void add(const FortranFormat& format, std::span<const FmtItem> items,
           std::span<const std::string_view> columns = {});
  void add(const FortranFormat& format, std::initializer_list<FmtItem> items) {
    add(format, std::span<const FmtItem>(items.begin(), items.size()));
  }
  void add_line(std::string record) { records_.push_back(std::move(record)); }
  const std::vector<std::string>& records() const { return records_; }
  std::vector<std::string> take_records() { return std::move(records_); }
  // The first misfit; its record counts from the first record of the block.
  const std::optional<ValueMisfit>& misfit() const { return misfit_; }

 private:
  std::vector<std::string> records_;
  std::optional<ValueMisfit> misfit_;
};

// One-shot helpers; they parse the text on every call.
std::vector<std::string> format_records(std::string_view fmt, std::span<const FmtItem> items);
std::vector<std::string> format_records(std::string_view fmt, std::initializer_list<FmtItem> items);
// Writes the records of one formatted write to a unit.
void write_formatted(Units& units, int unit, std::string_view fmt, std::initializer_list<FmtItem> items);
void write_formatted(Units& units, int unit, std::string_view fmt, std::span<const FmtItem> items);
void write_formatted(Units& units, int unit, const FortranFormat& fmt, std::initializer_list<FmtItem> items);
void write_formatted(Units& units, int unit, const FortranFormat& fmt, std::span<const FmtItem> items);

// A list-directed record: one leading blank, then the items separated by
// blanks (texts unchanged), in the gfortran layout: no blank between two
// adjacent texts; an integer right-justified in 11 columns; a 64-bit real
// in 25 columns as 1PG25.17E3 (fixed form with 17 significant digits and
// five trailing blanks for 0.1 <= |x| < 1e17 and for zero, else
// "d.dddddddddddddddddE+ddd"); a 32-bit real alike in 16 columns with 9
// digits and a two-digit exponent.
std::string list_directed(std::span<const FmtItem> items);
std::string list_directed(std::initializer_list<FmtItem> items);

}  // namespace linac
