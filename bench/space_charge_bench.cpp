// One space-charge step of the 3-D model, stage by stage, at 1 and 8
// threads: clear the grid, deposit the bunch, solve Poisson's equation,
// kick the particles, and the whole step (space_charge + sc_kick). Grids:
// the default 33 x 33 x 65 with 1e5 particles and the largest 129 x 129 x
// 257 with about 1e6. Our solve is compared with FFTW on the same grid and
// the same threads (RODFT00 along x and y, R2HC/HC2R along z, the same
// eigenvalue division): time ratio and the largest difference of the
// potentials relative to the largest potential.
//
// Timed example (median of repeated runs); the machine is shared, so the
// load average is printed with the figures and only ratios measured in one
// run should be compared.
#include <fftw3.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_beam.hpp"
#include "common/constants.hpp"
#include "run/sim.hpp"
#include "spacecharge/deposit.hpp"
#include "spacecharge/poisson.hpp"
#include "spacecharge/space_charge.hpp"

namespace {

using namespace linac;

double median_ms(int reps, const std::function<void()>& setup, const std::function<void()>& work) {
  std::vector<double> t;
  for (int r = 0; r < reps; ++r) {
    setup();
    const auto a = std::chrono::steady_clock::now();
    work();
    const auto b = std::chrono::steady_clock::now();
    t.push_back(std::chrono::duration<double, std::milli>(b - a).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

struct Case {
  int nx, ny, nz;
  int per_state;  // particles per charge state
  int states;
  int reps;
  double target_ms;  // whole step at 8 threads
};

// A Gaussian bunch in a 1 MeV/u frame at 100 MHz: rms 0.3 cm across in a
// box of 1.5 cm half size, rms 15 deg of phase in a box of one period.
struct Setup {
  std::unique_ptr<Sim> sim = make_sim();
  explicit Setup(const Case& c) {
    Sim& s = *sim;
    s.units.set_directory(bench::scratch_directory());
    s.config.NQTOT = c.states;
    s.config.nharm_sc = 1;
    s.sc.NXGRD = c.nx;
    s.sc.NYGRD = c.ny;
    s.sc.NZGRD = c.nz;
    s.sc.zlhSC = 1000.0;
    s.ref.FREQB = 100e6;
    s.ref.wavelength = kSpeedOfLightCm / 100e6;
    s.ref.wavelength_2pi = s.ref.wavelength / kTwoPi;
    s.ref.amu_kev = kAmuKev;
    s.ref.aper_x = 1.5;
    s.ref.aper_y = 1.5;
    s.ref.nstep = 10;
    s.current.scur = 1.0;
    const double W = 1000.0;
    const double gamma = W / kAmuKev + 1.0;
    const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    for (int k = 0; k <= 2; ++k) s.ref_path(k, kRefW) = W;
    const double sphi = 15.0 * kDegToRad;
    s.beam_moments.sigma[1][1] = s.beam_moments.sigma[3][3] = 0.09;
    s.beam_moments.sigma[5][5] = sphi * sphi;
    std::mt19937_64 gen(1);
    std::normal_distribution<double> d(0.0, 1.0);
    for (int iq = 1; iq <= c.states; ++iq) {
      s.config.NPAT[iq] = c.per_state - 1;
      s.current.qmacro[iq] = 1e-10 / (c.per_state * c.states);
      ParticleArrays& p = s.particles;
      for (int i = 0; i < c.per_state; ++i) {
        p.x[iq][i] = 0.3 * d(gen);
        p.y[iq][i] = 0.3 * d(gen);
        p.xp[iq][i] = 0.002 * d(gen);
        p.yp[iq][i] = 0.002 * d(gen);
        p.phase[iq][i] = sphi * d(gen);
        p.beta[iq][i] = beta;
        p.qa[iq][i] = 0.25;
        p.status[iq][i] = kLive;
      }
    }
    sc_fft_init(s);
    // The box and frame of step 2 (step 1 would run the mesh check).
    space_charge(s, 2);
  }
};

// FFTW's solve of the same discrete problem, one r2r plan per direction over
// all lines (guru interface) or one 3-D plan; the faster is used.
struct FftwSolve {
  const ScGrid& g;
  std::vector<double> kz;  // eigenvalues in FFTW's half-complex order
  fftw_plan px = nullptr, py = nullptr, pzf = nullptr, pzb = nullptr, p3f = nullptr, p3b = nullptr;
  bool use3d = false;
  FftwSolve(const ScGrid& grid, double* work) : g(grid) {
    const int nx2 = g.nx2, ny2 = g.ny2, nz1 = g.nz1;
    const int sx = 1, sy = g.NX, sz = g.NX * g.NY;
    double* in = work + sx + sy;
    for (int p = 0; p < nz1; ++p) {
      const int freq = p <= nz1 / 2 ? p : nz1 - p;
      const double s = 2.0 * std::sin(kPi * freq / nz1) / g.sc_hz;
      kz.push_back(s * s * g.sc_norm);
    }
    fftw_r2r_kind dst = FFTW_RODFT00, r2hc = FFTW_R2HC, hc2r = FFTW_HC2R;
    fftw_iodim dx{nx2, sx, sx}, dy{ny2, sy, sy}, dz{nz1, sz, sz};
    fftw_iodim hx[2] = {dy, dz}, hy[2] = {dx, dz}, hz[2] = {dx, dy};
    px = fftw_plan_guru_r2r(1, &dx, 2, hx, in, in, &dst, FFTW_MEASURE);
    py = fftw_plan_guru_r2r(1, &dy, 2, hy, in, in, &dst, FFTW_MEASURE);
    pzf = fftw_plan_guru_r2r(1, &dz, 2, hz, in, in, &r2hc, FFTW_MEASURE);
    pzb = fftw_plan_guru_r2r(1, &dz, 2, hz, in, in, &hc2r, FFTW_MEASURE);
    fftw_iodim d3[3] = {dz, dy, dx};
    fftw_r2r_kind kf[3] = {FFTW_R2HC, FFTW_RODFT00, FFTW_RODFT00};
    fftw_r2r_kind kb[3] = {FFTW_HC2R, FFTW_RODFT00, FFTW_RODFT00};
    p3f = fftw_plan_guru_r2r(3, d3, 0, nullptr, in, in, kf, FFTW_MEASURE);
    p3b = fftw_plan_guru_r2r(3, d3, 0, nullptr, in, in, kb, FFTW_MEASURE);
  }
  ~FftwSolve() {
    for (fftw_plan p : {px, py, pzf, pzb, p3f, p3b})
      if (p) fftw_destroy_plan(p);
  }
  void divide(double* u) const {
    const std::ptrdiff_t NX = g.NX, plane = NX * g.NY;
#pragma omp parallel for schedule(static)
    for (int l = 0; l < g.nz1; ++l)
      for (int j = 1; j <= g.ny2; ++j) {
        double* line = u + j * NX + l * plane;
        for (int i = 1; i <= g.nx2; ++i) line[i] = line[i] / (g.sc_kx2[i] + g.sc_ky2[j] + kz[l]);
      }
  }
  void solve(double* u) const {
    double* in = u + 1 + g.NX;
    if (use3d) {
      fftw_execute_r2r(p3f, in, in);
      divide(u);
      fftw_execute_r2r(p3b, in, in);
    } else {
      fftw_execute_r2r(px, in, in);
      fftw_execute_r2r(py, in, in);
      fftw_execute_r2r(pzf, in, in);
      divide(u);
      fftw_execute_r2r(pzb, in, in);
      fftw_execute_r2r(py, in, in);
      fftw_execute_r2r(px, in, in);
    }
    const std::ptrdiff_t plane = static_cast<std::ptrdiff_t>(g.NX) * g.NY;
    std::copy(u, u + plane, u + (g.NZ - 1) * plane);
  }
};

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace

// Arguments (optional): the case (0 the default grid, 1 the largest; both
// when absent) and the thread counts (default 1 and 8).
int main(int argc, char** argv) {
  fftw_init_threads();
  const Case all[] = {{33, 33, 65, 100000, 1, 41, 1.0}, {129, 129, 257, 166000, 6, 9, 40.0}};
  std::vector<Case> cases(all, all + 2);
  if (argc > 1) cases = {all[std::atoi(argv[1]) != 0 ? 1 : 0]};
  std::vector<int> thread_counts = {1, 8};
  if (argc > 2) {
    thread_counts.clear();
    for (int k = 2; k < argc; ++k) thread_counts.push_back(std::atoi(argv[k]));
  }
  std::printf("load average at start: %s\n", load_average().c_str());
  std::printf("%-12s %8s %3s %9s %9s %9s %9s %9s %10s %7s %10s %8s\n", "grid", "particles", "thr",
              "clear ms", "deposit", "solve", "kick", "step", "fftw solve", "ratio", "max diff", "bitwise");
  std::vector<std::string> summary;
  for (const Case& c : cases) {
    Setup setup(c);
    Sim& s = *setup.sim;
    ScGrid& g = s.sc_grid;
    const std::vector<double> source = [&] {
      sc_clear_3d(g);
      sc_deposit_3d(s, s.transport.step.sc_centre_phase);
      return g.sc_grid3d;
    }();
    std::vector<double> potential_1;
    for (int threads : thread_counts) {
      omp_set_num_threads(threads);
      fftw_plan_with_nthreads(threads);
      ParticleArrays& p = s.particles;
      const std::vector<double> xp0(p.xp[1], p.xp[1] + c.per_state);
      auto restore = [&] {
        for (int iq = 1; iq <= c.states; ++iq) {
          std::copy(xp0.begin(), xp0.end(), p.xp[iq]);
          std::fill(p.beta[iq], p.beta[iq] + c.per_state, g.beta_sc);
        }
      };
      const double phase = s.transport.step.sc_centre_phase;
      const double t_clear = median_ms(c.reps, [] {}, [&] { sc_clear_3d(g); });
      const double t_dep = median_ms(c.reps, [&] { sc_clear_3d(g); }, [&] { sc_deposit_3d(s, phase); });
      const double t_solve = median_ms(c.reps, [&] { g.sc_grid3d = source; }, [&] { sc_poisson_3d(g); });
      const std::vector<double> ours = g.sc_grid3d;
      const double t_kick = median_ms(c.reps, restore, [&] { sc_kick(s, 0.5); });
      const double t_step = median_ms(c.reps, restore, [&] {
        space_charge(s, 2);
        sc_kick(s, 0.5);
      });
      // FFTW: the faster of its two plans, on the same source.
      std::vector<double> work = source;
      FftwSolve f(g, work.data());
      double t_fftw = 1e300;
      for (bool use3d : {false, true}) {
        f.use3d = use3d;
        t_fftw = std::min(t_fftw, median_ms(c.reps, [&] { work = source; }, [&] { f.solve(work.data()); }));
      }
      work = source;
      f.solve(work.data());
      double diff = 0.0, big = 0.0;
      for (std::size_t k = 0; k < work.size(); ++k) {
        diff = std::max(diff, std::abs(work[k] - ours[k]));
        big = std::max(big, std::abs(work[k]));
      }
      if (potential_1.empty()) potential_1 = ours;
      const char* same = threads == thread_counts.front() ? "-" : (ours == potential_1 ? "yes" : "NO");
      char grid[32];
      std::snprintf(grid, sizeof grid, "%dx%dx%d", c.nx, c.ny, c.nz);
      std::printf("%-12s %8d %3d %9.3f %9.3f %9.3f %9.3f %9.3f %10.3f %7.2f %10.2e %8s\n", grid,
                  c.per_state * c.states, threads, t_clear, t_dep, t_solve, t_kick, t_step, t_fftw,
                  t_solve / t_fftw, diff / big, same);
      if (threads == 8) {
        char line[160];
        std::snprintf(line, sizeof line, "%s with %d particles: %.3f ms (target < %g ms)", grid,
                      c.per_state * c.states, t_step, c.target_ms);
        summary.push_back(line);
      }
    }
  }
  std::printf("load average at end:   %s\n", load_average().c_str());
  for (const std::string& line : summary) std::printf("whole step at 8 threads, %s\n", line.c_str());
  fftw_cleanup_threads();
  return 0;
}
