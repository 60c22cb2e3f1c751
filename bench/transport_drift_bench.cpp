// Particle-steps per second of the drift driver: a lattice of 10 drifts of
// 10 cm in 50 steps each, 1e5 particles in each of 2 charge states, no
// losses, at 1, 2, 4 and 8 threads. The statistics at each element's
// entrance and exit are part of the measured work.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>

#include "common/sim.hpp"
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
  set_start_values(s);
  set_remaining_defaults(s);
  s.config.IGRAPH = 0;
  s.ref.FREQB = 100e6;
  s.ref.harm = 1.0;
  s.ref.wavelength = 299.792458;
  s.ref.wavelength_2pi = 299.792458 / kTwoPi;
  s.ref.QDESIGN = 1.0;
  s.ref.ADESIGN = 4.0;
  s.config.iel_first = 1;
  s.config.NQTOT = kStates;
  for (int n = 1; n <= kDrifts; ++n) {
    s.elements.elem_name[n] = "drift";
    s.elements.elem_par[n][1] = 10.0;
    s.elements.elem_int[n][11] = kSteps;
  }
}

void fill_beam(Sim& s) {
  const double W = 1000.0;
  const double g = W / s.ref.amu_kev + 1.0;
  const double beta = std::sqrt(1.0 - 1.0 / (g * g));
  s.ref.w0 = W;
  s.state.ipos = 0;
  s.state.ipass = 1;
  s.history.ref_W_out[0] = W;
  reset_element_frame(s);
  for (int iq = 1; iq <= kStates; ++iq) {
    s.config.NPAT[iq] = kParticles;
    s.config.QQ[iq] = iq;
    s.config.AMASS[iq] = 4.0;
    ParticleArrays& p = s.particles;
    for (int i = 0; i <= kParticles; ++i) {
      const double u = std::sin(1.3 * i + iq), v = std::cos(0.7 * i);
      p.x[iq][i] = 0.2 * u;
      p.xp[iq][i] = 0.002 * v;
      p.y[iq][i] = 0.2 * v;
      p.yp[iq][i] = -0.002 * u;
      p.phase[iq][i] = 0.1 * u * v;
      p.beta[iq][i] = beta * (1.0 + 1e-3 * u);
      p.qa[iq][i] = iq / 4.0;
      p.z[iq][i] = 0.0;
      p.status[iq][i] = 0;
    }
  }
}

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
