// Particle-steps per second of the RF cavity driver: 10 cavities of a
// Gaussian-gap RF table, 10 cm in 50 steps each, 1e5 particles in each of 2
// charge states, no losses, at 1, 2, 4 and 8 threads. The cavities are run
// in an error-study pass with zero errors (the phases and amplitudes of a
// nominal pass run once before), so the measured work is the beam's push,
// the design particle and the statistics, not the phase scans. The phase
// scan of one cavity (30 design-particle pushes, spline and fine search) is
// timed on its own.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <filesystem>
#include <random>
#include <string>

#include "bench_beam.hpp"
#include "run/sim.hpp"
#include "common/unit_numbers.hpp"
#include "elements/cavity.hpp"
#include "transport/reference.hpp"
#include "transport/table_writers.hpp"

namespace {

using namespace linac;

constexpr int kParticles = 100000;  // per charge state
constexpr int kStates = 2;
constexpr int kCavities = 10;
constexpr int kSteps = 50;

// A scratch directory with the gap table and log.dat, removed at the end.
struct Scratch {
  std::filesystem::path dir;
  Scratch() {
    std::random_device rd;
    dir = std::filesystem::temp_directory_path() / ("linac-cavity-bench-" + std::to_string(rd()));
    std::filesystem::create_directories(dir);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

void set_up(Sim& s, const Scratch& scratch) {
  bench::set_up_bench_run(s, 1.0, 4.0);
  s.units.set_directory(scratch.dir);
  s.units.open(kUnitLog, "log.dat");
  s.config.NQTOT = kStates;
  s.tables.DEESRF = 0.0;
  Table3DLayout l = table_layout(2.0, 2.0, 5.0, {0, 0, 0});
  l.head_2 = 2.0;
  l.head_int = 1;
  write_table3d(s.units, "eh_MWS.#01", l, kKindEB, analytic::gaussian_gap(1e4, 1.0));
  for (int n = 1; n <= kCavities; ++n) {
    s.elements.elem_name[n] = "cav  ";
    s.elements.elem_int[n][kElemN] = 1;
    s.elements.elem_par[n][1] = 10.0;  // L, cm
    s.elements.elem_par[n][2] = 1.0;   // harmonic
    s.elements.elem_par[n][3] = 1.0;   // amplitude factor
    s.elements.elem_par[n][5] = -30.0; // deg from the crest
    s.elements.elem_int[n][11] = kSteps;
  }
}

void fill_beam(Sim& s, int ipass) {
  bench::fill_bench_beam(s, kStates, kParticles, 1000.0, 0.0, 4.0);
  s.state.ipass = ipass;
  s.ref.harm = 1.0;
}

void BM_CavityLattice(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  omp_set_num_threads(threads);
  Scratch scratch;
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s, scratch);
  fill_beam(s, 1);
  for (int n = 1; n <= kCavities; ++n) cav_element(s, n);
  for (auto _ : state) {
    state.PauseTiming();
    fill_beam(s, 2);
    state.ResumeTiming();
    for (int n = 1; n <= kCavities; ++n) cav_element(s, n);
    benchmark::DoNotOptimize(s.particles.beta[1][1]);
  }
  const double steps_per_iter = static_cast<double>(kStates) * (kParticles + 1) * kCavities * kSteps;
  state.counters["particle_steps_per_s"] =
      benchmark::Counter(steps_per_iter * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  state.counters["threads"] = threads;
}

void BM_PhaseScan(benchmark::State& state) {
  omp_set_num_threads(1);
  Scratch scratch;
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s, scratch);
  fill_beam(s, 1);
  cav_element(s, 1);  // table, reference path and entrance energy of position 1
  for (auto _ : state) benchmark::DoNotOptimize(cav_phase_scan(s, 0.0));
}

BENCHMARK(BM_CavityLattice)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PhaseScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
