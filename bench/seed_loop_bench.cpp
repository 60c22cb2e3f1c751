// Cost of one error seed beside its final pass: the error-drawing pass, the
// restores of the beam (ini_dis.dat read twice, the correction subset
// written to corr_dis.dat) and the final pass, for 2 charge states of 1e5
// particles through 10 drifts of 10 cm in 50 steps, 5 seeds of a study
// without corrections (IFLAG_CORR = 2), at 1 and 8 threads. A timed
// example: it prints one line per seed and thread count, with the share
// of everything but the final pass in the final pass's time.
#include <omp.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "bench_beam.hpp"
#include "beam/err_stats.hpp"
#include "beam/offsets.hpp"
#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "beam/beam_state.hpp"
#include "control/dispatcher.hpp"
#include "control/error_seed_loop.hpp"
#include "control/velmo_main.hpp"

namespace {

using namespace linac;

constexpr int kParticles = 100000;  // per charge state
constexpr int kStates = 2;
constexpr int kDrifts = 10;
constexpr int kSteps = 50;
constexpr int kSeeds = 5;

void set_up(Sim& s, const std::filesystem::path& dir) {
  bench::set_up_bench_run(s, 1.0, 4.0);
  s.units.set_directory(dir);
  for (int u : {kUnitOut, kUnitCoord, kUnitLost, kUnitLog, kUnitWtmp}) s.units.open(u, "bench" + std::to_string(u) + ".txt");
  s.config.IFLAG_CORR = 2;
  s.config.IFLAG_VRAND = 0;
  s.config.iel_last = kDrifts;
  s.config.NQTOT = kStates;
  s.type_rec.type_errors[0][1] = 0.01;  // drift offsets: drawn, never applied
  for (int n = 1; n <= kDrifts; ++n) {
    s.elements.elem_name[n] = "drift";
    s.elements.elem_par[n][1] = 10.0;
    s.elements.elem_int[n][11] = kSteps;
    s.elements.elem_pos[n] = 10.0 * n;
  }
  bench::fill_bench_beam(s, kStates, kParticles, 1000.0, 0.0, 4.0);
  for (int iq = 1; iq <= kStates; ++iq) s.config.npat0[iq] = kParticles;
  State(s, "ini_dis.dat", "write");
}

double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() / "linac-seed-loop-bench";
  std::filesystem::create_directories(dir);
  std::printf("threads seed  drawing[ms]  restores[ms]  final[ms]  (drawing+restores)/final\n");
  for (int threads : {1, 8}) {
    omp_set_num_threads(threads);
    auto sim = make_sim();
    Sim& s = *sim;
    set_up(s, dir);
    // The nominal pass gives the reference of every position.
    s.state.ipass = 1;
    s.state.ipos = 0;
    for (std::int32_t n = 1; n <= kDrifts; ++n) dispatch_element(s, n);
    s.state.ipass = 2;
    err_stat_clear(s);
    for (int seed = 1; seed <= kSeeds; ++seed) {
      auto t0 = std::chrono::steady_clock::now();
      seed_element_errors(s, seed);
      const double drawing = ms_since(t0);

      t0 = std::chrono::steady_clock::now();
      const SeedOffset offset{0.01, 1e-4, -0.01, 0.0, 0.01, 0.0};
      State(s, "ini_dis.dat", "read");
      shift_beam(s, offset);
      State(s, "corr_dis.dat", "write");
      State(s, "ini_dis.dat", "read");
      shift_beam(s, offset);
      const double restores = ms_since(t0);

      t0 = std::chrono::steady_clock::now();
      seed_final_pass(s, seed);
      const double final_pass = ms_since(t0);
      std::printf("%7d %4d %12.1f %13.1f %10.1f %12.1f %%\n", threads, seed, drawing, restores, final_pass,
                  100.0 * (drawing + restores) / final_pass);
    }
    s.units.close_all();
  }
  std::filesystem::remove_all(dir);
  return 0;
}
