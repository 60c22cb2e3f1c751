// The linac program: runs one task in the working directory.
#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "platform/wait_policy.hpp"

int main(int, char** argv) {
  // On a busy machine threads that wait sleep instead of spinning, unless
  // the user chose.
  linac::wait_passively_when_busy(argv);
  // As many threads as there are idle processors, unless the user chose.
  if (std::getenv("OMP_NUM_THREADS") == nullptr)
    omp_set_num_threads(linac::threads_for_load(omp_get_max_threads(), linac::running_tasks_now()));
  try {
    auto sim = linac::make_sim();
    return linac::run_program(*sim);
  } catch (const std::exception& e) {
    std::fprintf(stderr, " internal error: %s\n", e.what());
    return 2;
  }
}
