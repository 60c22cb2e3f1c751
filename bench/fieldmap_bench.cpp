// Particle-steps per second of the field-map drivers: eq3d (electric
// quadrupole, quarter table), eh3d (E and B, full table), sol (on-axis
// table), quad with and without the per-step Enge memo, and eq3d pushed in
// time (time steps per element step as needed), for one charge state of
// 1.6e5 particles and six of 1e5, at 1, 2, 4 and 8 threads. No current,
// apertures wide enough that nothing is lost; tables written to a scratch
// directory. The entrance and exit statistics of the element are part of
// the measured work; rate = nstep x live particles / wall time.
//
// particle_steps_per_s is the rate of an element met again in a run (the
// element run once before, untimed): its table is in memory and the work
// arrays of the push have their pages. first_run_steps_per_s is the rate of
// that first run, which also reads the table file and touches fresh pages.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_beam.hpp"
#include "run/sim.hpp"
#include "transport/enge.hpp"
#include "transport/fieldmap.hpp"
#include "transport/frame.hpp"
#include "transport/stepping.hpp"
#include "transport/table_writers.hpp"

namespace {

using namespace linac;

constexpr int kSteps = 10;  // element steps
constexpr double kW = 4692.696299165396;  // keV/u, beta = 0.1

struct Beam {
  int states;
  int particles;
};
constexpr Beam kBeams[] = {{1, 160000}, {6, 100000}};

enum Variant { kEq3d, kEh3d, kSol, kQuadMemo, kQuadNoMemo, kEq3dTime };

// The quad source without its memo: every evaluation computes the profile.
struct QuadNoMemo {
  QuadSource q;
  bool element_field(double x, double y, double z, double t, Vec3& E, Vec3& B) const {
    return q.element_field(x, y, z, t, E, B);
  }
};

std::filesystem::path table_dir() {
  static const std::filesystem::path dir = [] {
    const auto d = std::filesystem::temp_directory_path() / "linac-fieldmap-bench";
    std::filesystem::create_directories(d);
    Screen screen;
    Units units(screen);
    units.set_directory(d);
    write_table3d(units, "eh_EMS.#05", table_layout(3.5, 3.5, 5.0, {1, 1, 0}), kKindE,
                  analytic::electric_quadrupole(-300.0));
    Table3DLayout full = table_layout(3.5, 3.5, 5.0, {0, 0, 0});
    full.head_int = 1;  // E and B
    write_table3d(units, "eh_EMS.#06", full, kKindEB,
                  analytic::uniform({0.0, 0.0, 100.0}, {0.0, 30.0, 0.0}));
    std::vector<double> samples(81);
    for (int i = 0; i < 81; ++i)
      samples[static_cast<std::size_t>(i)] = analytic::smooth_solenoid_axis(1.0, 30.0, i * 30.0 / 80);
    write_solenoid_table(units, "solenoid.#01", samples);
    return d;
  }();
  return dir;
}

void set_up(Sim& s, Variant v, const Beam& b) {
  bench::set_up_bench_run(s, 1.0, 2.0);
  s.config.NQTOT = b.states;
  s.units.set_directory(table_dir());
  s.config.iflag_dudt = v == kEq3dTime ? 1 : 0;
  auto& name = s.elements.elem_name[1];
  auto& P = s.elements.elem_par[1];
  auto& I = s.elements.elem_int[1];
  I[11] = kSteps;
  switch (v) {
    case kEq3d:
    case kEq3dTime:
      name = "eq3d";
      I[kElemN] = 5;
      P[1] = 1.0, P[2] = 10.0, P[3] = 3.0;
      break;
    case kEh3d:
      name = "eh3d";
      I[kElemN] = 6;
      P[1] = 1.0, P[2] = 1.0, P[3] = 10.0, P[4] = 3.0;
      break;
    case kSol:
      name = "sol";
      I[kElemN] = 1;
      P[1] = 3000.0, P[2] = 30.0, P[3] = 0.0, P[4] = 3.0;
      break;
    case kQuadMemo:
    case kQuadNoMemo:
      name = "quad";
      P[1] = 300.0, P[2] = 20.0, P[3] = 15.0, P[4] = 3.0;
      break;
  }
}

// Charge states 1..n of mass 2n (Q/A up to 1/2) at beta = 0.1.
void fill_beam(Sim& s, const Beam& b) {
  bench::fill_bench_beam(s, b.states, b.particles, kW, 0.0, 2.0 * b.states);
}

void run_element(Sim& s, Variant v) {
  switch (v) {
    case kEq3d:
    case kEq3dTime:
      eq3d_element(s, 1);
      break;
    case kEh3d:
      eh3d_element(s, 1);
      break;
    case kSol:
      sol_element(s, 1);
      break;
    case kQuadMemo:
      quad_element(s, 1);
      break;
    case kQuadNoMemo:
      break;
  }
}

void BM_FieldMap(benchmark::State& state, Variant v) {
  const int threads = static_cast<int>(state.range(0));
  const Beam& b = kBeams[state.range(1)];
  omp_set_num_threads(threads);
  auto sim = make_sim();
  Sim& s = *sim;
  set_up(s, v, b);
  double first_run_seconds = 0.0;
  if (v != kQuadNoMemo) {
    fill_beam(s, b);
    const auto t0 = std::chrono::steady_clock::now();
    run_element(s, v);
    first_run_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  for (auto _ : state) {
    state.PauseTiming();
    fill_beam(s, b);
    if (v == kQuadNoMemo) {
      // Element set up by the driver, then stepped again without the memo.
      quad_element(s, 1);
      fill_beam(s, b);
      s.state.ipos = 1;
    }
    state.ResumeTiming();
    if (v == kQuadNoMemo) {
      const FieldAt<QuadNoMemo> field{{quad_source(s)}};
      step_element(s, 1, field, s.ref.elem_len, true);
    } else {
      run_element(s, v);
    }
    benchmark::DoNotOptimize(s.particles.x[1][1]);
  }
  const double steps = static_cast<double>(b.states) * (b.particles + 1) * kSteps;
  state.counters["particle_steps_per_s"] =
      benchmark::Counter(steps * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  if (first_run_seconds > 0.0) state.counters["first_run_steps_per_s"] = steps / first_run_seconds;
}

void threads_and_beams(benchmark::internal::Benchmark* b) {
  for (int beam = 0; beam < 2; ++beam)
    for (int t : {1, 2, 4, 8}) b->Args({t, beam});
}

#define LINAC_FIELDMAP_BENCH(name, variant)                                              \
  BENCHMARK_CAPTURE(BM_FieldMap, name, variant)                                          \
      ->Apply(threads_and_beams)                                                         \
      ->ArgNames({"threads", "beam"})                                                    \
      ->Iterations(1)                                                                    \
      ->Unit(benchmark::kMillisecond)                                                    \
      ->UseRealTime()

LINAC_FIELDMAP_BENCH(eq3d, kEq3d);
LINAC_FIELDMAP_BENCH(eh3d, kEh3d);
LINAC_FIELDMAP_BENCH(sol, kSol);
LINAC_FIELDMAP_BENCH(quad_memo, kQuadMemo);
LINAC_FIELDMAP_BENCH(quad_no_memo, kQuadNoMemo);
LINAC_FIELDMAP_BENCH(eq3d_time, kEq3dTime);

}  // namespace

BENCHMARK_MAIN();
