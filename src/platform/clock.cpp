#include "platform/clock.hpp"

#include <ctime>
#include <string>

namespace linac {

LocalTime system_local_time() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

Clock::Clock() : source_(system_local_time) {}

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string date_time_string(const LocalTime& t) {
  // Each digit by integer division, so values below 10 keep a leading zero.
  auto two = [](int v) {
    return std::string{static_cast<char>('0' + (v / 10) % 10), static_cast<char>('0' + v % 10)};
  };
  std::string s;
  s += kMonths[(t.month - 1) % 12];
  s += ' ';
  s += two(t.day);
  s += ',';
  s += two(t.year / 100);
  s += two(t.year % 100);
  s += ',';
  s += two(t.hour);
  s += ':';
  s += two(t.minute);
  s += ':';
  s += two(t.second);
  s += "     ";
  return s;
}

}  // namespace linac
