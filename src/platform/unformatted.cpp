#include "platform/unformatted.hpp"

#include <bit>
#include <cstring>
#include <limits>

#include "platform/fatal.hpp"
#include "platform/units.hpp"

namespace linac {

namespace {

// Little-endian byte order, independent of the machine's own.
void append_le(std::vector<unsigned char>& out, std::uint64_t bits, int nbytes) {
  for (int k = 0; k < nbytes; ++k) out.push_back(static_cast<unsigned char>(bits >> (8 * k)));
}

std::uint64_t load_le(const unsigned char* p, int nbytes) {
  std::uint64_t bits = 0;
  for (int k = 0; k < nbytes; ++k) bits |= std::uint64_t{p[k]} << (8 * k);
  return bits;
}

std::string where(const std::string& file, int record_no) {
  return " input error in " + file + " record " + std::to_string(record_no) + ": ";
}

}  // namespace

// ---------------------------------------------------------------- writing

RecordOut& RecordOut::put(std::int32_t v) {
  append_le(bytes_, static_cast<std::uint32_t>(v), 4);
  return *this;
}

RecordOut& RecordOut::put(double v) {
  append_le(bytes_, std::bit_cast<std::uint64_t>(v), 8);
  return *this;
}

RecordOut& RecordOut::put(std::span<const double> v) {
  for (double x : v) put(x);
  return *this;
}

RecordOut& RecordOut::put(std::span<const std::int32_t> v) {
  for (std::int32_t x : v) put(x);
  return *this;
}

UnformattedOut::UnformattedOut(const Units& units, std::string_view name)
    : file_(units, name, Publish::when_complete) {}

void UnformattedOut::write(const RecordOut& record) {
  const auto& data = record.bytes();
  if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    fatal(" write error on file " + file_.name() + ": record of " + std::to_string(data.size()) +
          " bytes exceeds the 4-byte length marker");
  std::vector<unsigned char> marker;
  append_le(marker, static_cast<std::uint32_t>(data.size()), 4);
  file_.stream().write(reinterpret_cast<const char*>(marker.data()), 4);
  file_.stream().write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  file_.stream().write(reinterpret_cast<const char*>(marker.data()), 4);
  check_written(file_.stream(), file_.name());
}

void UnformattedOut::close() { file_.close(); }

// ---------------------------------------------------------------- reading

RecordIn::RecordIn(std::vector<unsigned char> bytes, std::string file, int record_no)
    : bytes_(std::move(bytes)), file_(std::move(file)), record_no_(record_no) {}

namespace {
[[noreturn]] void beyond_record(const std::string& file, int record_no, std::size_t size, const char* what) {
  fatal(where(file, record_no) + what + " asked beyond the end of the record (it holds " + std::to_string(size) +
        " bytes)");
}
}  // namespace

std::int32_t RecordIn::get_int() {
  if (bytes_left() < 4) beyond_record(file_, record_no_, bytes_.size(), "an integer");
  const auto v = static_cast<std::uint32_t>(load_le(bytes_.data() + pos_, 4));
  pos_ += 4;
  return static_cast<std::int32_t>(v);
}

double RecordIn::get_double() {
  if (bytes_left() < 8) beyond_record(file_, record_no_, bytes_.size(), "a real");
  const double v = std::bit_cast<double>(load_le(bytes_.data() + pos_, 8));
  pos_ += 8;
  return v;
}

void RecordIn::get(std::span<double> out) {
  if (bytes_left() / 8 < out.size()) beyond_record(file_, record_no_, bytes_.size(), "a real");
  for (double& x : out) x = get_double();
}

void RecordIn::get(std::span<std::int32_t> out) {
  if (bytes_left() / 4 < out.size()) beyond_record(file_, record_no_, bytes_.size(), "an integer");
  for (std::int32_t& x : out) x = get_int();
}

UnformattedIn::UnformattedIn(const Units& units, std::string_view name)
    : name_(name), in_(open_input_file(units, name)) {
  in_.seekg(0, std::ios::end);
  size_ = static_cast<std::int64_t>(in_.tellg());
  in_.seekg(0, std::ios::beg);
}

bool UnformattedIn::at_end() { return in_.peek() == std::ifstream::traits_type::eof(); }

RecordIn UnformattedIn::read() {
  ++record_no_;
  unsigned char head[4];
  in_.read(reinterpret_cast<char*>(head), 4);
  const auto got = in_.gcount();
  if (got == 0) fatal(where(name_, record_no_) + "end of file");
  if (got < 4) fatal(where(name_, record_no_) + "file truncated in the length marker");
  const auto len = static_cast<std::int32_t>(static_cast<std::uint32_t>(load_le(head, 4)));
  if (len < 0) fatal(where(name_, record_no_) + "bad length marker " + std::to_string(len));
  // A damaged marker must not make us allocate more than the file holds.
  consumed_ += 4;
  const std::int64_t left = size_ - consumed_;
  if (left < len)
    fatal(where(name_, record_no_) + "file truncated, the record should hold " + std::to_string(len) +
          " bytes");
  std::vector<unsigned char> data(static_cast<std::size_t>(len));
  in_.read(reinterpret_cast<char*>(data.data()), len);
  if (in_.gcount() < len)
    fatal(where(name_, record_no_) + "file truncated, the record should hold " + std::to_string(len) +
          " bytes");
  unsigned char tail[4];
  in_.read(reinterpret_cast<char*>(tail), 4);
  if (in_.gcount() < 4) fatal(where(name_, record_no_) + "file truncated in the closing length marker");
  const auto len_after = static_cast<std::int32_t>(static_cast<std::uint32_t>(load_le(tail, 4)));
  consumed_ += static_cast<std::int64_t>(len) + 4;
  if (len_after != len)
    fatal(where(name_, record_no_) + "length markers differ (" + std::to_string(len) + " before, " +
          std::to_string(len_after) + " after)");
  return RecordIn(std::move(data), name_, record_no_);
}

}  // namespace linac
