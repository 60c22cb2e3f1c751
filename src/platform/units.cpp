#include "platform/units.hpp"

#include <string>

#include "platform/fatal.hpp"

namespace linac {

std::filesystem::path Units::resolve(std::string_view name) const {
  std::filesystem::path p{std::string(name)};
  if (p.is_absolute()) return p;
  return dir_ / p;
}

void Units::open(int unit, std::string_view name) {
  close(unit);
  auto u = std::make_unique<OpenUnit>();
  u->name = std::string(name);
  u->out.open(resolve(name), std::ios::out | std::ios::trunc | std::ios::binary);
  if (!u->out) fatal(" cannot open file " + u->name + " for writing (unit " + std::to_string(unit) + ")");
  units_[unit] = std::move(u);
}

void Units::open_append(int unit, std::string_view name) {
  close(unit);
  auto u = std::make_unique<OpenUnit>();
  u->name = std::string(name);
  u->out.open(resolve(name), std::ios::out | std::ios::app | std::ios::binary);
  if (!u->out) fatal(" cannot open file " + u->name + " for writing (unit " + std::to_string(unit) + ")");
  units_[unit] = std::move(u);
}

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
  if (!u.out) fatal(" write error on file " + u.name);
}

void Units::write(int unit, const std::vector<std::string>& records) {
  for (const auto& r : records) write(unit, r);
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

void Units::close_all() {
  for (auto& [n, u] : units_) u->out.close();
  units_.clear();
  screen_->flush();
}

TextIn::TextIn(const Units& units, std::string_view name) : name_(name) {
  in_.open(units.resolve(name), std::ios::in | std::ios::binary);
  if (!in_) fatal(" file " + name_ + " not found or not readable");
}

bool TextIn::next_line(std::string& line) {
  if (!std::getline(in_, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  ++line_no_;
  return true;
}

TextOut::TextOut(const Units& units, std::string_view name) : name_(name) {
  out_.open(units.resolve(name), std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out_) fatal(" cannot open file " + name_ + " for writing");
}

void TextOut::write(std::string_view record) {
  out_ << record << '\n';
  if (!out_) fatal(" write error on file " + name_);
}

void TextOut::write(const std::vector<std::string>& records) {
  for (const auto& r : records) write(r);
}

bool file_exists(const Units& units, std::string_view name) {
  std::error_code ec;
  return std::filesystem::is_regular_file(units.resolve(name), ec);
}

}  // namespace linac
