// The one way a run stops early: an exception carrying the message lines.
// Only the program's top level catches it; it writes the lines to the
// screen (and to log.dat when asked), closes every file and exits non-zero.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace linac {

class FatalStop : public std::runtime_error {
 public:
  FatalStop(std::vector<std::string> lines, bool to_log = false)
      : std::runtime_error(lines.empty() ? std::string() : lines.front()),
        lines_(std::move(lines)),
        to_log_(to_log) {}
  const std::vector<std::string>& lines() const { return lines_; }
  bool to_log() const { return to_log_; }

 private:
  std::vector<std::string> lines_;
  bool to_log_;
};

// A planned end of the task before its last step, without a message (an
// input that is only inspected ends the run after its report). The top
// level closes every file and the exit status is 0.
class PlannedStop : public std::exception {
 public:
  const char* what() const noexcept override { return "planned stop"; }
};

[[noreturn]] inline void planned_stop() { throw PlannedStop(); }

[[noreturn]] inline void fatal(std::string line, bool to_log = false) {
  throw FatalStop({std::move(line)}, to_log);
}
[[noreturn]] inline void fatal(std::vector<std::string> lines, bool to_log = false) {
  throw FatalStop(std::move(lines), to_log);
}

}  // namespace linac
