// Unformatted sequential files: each record is framed by its length in
// bytes as a 4-byte little-endian integer before and after the data;
// values are 32-bit integers and 64-bit reals in little-endian order.
#pragma once

#include <cstdint>
#include <fstream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/units.hpp"

namespace linac {

class Units;

// One record being assembled for writing.
class RecordOut {
 public:
  RecordOut& put(std::int32_t v);
  RecordOut& put(double v);
  RecordOut& put(std::span<const double> v);
  RecordOut& put(std::span<const std::int32_t> v);
  const std::vector<unsigned char>& bytes() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};

// A short-lived unformatted file, created or overwritten. It appears under
// its name only when complete (see OutputFile): a run stopped or killed
// while writing it leaves the previous complete file or none.
class UnformattedOut {
 public:
  UnformattedOut(const Units& units, std::string_view name);
  void write(const RecordOut& record);
  // Flushes, closes and publishes the file; a write error stops the run
  // naming it. Call it when the file is complete (a handle that ends
  // otherwise publishes silently, or discards the file when an exception
  // leaves its scope).
  void close();
  const std::string& name() const { return file_.name(); }

 private:
  OutputFile file_;
};

// One record read back; taking more values than the record holds stops the
// run with a message naming the file and record; values left untaken are
// skipped.
class RecordIn {
 public:
  RecordIn(std::vector<unsigned char> bytes, std::string file, int record_no);
  std::int32_t get_int();
  double get_double();
  void get(std::span<double> out);
  void get(std::span<std::int32_t> out);
  std::size_t bytes_left() const { return bytes_.size() - pos_; }

 private:
  std::vector<unsigned char> bytes_;
  std::size_t pos_ = 0;
  std::string file_;
  int record_no_;
};

// An existing unformatted file read record by record; a missing file, a
// broken frame or reading past the end stops the run with a message naming
// the file.
class UnformattedIn {
 public:
  UnformattedIn(const Units& units, std::string_view name);
  RecordIn read();
  bool at_end();
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::ifstream in_;
  int record_no_ = 0;
  // Bytes of the file and of it consumed so far: a damaged length marker is
  // caught without seeking (a seek drops the stream's buffer).
  std::int64_t size_ = 0;
  std::int64_t consumed_ = 0;
};

}  // namespace linac
