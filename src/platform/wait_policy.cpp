#include "platform/wait_policy.hpp"

#include <unistd.h>

#include <cstdlib>

namespace linac {

bool wait_policy_chosen() {
  return std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr;
}

void wait_passively_unless_chosen(char** argv) {
  if (wait_policy_chosen()) return;
  // With the variable set the new start returns at the test above: the
  // program is started anew at most once.
  if (setenv("OMP_WAIT_POLICY", "PASSIVE", 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not started anew (no /proc): the runtime keeps the default it read.
}

}  // namespace linac
