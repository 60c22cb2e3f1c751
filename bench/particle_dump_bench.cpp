// Time of an ascii dump of the whole beam: 6 charge states of 1e5
// particles, every slot in the layout of mode 1 (one (2F8.2,7E15.6,I3)
// line per slot), to a file in the system's temporary directory, with the
// lines formatted on 1 and on 8 threads (wall-clock time); and the same
// number of lines through the formatter alone on one thread, the bound of
// a dump on one thread.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <filesystem>

#include "beam/particle_dump.hpp"
#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "platform/format.hpp"

namespace {

using namespace linac;

constexpr int kParticles = 100000;  // per charge state
constexpr int kStates = 6;

void set_up(Sim& s) {
  set_start_values(s);
  set_remaining_defaults(s);
  s.ref.amu_kev = kAmuKev;
  s.ref.w0 = 1000.0;
  s.ref.wavelength_2pi = 299.792458 / kTwoPi;
  s.config.NQTOT = kStates;
  for (int iq = 1; iq <= kStates; ++iq) {
    s.config.NPAT[iq] = kParticles - 1;
    s.config.QQ[iq] = 10 + iq;
    s.config.AMASS[iq] = 40.0;
    ParticleArrays& p = s.particles;
    for (int i = 0; i < kParticles; ++i) {
      const double u = 1e-3 * (i % 997);
      p.x[iq][i] = 0.1 * std::sin(u * 7.0);
      p.xp[iq][i] = 1e-3 * std::cos(u * 5.0);
      p.y[iq][i] = -0.1 * std::cos(u * 3.0);
      p.yp[iq][i] = 2e-3 * std::sin(u * 11.0);
      p.phase[iq][i] = 0.3 * std::sin(u * 13.0);
      p.beta[iq][i] = 0.0463 * (1.0 + 1e-3 * u);
      p.z[iq][i] = 0.0;
      p.status[iq][i] = (i % 1000 == 999) ? kLost : kLive;
    }
  }
}

void BM_AsciiDumpMode1(benchmark::State& state) {
  omp_set_num_threads(static_cast<int>(state.range(0)));
  auto sim = make_sim();
  set_up(*sim);
  const auto dir = std::filesystem::temp_directory_path() / "linac-dump-bench";
  std::filesystem::create_directories(dir);
  sim->units.set_directory(dir);
  for (auto _ : state) write_particle_dump(*sim, 1, "ascii.#001");
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(kStates) * kParticles, benchmark::Counter::kIsIterationInvariantRate);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_AsciiDumpMode1)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_FormatterOnly(benchmark::State& state) {
  const FortranFormat row("(2F8.2,7E15.6,I3)");
  std::size_t bytes = 0;
  for (auto _ : state) {
    for (int i = 0; i < kStates * kParticles; ++i) {
      const double u = 1e-6 * i;
      const FmtItem items[] = {11.0, 40.0, 0.1 + u, 1e-3, -0.1, 2e-3, 0.3 - u, 0.0463, 0.0, 0};
      bytes += row.write(items).front().size();
    }
  }
  benchmark::DoNotOptimize(bytes);
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(kStates) * kParticles, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FormatterOnly)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
