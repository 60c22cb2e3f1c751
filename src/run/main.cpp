// The linac program: runs one task in the working directory.
#include <cstdio>
#include <exception>

#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "platform/wait_policy.hpp"

int main(int, char** argv) {
  // Threads that wait sleep instead of spinning, unless the user chose.
  linac::wait_passively_unless_chosen(argv);
  try {
    auto sim = linac::make_sim();
    return linac::run_program(*sim);
  } catch (const std::exception& e) {
    std::fprintf(stderr, " internal error: %s\n", e.what());
    return 2;
  }
}
