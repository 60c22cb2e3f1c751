// Particle-steps per second of the RFQ's particle loop: 1e5 protons at
// 1 MeV/u pushed through one regular cell (beta lambda/2 at 100 MHz, 20
// steps) in the two-term field and in the eight-term field, at 1 and 8
// threads. The loop is the driver's: push_charge_state on the cell's field
// source (five field evaluations a particle and step), the step's vane
// aperture, no losses.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>

#include "../tools/rfq_cell_design.hpp"
#include "bench_beam.hpp"
#include "run/sim.hpp"
#include "elements/rfq/rfq_field.hpp"
#include "transport/stepping.hpp"

namespace {

using namespace linac;

constexpr int kParticles = 100000;
constexpr int kSteps = 20;

struct Bench {
  std::unique_ptr<Sim> sim = make_sim();
  RfqCellSet cells;
  RfqCellKind kind;
  double L = 0.0, a = 0.0;
  // The beam as generated: every pass starts from it, so each iteration
  // pushes the same particles through the same cell (no losses carried over).
  decltype(Sim::particles) initial;

  explicit Bench(bool eight) {
    Sim& s = *sim;
    bench::set_up_bench_run(s, 1.0, 1.0);
    s.config.NQTOT = 1;
    bench::fill_bench_beam(s, 1, kParticles, 1000.0, 0.0, 1.0);
    const double beta = std::sqrt(1.0 - 1.0 / std::pow(1.0 + 1000.0 / s.ref.amu_kev, 2));
    L = beta * s.ref.wavelength / 2.0;
    cells.ncells = 1;
    cells.R = 0.45;
    cells.concave = 1.0;
    cells.volt_kv = 20.0;
    cells.file_name = "bench";
    cells.cells.assign(2, RfqCell{});
    RfqCell& c = cells.cells[1];
    c.len = L;
    c.r0 = 0.4;
    c.mod = 1.3;
    c.amin = 2.0 * c.r0 / (c.mod + 1.0);
    double A10 = 0.0, A01 = 0.0;
    rfq_design::two_term(L, c.r0, c.mod, A10, A01);
    c.c[7] = A01;
    c.c[8] = A10;
    if (eight)
      for (int k = 9; k <= 14; ++k) c.c[static_cast<std::size_t>(k)] = 0.01 * (k - 8);
    std::array<double, 7> aij{};
    aij.fill(1.0);
    derive_rfq_cells(s, cells, aij);
    kind = make_cell_kind(cells, 1, rfq_cell_mode(cells.cells[1]));
    a = cells.cells[1].amin;
    s.ref.nstep = kSteps;
    s.ref.step_len = L / kSteps;
    s.state.itype = 9;
    initial = s.particles;
  }

  void restore() {
    sim->particles = initial;
    sim->transport.step_losses.clear();
  }

  // One pass of the beam through the cell.
  template <class K>
  void run(const K& k) {
    Sim& s = *sim;
    RfqSource<K> src{k, L, a, a, 0.3, nullptr};
    double z_start = 0.0;
    for (int step = 1; step <= kSteps; ++step) {
      s.transport.step.zref = step * s.ref.step_len;
      src.prepare_step(z_start, s.ref.step_len);
      z_start = z_start + s.ref.step_len;
      const FieldAt<RfqSource<K>> field{src};
      push_charge_state(s, field, 1, s.ref.step_len);
    }
  }
};

void BM_RfqCell(benchmark::State& state) {
  const bool eight = state.range(0) == 8;
  const int threads = static_cast<int>(state.range(1));
  omp_set_num_threads(threads);
  Bench b(eight);
  for (auto _ : state) {
    state.PauseTiming();
    b.restore();
    state.ResumeTiming();
    std::visit([&](const auto& k) { b.run(k); }, b.kind);
    benchmark::DoNotOptimize(b.sim->particles.x[1][1]);
  }
  state.counters["particle_steps_per_s"] = benchmark::Counter(
      static_cast<double>(kParticles + 1) * kSteps * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["terms"] = eight ? 8 : 2;
  state.counters["threads"] = threads;
  state.counters["lost"] = static_cast<double>(b.sim->transport.step_losses.size());
}

BENCHMARK(BM_RfqCell)
    ->Args({2, 1})
    ->Args({2, 8})
    ->Args({8, 1})
    ->Args({8, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
