// Particles per second through the elements by transfer matrix: a lattice
// of 5 solenoids and 5 quadrupoles by matrix (each 10 cm, effective length
// 8 cm, no losses), 1e5 particles in each of 2 charge states, at 1, 2, 4
// and 8 threads. The second argument is the statistics mode: 0 takes the
// entrance and exit statistics of every element as a run does (they are
// part of the measured work), 2 takes none, which leaves the transport
// alone. For comparison in the same run, one step of a drift lattice
// (10 drifts of 50 steps) on the same beam: a matrix element should cost
// less per particle than one drift step.
#include <benchmark/benchmark.h>
#include <omp.h>

#include "bench_beam.hpp"
#include "run/sim.hpp"
#include "transport/drift.hpp"
#include "transport/matrix_elements.hpp"

namespace {

using namespace linac;

constexpr int kParticles = 100000;  // per charge state
constexpr int kStates = 2;
constexpr int kElements = 10;
constexpr int kDriftSteps = 50;

void set_up(Sim& s, bool drifts) {
  bench::set_up_bench_run(s, 1.0, 4.0);
  s.config.NQTOT = kStates;
  for (int n = 1; n <= kElements; ++n) {
    auto& P = s.elements.elem_par[n];
    if (drifts) {
      s.elements.elem_name[n] = "drift";
      P[1] = 10.0;
      s.elements.elem_int[n][11] = kDriftSteps;
      continue;
    }
    const bool sol = n % 2 == 1;
    s.elements.elem_name[n] = sol ? "sol  " : "quad ";
    s.elements.elem_int[n][kElemN] = sol ? 0 : -1;
    P[1] = sol ? 3000.0 : (n % 4 == 0 ? 2000.0 : -2000.0);
    P[2] = 10.0;
    P[3] = 8.0;
    P[4] = 50.0;
  }
}

void run_lattice(benchmark::State& state, bool drifts) {
  const int threads = static_cast<int>(state.range(0));
  omp_set_num_threads(threads);
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s, drifts);
  s.state.istat_mode = static_cast<int>(state.range(1));
  for (auto _ : state) {
    state.PauseTiming();
    bench::fill_bench_beam(s, kStates, kParticles, 1000.0, 0.0, 4.0);
    state.ResumeTiming();
    for (int n = 1; n <= kElements; ++n) {
      s.ref.nstep = 1;
      s.ref.elem_len = 0.0;
      if (drifts)
        drift_element(s, n);
      else if (n % 2 == 1)
        sol_matrix_element(s, n);
      else
        quad_matrix_element(s, n);
    }
    benchmark::DoNotOptimize(s.particles.x[1][1]);
  }
  // One unit of work: a particle through one matrix element, or one drift step.
  const double per_iter =
      static_cast<double>(kStates) * (kParticles + 1) * kElements * (drifts ? kDriftSteps : 1);
  state.counters[drifts ? "particle_steps_per_s" : "particle_elements_per_s"] =
      benchmark::Counter(per_iter * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["threads"] = threads;
  state.counters["istat_mode"] = static_cast<double>(state.range(1));
}

void BM_MatrixLattice(benchmark::State& state) { run_lattice(state, false); }
void BM_DriftLattice(benchmark::State& state) { run_lattice(state, true); }

BENCHMARK(BM_MatrixLattice)
    ->ArgsProduct({{1, 2, 4, 8}, {0, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_DriftLattice)
    ->ArgsProduct({{1, 2, 4, 8}, {0, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
