// Free-format (list-directed) input: items separated by blanks (tabs count
// as blanks; commas separate items too). Integers are strict (an optional
// sign and digits only); reals accept 10, 10., .5, 1e3, 1.5D3, 1.5d-3; a
// text item is cut to the length asked for. Every error stops the run with
// a message naming the file, the line and the offending item.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace linac {

class Units;

// The items of one line. Asking for more items than the line holds is an
// input error.
class FreeLine {
 public:
  FreeLine(std::string_view line, std::string file, int line_no);
  std::int32_t read_int();
  double read_real();
  std::string read_text(std::size_t len);  // first len characters of the next item
  bool at_end() const;                      // no item left
  std::size_t items_left() const;
  // Counting mode: reads up to max numbers, stopping at the end of the line
  // or at the first item that is not a number; returns how many were read.
  int read_reals_counting(double* out, int max);
  const std::string& file() const { return file_; }
  int line_number() const { return line_no_; }

 private:
  template <class T>
  T read_number(std::optional<T> (*parse)(std::string_view), const char* kind);

  std::vector<std::string> items_;
  std::size_t next_ = 0;
  std::string file_;
  int line_no_;
};

// A file read item by item across lines: a read continues on the next line
// when the current one is used up; blank lines are skipped.
class FreeStream {
 public:
  FreeStream(const Units& units, std::string_view name);
  ~FreeStream();
  FreeStream(const FreeStream&) = delete;
  FreeStream& operator=(const FreeStream&) = delete;
  std::int32_t read_int();
  double read_real();
  // The first number of the next line that holds an item; the rest of that
  // line is skipped. Empty at the end of the file.
  std::optional<double> next_line_first_real();
  bool at_end();  // no item left in the file
  // The next read starts on a new line: the items left on the current line
  // are dropped (a read statement that begins a new record).
  void next_record();
  const std::string& file() const;
  int line_number() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Item parsing shared by the readers; nullopt when the text is not a number
// of that kind.
std::optional<std::int32_t> parse_int_item(std::string_view item);
std::optional<double> parse_real_item(std::string_view item);

// Stops the run on an error in line line_no of the text file `file`:
// " input error in FILE line N: " followed by `what`.
[[noreturn]] void input_error(const std::string& file, int line_no, const std::string& what);

}  // namespace linac
