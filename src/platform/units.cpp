#include "platform/units.hpp"

#include <string>

#include "platform/fatal.hpp"

namespace linac {

std::filesystem::path Units::resolve(std::string_view name) const {
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
  if (!std::getline(in_, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  ++line_no_;
  return true;
}

TextOut::TextOut(const Units& units, std::string_view name) : name_(name), out_(open_output_file(units, name)) {}

void TextOut::write(std::string_view record) {
  out_ << record << '\n';
  check_written(out_, name_);
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

std::ofstream open_output_file(const Units& units, std::string_view name) {
  std::ofstream out(units.resolve(name), std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out) fatal(" cannot open file " + std::string(name) + " for writing");
  return out;
}

void check_written(const std::ostream& out, const std::string& name) {
  if (!out) fatal(" write error on file " + name);
}

}  // namespace linac
