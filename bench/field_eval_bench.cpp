// Cost of one field evaluation of each table routine (one thread), and of
// loading a 6 MB RF table from disk against finding it in the table cache.
//
//   bench/field_eval_bench [--benchmark_filter=...]
//
// Points are spread over the table's region, the same sequence for every
// routine; the per-evaluation time is the loop time divided by the points.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <vector>

#include "run/sim.hpp"
#include "transport/field_tables.hpp"
#include "transport/table_fields.hpp"
#include "transport/table_writers.hpp"

namespace linac {
namespace {

constexpr int kPoints = 4096;

struct Point {
  double x, y, z;
};

// Points of an element of length 20 cm over a table of +-1.5 cm, +-10 cm.
const std::vector<Point>& points() {
  static const std::vector<Point> p = [] {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> t(-1.4, 1.4), z(0.2, 19.8);
    std::vector<Point> v(kPoints);
    for (auto& q : v) q = {t(rng), t(rng), z(rng)};
    return v;
  }();
  return p;
}

// The same number of points in 16 z planes, as the particles of one push
// step stand at one z: the stencil rows of a plane stay in cache.
const std::vector<Point>& plane_points() {
  static const std::vector<Point> p = [] {
    std::vector<Point> v = points();
    for (std::size_t i = 0; i < v.size(); ++i) v[i].z = 0.2 + 1.2 * static_cast<double>(i / 256);
    return v;
  }();
  return p;
}

const Table3D& table(int kind, bool quarter) {
  static const Table3D e = build_table3d(table_layout(1.5, 1.5, 10.0, {0, 0, 0}), kKindE,
                                         analytic::electric_quadrupole(2.0));
  static const Table3D eb = build_table3d(table_layout(1.5, 1.5, 10.0, {0, 0, 0}), kKindEB,
                                          analytic::pillbox_tm010(1000.0, 3.0));
  static const Table3D eq = build_table3d(table_layout(1.5, 1.5, 10.0, {1, 1, 0}), kKindE,
                                          analytic::electric_quadrupole(2.0));
  if (kind == kKindE) return quarter ? eq : e;
  return eb;
}

template <class F>
void run_points(benchmark::State& state, F&& f, bool planes = false) {
  const auto& p = planes ? plane_points() : points();
  for (auto _ : state) {
    for (const Point& q : p) {
      Vec3 E, B;
      f(q, E, B);
      benchmark::DoNotOptimize(E);
      benchmark::DoNotOptimize(B);
    }
  }
  state.SetItemsProcessed(state.iterations() * kPoints);
  state.counters["ns/eval"] = benchmark::Counter(static_cast<double>(state.iterations() * kPoints),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_interp3d_E(benchmark::State& s) {
  const Table3D& t = table(kKindE, false);
  run_points(s, [&](const Point& q, Vec3& E, Vec3& B) { table_interp3d(t, kKindE, q.x, q.y, q.z - 10.0, E, B); });
}
void BM_interp3d_EB(benchmark::State& s) {
  const Table3D& t = table(kKindEB, false);
  run_points(s, [&](const Point& q, Vec3& E, Vec3& B) { table_interp3d(t, kKindEB, q.x, q.y, q.z - 10.0, E, B); });
}
void BM_interp3d_E_planes(benchmark::State& s) {
  const Table3D& t = table(kKindE, false);
  run_points(
      s, [&](const Point& q, Vec3& E, Vec3& B) { table_interp3d(t, kKindE, q.x, q.y, q.z - 10.0, E, B); }, true);
}
void BM_interp3d_EB_planes(benchmark::State& s) {
  const Table3D& t = table(kKindEB, false);
  run_points(
      s, [&](const Point& q, Vec3& E, Vec3& B) { table_interp3d(t, kKindEB, q.x, q.y, q.z - 10.0, E, B); }, true);
}
void BM_field_table_a_quarter(benchmark::State& s) {
  const Table3D& t = table(kKindE, true);
  StaticTableGeometry g;
  g.L = 20.0;
  g.aper_x = g.aper_y = 1000.0;
  g.kind = kKindE;
  g.mirror = static_mirror_rules(kKindE, 2);
  run_points(s, [&](const Point& q, Vec3& E, Vec3& B) { field_table_a(t, g, q.x, q.y, q.z, E, B); });
}
void BM_rf_table_field(benchmark::State& s) {
  const Table3D& t = table(kKindEB, false);
  run_points(s, [&](const Point& q, Vec3& E, Vec3& B) { rf_table_field(t, 20.0, 3.0, q.x, q.y, q.z, E, B); });
}
void BM_static_source_fieldat(benchmark::State& s) {
  StaticTableSource src;
  src.table = &table(kKindE, true);
  src.geom.L = 20.0;
  src.geom.aper_x = src.geom.aper_y = 1000.0;
  src.geom.kind = kKindE;
  src.geom.mirror = static_mirror_rules(kKindE, 2);
  src.escale = 1.5;
  const FieldAt<StaticTableSource> f{src};
  run_points(s, [&](const Point& q, Vec3& E, Vec3& B) { f(q.x, q.y, q.z, 0.0, E, B); });
}
void BM_rf_source_with_ebfld(benchmark::State& s) {
  const RfTableSource rf{&table(kKindEB, false), 20.0, 3.0, 0.8, 0.3};
  EbfldSource eb{&table(kKindEB, false), EbfldGeom{1.0, 1.0, 20.0, 3.0, 0.0}, 0.0};
  const FieldAt<WithEbfld<RfTableSource>> f{{rf, eb}};
  run_points(s, [&](const Point& q, Vec3& E, Vec3& B) { f(q.x, q.y, q.z, 0.0, E, B); });
}
void BM_table2d_field(benchmark::State& s) {
  static const Table2D t = [] {
    Table2D t2;
    t2.nu = 31;
    t2.nz = 201;
    t2.du = 0.05;
    t2.hz = 0.1;
    t2.u_last = 1.5;
    t2.z_last = 20.0;
    t2.values.assign(2u * 31 * 201, 0.0);
    for (std::size_t i = 0; i < t2.values.size(); ++i) t2.values[i] = 0.001 * static_cast<double>(i % 977);
    return t2;
  }();
  run_points(s, [&](const Point& q, Vec3& E, Vec3& B) { table2d_field(t, 20.0, 3.0, q.x, q.y, q.z, E, B); });
}
void BM_sol_field(benchmark::State& s) {
  static const AxisTable t = [] {
    AxisTable a;
    a.L = 20.0;
    a.nbz = 81;
    for (auto& c : a.col) c.assign(81, 0.0);
    for (int i = 0; i < 81; ++i) {
      const double z = i * 0.25;
      a.col[0][i] = std::sin(0.157 * z) * std::sin(0.157 * z);
      a.col[1][i] = 0.1 * std::cos(z);
      a.col[2][i] = 0.01 * std::sin(z);
    }
    return a;
  }();
  run_points(s, [&](const Point& q, Vec3& E, Vec3& B) {
    E = {0, 0, 0};
    sol_field(t, 20.0, 3.0, q.x, q.y, q.z, B);
  });
}

// Loading eh_MWS.#01 (6,032,140 bytes): from disk (the cache emptied before
// each load) and from the cache.
struct LoadFixture {
  std::unique_ptr<Sim> sim = make_sim();
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "linac-field-eval-bench";
  LoadFixture() {
    std::filesystem::create_directories(dir);
    set_start_values(*sim);
    sim->units.set_directory(dir);
    write_table3d(sim->units, "eh_MWS.#01", table_layout(1.5, 1.5, 10.0, {0, 0, 0}), kKindEB,
                  analytic::pillbox_tm010(1000.0, 3.0));
  }
  ~LoadFixture() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

void BM_load_first(benchmark::State& s) {
  LoadFixture f;
  for (auto _ : s) {
    f.sim->field_tables.cache.clear();
    f.sim->field_tables.field3d.reset();
    read_eh_MWS(*f.sim, 1);
  }
  s.SetBytesProcessed(s.iterations() * 6032140);
}
void BM_load_cached(benchmark::State& s) {
  LoadFixture f;
  read_eh_MWS(*f.sim, 1);
  for (auto _ : s) read_eh_MWS(*f.sim, 1);
  s.counters["disk_reads"] = static_cast<double>(f.sim->field_tables.disk_reads);
}

BENCHMARK(BM_interp3d_E);
BENCHMARK(BM_interp3d_EB);
BENCHMARK(BM_interp3d_E_planes);
BENCHMARK(BM_interp3d_EB_planes);
BENCHMARK(BM_field_table_a_quarter);
BENCHMARK(BM_rf_table_field);
BENCHMARK(BM_static_source_fieldat);
BENCHMARK(BM_rf_source_with_ebfld);
BENCHMARK(BM_table2d_field);
BENCHMARK(BM_sol_field);
BENCHMARK(BM_load_first)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_load_cached)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace linac

BENCHMARK_MAIN();
