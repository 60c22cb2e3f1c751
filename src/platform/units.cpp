#include "platform/units.hpp"

#include <string>

#include <fmt/format.h>

#include "platform/fatal.hpp"

namespace linac {

namespace {

// A byte below 0x20, or 0x7F.
bool is_control_char(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7F;
}

// The text with each control character shown as <0xNN>, cut to 80 bytes.
std::string printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 80)) {
    if (is_control_char(c)) {
      out += '<';
      out += byte_hex(c);
      out += '>';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

bool read_bounded_line(std::istream& in, std::string& line, std::string_view source, long line_no) {
  line.clear();
  std::streambuf* buf = in.rdbuf();
  if (!in.good() || buf == nullptr) {
    in.setstate(std::ios::failbit);
    return false;
  }
  using Traits = std::char_traits<char>;
  bool any = false;
  for (;;) {
    const Traits::int_type c = buf->sbumpc();
    if (Traits::eq_int_type(c, Traits::eof())) {
      in.setstate(any ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
      return any;
    }
    any = true;
    if (Traits::to_char_type(c) == '\n') return true;
    if (line.size() >= kMaxLineBytes)
      fatal(fmt::format(" input error in {} line {}: the line is longer than {} bytes, the longest line a "
                        "text input may hold (is the file a text file with line ends?)",
                        source, line_no, kMaxLineBytes));
    line.push_back(Traits::to_char_type(c));
  }
}

std::size_t first_control_char(std::string_view text) {
  for (std::size_t k = 0; k < text.size(); ++k)
    if (is_control_char(text[k])) return k;
  return std::string_view::npos;
}

std::string byte_hex(char c) { return fmt::format("0x{:02X}", static_cast<unsigned char>(c)); }

// A name with a control character is refused before the system sees it:
// a NUL would end the name there, and the file opened would be another.
void check_file_name(std::string_view name) {
  const std::size_t k = first_control_char(name);
  if (k != std::string_view::npos)
    fatal(fmt::format(" file name '{}' holds the control character {} at position {}; file names take "
                      "printable characters only",
                      printable(name), byte_hex(name[k]), k + 1));
}

std::filesystem::path Units::resolve(std::string_view name) const {
  check_file_name(name);
  std::filesystem::path p{std::string(name)};
  if (p.is_absolute()) return p;
  return dir_ / p;
}

void Units::open_unit(int unit, std::string_view name, std::ios::openmode mode) {
  close(unit);
  auto u = std::make_unique<OpenUnit>();
  u->name = std::string(name);
  u->out.open(resolve(name), std::ios::out | mode | std::ios::binary);
  if (!u->out) fatal(" cannot open file " + u->name + " for writing (unit " + std::to_string(unit) + ")");
  units_[unit] = std::move(u);
}

void Units::open(int unit, std::string_view name) { open_unit(unit, name, std::ios::trunc); }

void Units::open_append(int unit, std::string_view name) { open_unit(unit, name, std::ios::app); }

bool Units::is_open(int unit) const { return unit == kScreenUnit || units_.count(unit) > 0; }

Units::OpenUnit& Units::ensure_open(int unit) {
  auto it = units_.find(unit);
  if (it == units_.end()) {
    open(unit, "fort." + std::to_string(unit));
    it = units_.find(unit);
  }
  return *it->second;
}

void Units::write(int unit, std::string_view record) {
  if (unit == kScreenUnit) {
    screen_->write_line(record);
    return;
  }
  OpenUnit& u = ensure_open(unit);
  u.out << record << '\n';
  check_written(u.out, u.name);
  ++u.lines;
}

void Units::write(int unit, const std::vector<std::string>& records) {
  for (const auto& r : records) write(unit, r);
}

std::string Units::name_of(int unit) const {
  if (unit == kScreenUnit) return "screen";
  const auto it = units_.find(unit);
  return it != units_.end() ? it->second->name : "fort." + std::to_string(unit);
}

std::size_t Units::lines_written(int unit) const {
  const auto it = units_.find(unit);
  return it != units_.end() ? it->second->lines : 0;
}

void Units::flush(int unit) {
  if (unit == kScreenUnit) {
    screen_->flush();
    return;
  }
  auto it = units_.find(unit);
  if (it != units_.end()) it->second->out.flush();
}

void Units::close(int unit) {
  auto it = units_.find(unit);
  if (it == units_.end()) return;
  it->second->out.close();
  units_.erase(it);
}

void Units::flush_all() {
  for (auto& [n, u] : units_) u->out.flush();
  screen_->flush();
}

void Units::close_files() {
  for (auto& [n, u] : units_) u->out.close();
  units_.clear();
}

void Units::close_all() {
  close_files();
  screen_->flush();
}

TextIn::TextIn(const Units& units, std::string_view name) : name_(name), in_(open_input_file(units, name)) {}

bool TextIn::next_line(std::string& line) {
  if (!read_bounded_line(in_, line, name_, line_no_ + 1)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  ++line_no_;
  return true;
}

std::string pending_name(std::string_view name) { return std::string(name) + ".part"; }

OutputFile::OutputFile(const Units& units, std::string_view name, Publish publish)
    : name_(name),
      path_(units.resolve(name)),
      temp_(publish == Publish::when_complete ? units.resolve(pending_name(name)) : std::filesystem::path()),
      unwinding_at_open_(std::uncaught_exceptions()) {
  out_.open(temp_.empty() ? path_ : temp_, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out_) fatal(" cannot open file " + name_ + " for writing");
}

OutputFile::~OutputFile() {
  if (closed_) return;
  if (!temp_.empty() && std::uncaught_exceptions() > unwinding_at_open_) {
    // The run is stopping while the file is incomplete: the name keeps what
    // it held.
    out_.close();
    std::error_code ec;
    std::filesystem::remove(temp_, ec);
    return;
  }
  try {
    close();
  } catch (const FatalStop&) {
    // A handle that ends without close() closes silently.
  }
}

void OutputFile::close() {
  if (closed_) return;
  closed_ = true;
  out_.flush();
  const bool written = static_cast<bool>(out_);
  out_.close();
  if (!written || !out_) {
    if (!temp_.empty()) {
      std::error_code ec;
      std::filesystem::remove(temp_, ec);
    }
    fatal(" write error on file " + name_);
  }
  if (temp_.empty()) return;
  std::error_code ec;
  std::filesystem::rename(temp_, path_, ec);
  if (ec) {
    std::filesystem::remove(temp_, ec);
    fatal(" cannot rename the complete file " + pending_name(name_) + " to " + name_);
  }
}

TextOut::TextOut(const Units& units, std::string_view name, Publish publish) : file_(units, name, publish) {}

void TextOut::write(std::string_view record) {
  file_.stream() << record << '\n';
  check_written(file_.stream(), file_.name());
  ++lines_;
}

void TextOut::write(const std::vector<std::string>& records) {
  for (const auto& r : records) write(r);
}

bool file_exists(const Units& units, std::string_view name) {
  std::error_code ec;
  return std::filesystem::is_regular_file(units.resolve(name), ec);
}

std::ifstream open_input_file(const Units& units, std::string_view name) {
  // An input stream never creates the file it fails to open.
  std::ifstream in(units.resolve(name), std::ios::in | std::ios::binary);
  if (!in) fatal(" file " + std::string(name) + " not found or not readable");
  return in;
}

void check_written(const std::ostream& out, const std::string& name) {
  if (!out) fatal(" write error on file " + name);
}

}  // namespace linac
