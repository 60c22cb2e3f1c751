// The linac program: runs one task in the working directory.
#include <cstdio>
#include <exception>

#include "run/sim.hpp"
#include "control/velmo_main.hpp"

int main() {
  try {
    auto sim = linac::make_sim();
    return linac::run_program(*sim);
  } catch (const std::exception& e) {
    std::fprintf(stderr, " internal error: %s\n", e.what());
    return 2;
  }
}
