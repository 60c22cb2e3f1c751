// Particles per second of the charge stripper on one thread (its draws
// come from the run's one stream in a fixed order, so the foil cannot be
// split over threads): 6 charge states of 1e5 particles each through a foil
// of model 1 with a 5 % thickness spread into 6 new states. The statistics
// in front of and behind the foil are part of the measured work. The peak
// memory the element allocates beyond what exists before it runs is
// measured by counting every operator new of the process. A second
// benchmark times the two statistics alone.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>

#include "beam/stats.hpp"
#include "bench_beam.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "elements/stripper.hpp"
#include "numerics/random.hpp"

namespace {

std::atomic<long long> g_live{0};  // bytes allocated and not freed
std::atomic<long long> g_peak{0};  // largest g_live since the last reset

void note_alloc(long long n) {
  const long long now = g_live.fetch_add(n) + n;
  long long peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}

}  // namespace

// Every allocation carries its size in a header of 16 bytes.
void* operator new(std::size_t n) {
  void* p = std::malloc(n + 16);
  if (!p) throw std::bad_alloc();
  *static_cast<std::size_t*>(p) = n;
  note_alloc(static_cast<long long>(n));
  return static_cast<char*>(p) + 16;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  char* base = static_cast<char*>(p) - 16;
  g_live.fetch_sub(static_cast<long long>(*reinterpret_cast<std::size_t*>(base)));
  std::free(base);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using namespace linac;

constexpr int kParticles = 100000;  // per charge state
constexpr int kStates = 6;

void set_up(Sim& s, const std::filesystem::path& dir) {
  bench::set_up_bench_run(s, 8.0, 40.0);
  s.units.set_directory(dir);
  std::ofstream(dir / "stripper.#01") << " 6\n 10 11 12 13 14 15\n"
                                      << " 0.1 0.15 0.25 0.25 0.15 0.1\n 0 0 0 0 0 0\n 990\n";
  s.elements.elem_name[1] = "strip";
  s.elements.elem_int[1][kElemN] = 1;
  s.elements.elem_par[1][4] = 0.05;
  rn_set_seed(s, 1234567);
}

void fill_beam(Sim& s) {
  bench::fill_bench_beam(s, kStates, kParticles, 1000.0, 7.0, 40.0);
  s.config.NQTOT = kStates;
  s.ref.nstep = 1;
  s.ref.elem_len = 0.0;
}

void BM_Stripper(benchmark::State& state) {
  omp_set_num_threads(1);
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "linac-stripper-bench";
  std::filesystem::create_directories(dir);
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s, dir);
  long long peak_extra = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fill_beam(s);
    const long long before = g_live.load();
    g_peak.store(before);
    state.ResumeTiming();
    strip_element(s, 1);
    benchmark::DoNotOptimize(s.particles.x[1][1]);
    state.PauseTiming();
    peak_extra = std::max(peak_extra, g_peak.load() - before);
    state.ResumeTiming();
  }
  const double per_iter = static_cast<double>(kStates) * (kParticles + 1);
  state.counters["particles_per_s"] = benchmark::Counter(
      per_iter * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["peak_extra_MB"] = static_cast<double>(peak_extra) / 1e6;
  state.counters["bytes_per_particle"] = static_cast<double>(peak_extra) / per_iter;
  std::filesystem::remove_all(dir);
}

// The two statistics of the beam in front of and behind the foil alone,
// on the same beam and thread: the share of the element that is not the
// foil itself.
void BM_StripperStatistics(benchmark::State& state) {
  omp_set_num_threads(1);
  auto sim = make_sim();
  Sim& s = *sim;
  bench::set_up_bench_run(s, 8.0, 40.0);
  fill_beam(s);
  s.state.ipos = 1;
  s.history.ref_W_out[1] = s.ref.w0;
  for (auto _ : state) {
    stat(s, 1);
    stat(s, 1);
    benchmark::DoNotOptimize(s.beam_moments.eps_rms[1]);
  }
  const double per_iter = static_cast<double>(kStates) * (kParticles + 1);
  state.counters["particles_per_s"] = benchmark::Counter(
      per_iter * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Stripper)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StripperStatistics)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
