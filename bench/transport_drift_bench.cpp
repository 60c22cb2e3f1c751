// Particle-steps per second of the drift driver: a lattice of 10 drifts of
// 10 cm in 50 steps each, 1e5 particles in each of 2 charge states, no
// losses, at 1, 2, 4 and 8 threads. The statistics at each element's
// entrance and exit are part of the measured work.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>

#include "bench_beam.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "transport/drift.hpp"
#include "transport/frame.hpp"

namespace {

using namespace linac;

constexpr int kParticles = 100000;  // per charge state
constexpr int kStates = 2;
constexpr int kDrifts = 10;
constexpr int kSteps = 50;

void set_up(Sim& s) {
  bench::set_up_bench_run(s, 1.0, 4.0);
  s.config.NQTOT = kStates;
  for (int n = 1; n <= kDrifts; ++n) {
    s.elements.elem_name[n] = "drift";
    s.elements.elem_par[n][1] = 10.0;
    s.elements.elem_int[n][11] = kSteps;
  }
}

void fill_beam(Sim& s) { bench::fill_bench_beam(s, kStates, kParticles, 1000.0, 0.0, 4.0); }

void BM_DriftLattice(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  omp_set_num_threads(threads);
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s);
  for (auto _ : state) {
    state.PauseTiming();
    fill_beam(s);
    state.ResumeTiming();
    for (int n = 1; n <= kDrifts; ++n) drift_element(s, n);
    benchmark::DoNotOptimize(s.particles.x[1][1]);
  }
  const double steps_per_iter = static_cast<double>(kStates) * (kParticles + 1) * kDrifts * kSteps;
  state.counters["particle_steps_per_s"] =
      benchmark::Counter(steps_per_iter * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  state.counters["threads"] = threads;
}

BENCHMARK(BM_DriftLattice)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
