// File units. Standing text files are opened on a unit number for the whole
// run and written by number; a unit written without being opened goes to the
// file fort.N, and unit 6 is the screen. Short-lived files use the scoped
// handles below, which never share a unit number and close themselves.
// Every name is taken relative to the run's working directory.
#pragma once

#include <filesystem>
#include <cstddef>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/screen.hpp"

namespace linac {

inline constexpr int kScreenUnit = 6;

class Units {
 public:
  explicit Units(Screen& screen) : screen_(&screen) {}
  Units(const Units&) = delete;
  Units& operator=(const Units&) = delete;
  // Closes the files only: the stream behind the screen may be gone by the
  // time the run context is destroyed (a test's string stream declared after
  // it), and a finished run has flushed it through close_all already.
  ~Units() { close_files(); }

  void set_directory(std::filesystem::path dir) { dir_ = std::move(dir); }
  const std::filesystem::path& directory() const { return dir_; }
  // An absolute name stays as it is; any other is taken in the working directory.
  std::filesystem::path resolve(std::string_view name) const;

  // Opens a text unit, creating the file or overwriting it from its start.
  void open(int unit, std::string_view name);
  // Opens a text unit, keeping what the file holds and writing behind it.
  void open_append(int unit, std::string_view name);
  bool is_open(int unit) const;
  // Writes one record (a line end is added). Unit 6 is the screen; a unit
  // that was never opened is opened on fort.N first.
  void write(int unit, std::string_view record);
  void write(int unit, const std::vector<std::string>& records);
  // The name of the file on a unit (fort.N for one never opened, "screen"
  // for unit 6) and the number of records written to it since it was
  // opened: the line number of the last line, for messages on a line.
  std::string name_of(int unit) const;
  std::size_t lines_written(int unit) const;
  void flush(int unit);
  void close(int unit);
  void flush_all();
  void close_all();

 private:
  void close_files();
  struct OpenUnit {
    std::string name;
    std::ofstream out;
    std::size_t lines = 0;
  };
  void open_unit(int unit, std::string_view name, std::ios::openmode mode);
  OpenUnit& ensure_open(int unit);

  Screen* screen_;
  std::filesystem::path dir_ = ".";
  std::map<int, std::unique_ptr<OpenUnit>> units_;
};

// The longest line a text reader holds, in bytes without the line end: far
// above any line of an input file (a lattice record has 132 characters, a
// particle line a few hundred), small enough that a file without line ends
// (a device such as /dev/zero, or a binary file given by mistake) stops the
// read instead of filling memory.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

// Reads one line of `in` into `line`, without its line end ('\n'); a last
// line without a line end counts. False at the end of the input. A line
// longer than kMaxLineBytes stops the run with a message naming `source`
// (a file name), the line number `line_no` and the bound.
bool read_bounded_line(std::istream& in, std::string& line, std::string_view source, long line_no);

// 0-based position of the first control character of a text (a byte below
// 0x20, or 0x7F), or npos when it has none. File and directory names must
// have none: a NUL would end the name the system sees, and the rest of the
// text would be dropped silently.
std::size_t first_control_char(std::string_view text);
// The byte as two hexadecimal digits with "0x" in front, for messages.
std::string byte_hex(char c);
// Stops the run naming the name, the byte and its position (from 1) when a
// file name holds a control character. Every name the units resolve is
// checked.
void check_file_name(std::string_view name);

// A short-lived text file read line by line, with the line number of the
// last line read for messages.
class TextIn {
 public:
  // Opens an existing file; a missing file stops the run with a message
  // naming it.
  TextIn(const Units& units, std::string_view name);
  bool next_line(std::string& line);  // false at the end of the file
  int line_number() const { return line_no_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::ifstream in_;
  int line_no_ = 0;
};

// How a file written from its start becomes visible under its name.
enum class Publish {
  as_written,     // the file itself is written: a reader sees it grow
  when_complete,  // written beside it as NAME.part, renamed to NAME when complete
};

// A file created or overwritten from its start. Published when_complete, a
// run that stops or is killed while writing it leaves under its name either
// nothing or the previous complete file, never a truncated one: the bytes go
// to NAME.part in the same directory, and close() renames that over NAME
// (one rename(2), which a reader sees happen at once). A handle that ends
// while an exception leaves its scope removes NAME.part instead; one that
// ends otherwise closes as close() does, silently.
class OutputFile {
 public:
  OutputFile(const Units& units, std::string_view name, Publish publish);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();
  std::ofstream& stream() { return out_; }
  const std::string& name() const { return name_; }
  // Flushes and closes the file, then publishes it; a write or rename
  // failure stops the run naming the file. A second call does nothing.
  void close();

 private:
  std::string name_;
  std::filesystem::path path_;
  std::filesystem::path temp_;  // empty when published as written
  std::ofstream out_;
  int unwinding_at_open_;
  bool closed_ = false;
};

// The temporary name beside NAME that a file published when complete is
// written under.
std::string pending_name(std::string_view name);

// A short-lived text file, created or overwritten, closed when the handle ends.
class TextOut {
 public:
  TextOut(const Units& units, std::string_view name, Publish publish = Publish::as_written);
  void write(std::string_view record);
  void write(const std::vector<std::string>& records);
  // Closes (and publishes) the file now; see OutputFile::close.
  void close() { file_.close(); }
  const std::string& name() const { return file_.name(); }
  std::size_t lines_written() const { return lines_; }

 private:
  OutputFile file_;
  std::size_t lines_ = 0;
};

bool file_exists(const Units& units, std::string_view name);

// The opening and write checks that every file reader and writer shares, so
// that all of them word their failures alike. Files are opened in binary
// mode: the bytes are read and written as they stand.

// An existing file opened for reading; a missing or unreadable file stops
// the run with a message naming it.
std::ifstream open_input_file(const Units& units, std::string_view name);
// Stops the run with a message naming the file when a write to it failed.
void check_written(const std::ostream& out, const std::string& name);

}  // namespace linac
