// Local date and time of day, injectable so that stamps and clock seeds
// can be tested.
#pragma once

#include <functional>
#include <string>

namespace linac {

struct LocalTime {
  int year = 0, month = 0, day = 0;     // month 1..12
  int hour = 0, minute = 0, second = 0;
};

class Clock {
 public:
  Clock();
  explicit Clock(std::function<LocalTime()> source) : source_(std::move(source)) {}
  LocalTime now() const { return source_(); }
  void set_source(std::function<LocalTime()> source) { source_ = std::move(source); }

 private:
  std::function<LocalTime()> source_;
};

LocalTime system_local_time();

// "Mon DD,YYYY,HH:MM:SS" followed by five blanks (25 characters).
std::string date_time_string(const LocalTime& t);

}  // namespace linac
