#include "platform/wait_policy.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace linac {

bool wait_policy_chosen() {
  return std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr;
}

bool wait_passively(bool chosen, int running, int available) {
  return !chosen && running > 1 && 2 * (running - 1) >= available;
}

int available_processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

void wait_passively_when_busy(char** argv) {
  if (wait_policy_chosen()) return;
  if (!wait_passively(false, running_tasks_now(), available_processors())) return;
  // With the variable set the new start returns at the test above: the
  // program is started anew at most once.
  if (setenv("OMP_WAIT_POLICY", "PASSIVE", 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not started anew (no /proc): the runtime keeps the default it read.
}

int threads_for_load(int available, int running) {
  if (running < 1) return std::max(available, 1);
  return std::max(1, std::min(available, available - (running - 1)));
}

int running_tasks(const char* stat) {
  const char* key = "procs_running ";
  for (const char* line = stat; line != nullptr && *line != '\0';) {
    if (std::strncmp(line, key, std::strlen(key)) == 0) {
      char* end = nullptr;
      const long n = std::strtol(line + std::strlen(key), &end, 10);
      if (end == line + std::strlen(key) || n < 0 || n > 1000000) return -1;
      return static_cast<int>(n);
    }
    line = std::strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return -1;
}

int running_tasks_now() {
  int fewest = -1;
  for (int look = 0; look < 3; ++look) {
    if (look > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::ifstream in("/proc/stat");
    if (!in) return -1;
    std::ostringstream text;
    text << in.rdbuf();
    const int n = running_tasks(text.str().c_str());
    if (n < 0) return -1;
    fewest = fewest < 0 ? n : std::min(fewest, n);
  }
  return fewest;
}

}  // namespace linac
