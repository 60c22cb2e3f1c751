// Cost of an error study with corrections: the example examples/error_study
// (FODO channel of 16 matrix quadrupoles, two steered sections, a corrector
// cavity retuned at a phcor line, four seeds, 2000 particles of which half
// run the corrections) at 1 and 8 threads,
// with the seconds per seed spent in the longitudinal and the steering
// measurement passes, the fits, the final passes of the sections and
// everything else (error
// drawing, beam restores, the full pass of the seed); the monitor rms orbit
// before and after the steering; and the median time of one MIGRAD fit of
// a steering-like problem with N = 6, 12 and 25 correctors. A timed
// example: it prints one line per figure.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "corrections/minimiser.hpp"

namespace {

using namespace linac;
namespace fs = std::filesystem;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Rows are monitors, columns correctors along the line (see the tests).
BoundedLsq steering_problem(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  BoundedLsq p;
  p.n = n;
  p.m = std::min(25, 2 * n);
  for (int t = 0; t < n; ++t) p.names.push_back(" corrX #" + std::to_string(10 + t));
  p.start.assign(static_cast<std::size_t>(n), 0.0);
  p.step = static_cast<double>(0.1f);
  for (int j = 0; j < p.m; ++j) {
    for (int t = 0; t < n; ++t) {
      const int first_row = t * p.m / n;
      p.resp.push_back(j < first_row ? 0.0 : j == first_row ? 1.0 + 0.5 * u(gen) : 0.5 * u(gen));
    }
    p.rhs.push_back(1.5 * u(gen));
    p.weight.push_back(0.01);
  }
  return p;
}

void fit_times() {
  minimiser_start();
  for (int n : {6, 12, 25}) {
    std::vector<double> t;
    int limited = 0;
    for (unsigned s = 1; s <= 15; ++s) {
      const BoundedLsq p = steering_problem(n, s);
      const double t0 = now_s();
      const FitResult r = migrad_fit(p);
      t.push_back(now_s() - t0);
      limited += r.call_limit;
    }
    std::sort(t.begin(), t.end());
    std::printf("MIGRAD N = %2d: median %.2f ms per fit (15 problems, %d call-limited)\n", n, 1000.0 * t[7], limited);
  }
}

void study(const fs::path& example, int threads) {
  const fs::path dir = fs::temp_directory_path() / ("linac-error-study-bench-" + std::to_string(threads));
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const auto& f : fs::directory_iterator(example)) fs::copy_file(f.path(), dir / f.path().filename());
  const std::string tables =
      "cd '" + dir.string() + "' && bash make_tables.sh '" LINAC_MAKE_FIELD_TABLE "' > tables.txt 2>&1";
  if (std::system(tables.c_str()) != 0) {
    std::printf("the example's field table could not be written\n");
    return;
  }
  omp_set_num_threads(threads);
  auto sim = make_sim();
  std::ostringstream screen;
  sim->screen.redirect(screen);
  sim->units.set_directory(dir);
  const double t0 = now_s();
  const int rc = run_program(*sim);
  const double total = now_s() - t0;
  if (rc != 0) {
    std::printf("example failed: %s\n", screen.str().c_str());
    return;
  }
  const int seeds = sim->config.NRZ;
  const CorrTimes& c = sim->corr_study.times;
  const double rest = total - c.measurement - c.fits - c.final_pass - c.longitudinal;
  std::printf(
      "%d thread(s): %.3f s per seed: measurement %.3f, fits %.3f, section final passes %.3f, longitudinal %.3f, "
      "rest (nominal pass, drawing, full passes) %.3f\n",
      threads, total / seeds, c.measurement / seeds, c.fits / seeds, c.final_pass / seeds, c.longitudinal / seeds,
      rest / seeds);
  const CorrStudy& cs = sim->corr_study;
  if (threads == 1 && cs.orbit_count > 0)
    std::printf("monitor rms orbit over %d monitor readings: before %.4f mm, after %.4f mm (predicted, pass 1)\n",
                cs.orbit_count, 10.0 * std::sqrt(cs.orbit_sq_before / (2.0 * cs.orbit_count)),
                10.0 * std::sqrt(cs.orbit_sq_after / (2.0 * cs.orbit_count)));
  fs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path example = argc > 1 ? fs::path(argv[1]) : fs::path(LINAC_SOURCE_DIR) / "examples" / "error_study";
  fit_times();
  for (int threads : {1, 8}) study(example, threads);
  return 0;
}
