// One pass of a 3-D Poisson solve by fast transforms, as the space-charge
// solver does it: sine transforms along x and y (potential 0 on the
// transverse walls), a real periodic FFT along z, division by the
// eigenvalues of the 7-point Laplacian, and the inverse transforms back.
// Our transforms against FFTW (RODFT00 along x and y, R2HC/HC2R along z),
// single-threaded, on the default space-charge grid 33 x 33 x 65 and the
// largest one 129 x 129 x 257.
//
// Grid: NX x NY x NZ nodes, x fastest; nodes 0 and NX-1 (NY-1) are the
// walls, planes 0 .. NZ-2 form one period in z.
//
// After the timings the program prints, per grid, the median time of each
// variant, the ratio ours / best FFTW variant, and the largest difference
// between the potentials of ours and FFTW relative to the largest value.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "numerics/fft.hpp"
#include "numerics/sine_transform.hpp"

namespace {

constexpr double kPi = 3.141592653589793;

struct Grid {
  int nx, ny, nz;
  std::ptrdiff_t sx() const { return 1; }
  std::ptrdiff_t sy() const { return nx; }
  std::ptrdiff_t sz() const { return static_cast<std::ptrdiff_t>(nx) * ny; }
  std::size_t size() const { return static_cast<std::size_t>(nx) * ny * nz; }
  // Mesh steps of a 2 cm x 2 cm x 4 cm box (cm).
  double hx() const { return 2.0 / (nx - 1); }
  double hy() const { return 2.0 / (ny - 1); }
  double hz() const { return 4.0 / (nz - 1); }
};

// Eigenvalues of the 7-point Laplacian, each times the normalisation
// 2(NX-1) 2(NY-1) (NZ-1) of the unnormalised transforms.
struct Eigen {
  std::vector<double> kx, ky, kz_ours, kz_fftw;
  Eigen(const Grid& g) {
    const int nx2 = g.nx - 2, ny2 = g.ny - 2, nz1 = g.nz - 1;
    const double norm = 4.0 * (g.nx - 1) * (g.ny - 1) * nz1;
    for (int m = 1; m <= nx2; ++m) {
      const double s = 2.0 * std::sin(0.5 * kPi * m / (g.nx - 1)) / g.hx();
      kx.push_back(s * s * norm);
    }
    for (int m = 1; m <= ny2; ++m) {
      const double s = 2.0 * std::sin(0.5 * kPi * m / (g.ny - 1)) / g.hy();
      ky.push_back(s * s * norm);
    }
    auto kz_of = [&](int freq) {
      const double s = 2.0 * std::sin(kPi * freq / nz1) / g.hz();
      return s * s * norm;
    };
    // Our order: c0, then (cos, -sin) pairs of frequency k, then the
    // alternating sum; FFTW's half-complex: r0 .. r_{n/2}, i_{(n+1)/2-1} .. i_1.
    for (int p = 0; p < nz1; ++p) kz_ours.push_back(kz_of((p + 1) / 2));
    for (int p = 0; p < nz1; ++p) kz_fftw.push_back(kz_of(p <= nz1 / 2 ? p : nz1 - p));
  }
};

void divide(const Grid& g, const Eigen& e, const std::vector<double>& kz, double* u) {
  for (int l = 0; l < g.nz - 1; ++l)
    for (int j = 1; j < g.ny - 1; ++j)
      for (int i = 1; i < g.nx - 1; ++i)
        u[i + j * g.sy() + l * g.sz()] /= e.kx[i - 1] + e.ky[j - 1] + kz[l];
}

std::vector<double> source(const Grid& g) {
  std::vector<double> u(g.size(), 0.0);
  std::mt19937_64 gen(20240611u);
  std::uniform_real_distribution<double> d(0.0, 1.0);
  for (int l = 0; l < g.nz - 1; ++l)
    for (int j = 1; j < g.ny - 1; ++j)
      for (int i = 1; i < g.nx - 1; ++i) u[i + j * g.sy() + l * g.sz()] = d(gen);
  return u;
}

// ------------------------------------------------------------------ ours

struct OursSolver {
  Grid g;
  Eigen e;
  linac::SineTable sx, sy;
  linac::RealFftTable fz;
  OursSolver(const Grid& grid)
      : g(grid), e(grid), sx(grid.nx - 2), sy(grid.ny - 2), fz(grid.nz - 1) {}

  void transverse(double* u) {
    for (int l = 0; l < g.nz - 1; ++l) {
      double* plane = u + l * g.sz();
      sx.transform_lines(plane + g.sx() + g.sy(), g.sx(), g.sy(), g.ny - 2);
      sy.transform_lines(plane + g.sx() + g.sy(), g.sy(), g.sx(), g.nx - 2);
    }
  }
  void solve(double* u) {
    transverse(u);
    for (int j = 1; j < g.ny - 1; ++j)
      fz.forward_lines(u + g.sx() + j * g.sy(), g.sz(), g.sx(), g.nx - 2);
    divide(g, e, e.kz_ours, u);
    for (int j = 1; j < g.ny - 1; ++j)
      fz.backward_lines(u + g.sx() + j * g.sy(), g.sz(), g.sx(), g.nx - 2);
    transverse(u);
  }
};

// ------------------------------------------------------------------ FFTW

// (a) one plan per direction over all lines of the grid (guru interface);
// (b) one 3-D r2r plan forward and one backward.
struct FftwSolver {
  Grid g;
  Eigen e;
  bool three_d;
  fftw_plan px = nullptr, py = nullptr, pzf = nullptr, pzb = nullptr, p3f = nullptr,
            p3b = nullptr;
  FftwSolver(const Grid& grid, bool three_d_plan, double* work)
      : g(grid), e(grid), three_d(three_d_plan) {
    const int nx2 = g.nx - 2, ny2 = g.ny - 2, nz1 = g.nz - 1;
    double* in = work + g.sx() + g.sy();
    const unsigned flags = FFTW_MEASURE;
    if (!three_d) {
      fftw_r2r_kind dst = FFTW_RODFT00, r2hc = FFTW_R2HC, hc2r = FFTW_HC2R;
      fftw_iodim dx{nx2, static_cast<int>(g.sx()), static_cast<int>(g.sx())};
      fftw_iodim dy{ny2, static_cast<int>(g.sy()), static_cast<int>(g.sy())};
      fftw_iodim dz{nz1, static_cast<int>(g.sz()), static_cast<int>(g.sz())};
      fftw_iodim hx[2] = {dy, dz};
      px = fftw_plan_guru_r2r(1, &dx, 2, hx, in, in, &dst, flags);
      fftw_iodim hy[2] = {dx, dz};
      py = fftw_plan_guru_r2r(1, &dy, 2, hy, in, in, &dst, flags);
      fftw_iodim hz[2] = {dx, dy};
      pzf = fftw_plan_guru_r2r(1, &dz, 2, hz, in, in, &r2hc, flags);
      pzb = fftw_plan_guru_r2r(1, &dz, 2, hz, in, in, &hc2r, flags);
    } else {
      fftw_iodim d[3] = {{nz1, static_cast<int>(g.sz()), static_cast<int>(g.sz())},
                         {ny2, static_cast<int>(g.sy()), static_cast<int>(g.sy())},
                         {nx2, static_cast<int>(g.sx()), static_cast<int>(g.sx())}};
      fftw_r2r_kind kf[3] = {FFTW_R2HC, FFTW_RODFT00, FFTW_RODFT00};
      fftw_r2r_kind kb[3] = {FFTW_HC2R, FFTW_RODFT00, FFTW_RODFT00};
      p3f = fftw_plan_guru_r2r(3, d, 0, nullptr, in, in, kf, flags);
      p3b = fftw_plan_guru_r2r(3, d, 0, nullptr, in, in, kb, flags);
    }
  }
  ~FftwSolver() {
    for (fftw_plan p : {px, py, pzf, pzb, p3f, p3b})
      if (p) fftw_destroy_plan(p);
  }
  void solve(double* u) {
    double* in = u + g.sx() + g.sy();
    if (three_d) {
      fftw_execute_r2r(p3f, in, in);
      divide(g, e, e.kz_fftw, u);
      fftw_execute_r2r(p3b, in, in);
    } else {
      fftw_execute_r2r(px, in, in);
      fftw_execute_r2r(py, in, in);
      fftw_execute_r2r(pzf, in, in);
      divide(g, e, e.kz_fftw, u);
      fftw_execute_r2r(pzb, in, in);
      fftw_execute_r2r(py, in, in);
      fftw_execute_r2r(px, in, in);
    }
  }
};

// The largest difference of the potentials of ours and FFTW (variant a),
// relative to the largest potential.
double max_difference(const Grid& g) {
  std::vector<double> a = source(g);
  std::vector<double> b(g.size());
  FftwSolver f(g, false, b.data());
  b = a;
  OursSolver o(g);
  o.solve(a.data());
  f.solve(b.data());
  double diff = 0.0, big = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    diff = std::max(diff, std::fabs(a[k] - b[k]));
    big = std::max(big, std::fabs(b[k]));
  }
  return diff / big;
}

const Grid kGrids[] = {{33, 33, 65}, {129, 129, 257}};

std::string grid_name(const Grid& g) {
  return std::to_string(g.nx) + "x" + std::to_string(g.ny) + "x" + std::to_string(g.nz);
}

void BM_Ours(benchmark::State& state) {
  const Grid g = kGrids[state.range(0)];
  OursSolver o(g);
  const std::vector<double> src = source(g);
  std::vector<double> u = src;
  for (auto _ : state) {
    state.PauseTiming();
    u = src;
    state.ResumeTiming();
    o.solve(u.data());
    benchmark::DoNotOptimize(u.data());
  }
  state.SetLabel(grid_name(g));
}

void BM_Fftw(benchmark::State& state) {
  const Grid g = kGrids[state.range(0)];
  std::vector<double> u(g.size());
  FftwSolver f(g, state.range(1) != 0, u.data());
  const std::vector<double> src = source(g);
  for (auto _ : state) {
    state.PauseTiming();
    u = src;
    state.ResumeTiming();
    f.solve(u.data());
    benchmark::DoNotOptimize(u.data());
  }
  state.SetLabel(grid_name(g));
}

BENCHMARK(BM_Ours)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fftw)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

// Keeps the median of every benchmark for the closing summary.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> median_ms;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.aggregate_name == "median")
        median_ms[r.run_name.str()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string reps = "--benchmark_repetitions=15";
  bool has_reps = false;
  for (int k = 1; k < argc; ++k)
    if (std::string(argv[k]).rfind("--benchmark_repetitions", 0) == 0) has_reps = true;
  if (!has_reps) args.push_back(reps.data());
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  MedianReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\nSummary (median times, single thread):\n");
  std::printf("%-14s %12s %12s %12s %10s %14s\n", "grid", "ours ms", "fftw(a) ms", "fftw(b) ms",
              "ratio", "max rel diff");
  for (int k = 0; k < 2; ++k) {
    const std::string ok = "BM_Ours/" + std::to_string(k);
    const std::string fa = "BM_Fftw/" + std::to_string(k) + "/0";
    const std::string fb = "BM_Fftw/" + std::to_string(k) + "/1";
    if (!rep.median_ms.count(ok) || !rep.median_ms.count(fa) || !rep.median_ms.count(fb)) continue;
    const double o = rep.median_ms[ok], a = rep.median_ms[fa], b = rep.median_ms[fb];
    std::printf("%-14s %12.3f %12.3f %12.3f %10.2f %14.3e\n", grid_name(kGrids[k]).c_str(), o, a,
                b, o / std::min(a, b), max_difference(kGrids[k]));
  }
  benchmark::Shutdown();
  return 0;
}
