// Particle-steps per second of the bending magnet: a 90-degree magnet of
// radius 100 cm with 10 cm straight parts and 100 steps, 1e5 particles in
// each of 2 charge states of Q/A = 1 at 1 MeV/u, at 1, 2, 4 and 8 threads
// (the set-up, reference path and entrance and exit statistics are part of
// the measured work); and the time of one geometry set-up (four reference
// passes) alone.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>

#include "bench_beam.hpp"
#include "run/sim.hpp"
#include "elements/bend.hpp"

namespace {

using namespace linac;

constexpr int kParticles = 100000;  // per charge state
constexpr int kStates = 2;
constexpr int kSteps = 100;

void set_up(Sim& s) {
  bench::set_up_bench_run(s, 1.0, 1.0);
  s.config.NQTOT = kStates;
  s.elements.elem_name[1] = "bmag";
  const double P[9] = {20.0 + 50.0 * kPi, 100.0, 90.0, 2.0, 10.0, 0.0, 0.0, 0.0, 0.0};
  for (int k = 0; k < 9; ++k) s.elements.elem_par[1][k + 1] = P[k];
  s.elements.elem_int[1][11] = kSteps;
}

// The bench beam, every particle of Q/A = 1.
void fill_beam(Sim& s) {
  bench::fill_bench_beam(s, kStates, kParticles, 1000.0, 0.0, 1.0);
  for (int iq = 1; iq <= kStates; ++iq) {
    s.config.QQ[iq] = 1.0;
    for (int i = 0; i <= kParticles; ++i) s.particles.qa[iq][i] = 1.0;
  }
}

void BM_Bend(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  omp_set_num_threads(threads);
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s);
  int lost = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fill_beam(s);
    state.ResumeTiming();
    bmag_element(s, 1);
    benchmark::DoNotOptimize(s.particles.x[1][1]);
  }
  for (int iq = 1; iq <= kStates; ++iq)
    for (int i = 0; i <= kParticles; ++i) lost += s.particles.status[iq][i] < 0;
  const double steps_per_iter = static_cast<double>(kStates) * (kParticles + 1) * kSteps;
  state.counters["particle_steps_per_s"] =
      benchmark::Counter(steps_per_iter * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  state.counters["threads"] = threads;
  state.counters["lost"] = lost;
}

BENCHMARK(BM_Bend)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BendSetUp(benchmark::State& state) {
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s);
  fill_beam(s);
  s.state.ipos = 1;
  s.state.itype = 3;
  for (auto _ : state) {
    bmag_read_line(s, 1);
    s.ref.qa_push = 1.0;
    s.ref.field1 = 1440.127;
    bmag_setup_fringe(s);
    benchmark::DoNotOptimize(s.bmag_geom.ref_path_len);
  }
}

BENCHMARK(BM_BendSetUp)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
