// Cost of the plot picture: plot_step per plotted particle (one thread, the
// picture file not written), one PNG write of the 1366 x 768 picture, and
// the drift lattice of transport_drift_bench with IGRAPH = 1 against 0 at 1
// and 8 threads (with the plots on, the statistics run after every step and
// the picture file is written at most once per second of the clock).
#include <benchmark/benchmark.h>
#include <omp.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench_beam.hpp"
#include "beam/plots.hpp"
#include "run/sim.hpp"
#include "transport/drift.hpp"

namespace {

using namespace linac;

constexpr int kParticles = 100000;  // per charge state
constexpr int kDrifts = 10;
constexpr int kSteps = 50;

struct BenchDir {
  BenchDir() {
    path = std::filesystem::temp_directory_path() / ("linac-plot-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    std::ofstream(path / "graph.cfg")
        << "&WINS TITLE='bench', XMIN=-0.5,-0.5,-90,0, XMAX=0.5,0.5,90,0,"
           " YMIN=-0.005,-0.005,-0.01,0, YMAX=0.005,0.005,0.01,1 /\n";
  }
  ~BenchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path path;
};

std::istringstream g_no_input;

void set_up(Sim& s, const BenchDir& dir, int states, bool fixed_clock) {
  bench::set_up_bench_run(s, 1.0, 4.0);
  s.units.set_directory(dir.path);
  s.viewer.redirect(g_no_input, false);
  if (fixed_clock) s.clock.set_source([] { return LocalTime{2026, 1, 1, 0, 0, 0}; });
  s.config.NQTOT = states;
  s.config.iel_last = kDrifts;
  for (int n = 1; n <= kDrifts; ++n) {
    s.elements.elem_name[n] = "drift";
    s.elements.elem_par[n][1] = 10.0;
    s.elements.elem_int[n][11] = kSteps;
    s.elements.elem_pos[n] = 10.0 * n;
  }
  bench::fill_bench_beam(s, states, kParticles, 1000.0, 0.0, 4.0);
  s.ref.w_origin = 1000.0;
}

void BM_PlotStep(benchmark::State& state) {
  omp_set_num_threads(1);
  BenchDir dir;
  auto sim = make_sim();
  Sim& s = *sim;
  constexpr int kStates = 3;
  set_up(s, dir, kStates, true);
  s.config.IGRAPH = 1;
  plot_windows_setup(s);
  plot_step(s, 0.0);  // the first picture and its file
  s.state.ipos = 1;
  s.ref.nstep = kSteps;
  for (auto _ : state) plot_step(s, 10.0);
  const double plotted = static_cast<double>(kStates) * (kParticles + 1);
  // Inverted rate of (particles / 1e9) per second: nanoseconds per particle.
  state.counters["ns_per_particle"] =
      benchmark::Counter(plotted * static_cast<double>(state.iterations()) * 1e-9,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PlotStep)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PngWrite(benchmark::State& state) {
  BenchDir dir;
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s, dir, 3, true);
  s.config.IGRAPH = 1;
  plot_windows_setup(s);
  plot_step(s, 0.0);
  for (auto _ : state) save_picture(s);
}
BENCHMARK(BM_PngWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// Arguments: threads, IGRAPH.
void BM_DriftLatticePlots(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const int igraph = static_cast<int>(state.range(1));
  omp_set_num_threads(threads);
  BenchDir dir;
  auto sim = make_sim();
  Sim& s = *sim;
  constexpr int kStates = 2;
  set_up(s, dir, kStates, false);
  s.config.IGRAPH = igraph;
  if (igraph == 1) {
    plot_windows_setup(s);
    plot_step(s, 0.0);
  }
  for (auto _ : state) {
    state.PauseTiming();
    bench::fill_bench_beam(s, kStates, kParticles, 1000.0, 0.0, 4.0);
    state.ResumeTiming();
    for (int n = 1; n <= kDrifts; ++n) drift_element(s, n);
    benchmark::DoNotOptimize(s.particles.x[1][1]);
  }
  const double steps_per_iter = static_cast<double>(kStates) * (kParticles + 1) * kDrifts * kSteps;
  state.counters["particle_steps_per_s"] =
      benchmark::Counter(steps_per_iter * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DriftLatticePlots)
    ->Args({1, 0})->Args({1, 1})->Args({8, 0})->Args({8, 1})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
