#include "platform/clock.hpp"

#include <ctime>

namespace linac {

LocalTime system_local_time() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

Clock::Clock() : source_(system_local_time) {}

}  // namespace linac
