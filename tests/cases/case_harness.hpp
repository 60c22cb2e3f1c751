// Runs a case directory through the program's own steps in process: start
// values, standing files, velmo.dat, the lattice pre-pass and reader, an
// initial beam placed by the test, and the nominal pass with its outputs.
#pragma once

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "beam/lost_coord.hpp"
#include "run/sim.hpp"
#include "control/lattice_prepass.hpp"
#include "control/lattice_reader.hpp"
#include "control/parameter_file.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac::testing {

struct Placed {
  double x, xp, y, yp;  // cm, rad
};

class CaseRun {
 public:
  // Copies velmo.dat and sclinac.dat of the case directory `from` (relative
  // to the tests folder) into a scratch directory.
  explicit CaseRun(const std::string& from) {
    const std::filesystem::path src = std::filesystem::path(LINAC_TEST_DATA_DIR) / from;
    for (const char* f : {"velmo.dat", "sclinac.dat"})
      std::filesystem::copy_file(src / f, dir.path() / f);
    sim->screen.redirect(screen);
  }

  // Steps 1 to 6 of the main program.
  void read_inputs() {
    Sim& s = *sim;
    set_start_values(s);
    s.units.set_directory(dir.path());
    s.units.open(kUnitOut, "out.dat");
    s.units.open(kUnitCoord, "coord.dat");
    s.units.open(kUnitLost, "lost.dat");
    s.units.open(kUnitLog, "log.dat");
    s.units.open(kUnitWtmp, "wtmp.dat");
    write_lost_header(s);
    set_remaining_defaults(s);
    read_velmo_dat(s);
    make_linac_dat(s);
    ReadElements(s);
  }

  // The initial beam of charge state iq: slot 0 on axis at the design energy,
  // then the given particles, all at the design energy with phase 0.
  void place_beam(int iq, const std::vector<Placed>& beam) {
    Sim& s = *sim;
    const double gamma = s.ref.w0 / s.ref.amu_kev + 1.0;
    const double beta = std::sqrt(1.0 - 1.0 / (gamma * gamma));
    const int n = static_cast<int>(beam.size());
    s.config.npat0[iq] = n;
    s.config.NPAT[iq] = n;
    ParticleArrays& p = s.particles;
    for (int i = 0; i <= n; ++i) {
      const Placed q = i == 0 ? Placed{0, 0, 0, 0} : beam[static_cast<std::size_t>(i - 1)];
      p.x[iq][i] = q.x;
      p.xp[iq][i] = q.xp;
      p.y[iq][i] = q.y;
      p.yp[iq][i] = q.yp;
      p.phase[iq][i] = 0.0;
      p.beta[iq][i] = beta;
      p.z[iq][i] = 0.0;
      p.qa[iq][i] = s.config.QQ[iq] / s.config.AMASS[iq];
      p.status[iq][i] = kLive;
    }
  }

  // Step 9: the nominal pass (space charge switched on by the summed current
  // as the initial-beam step does), then every file closed.
  void run_nominal_pass() {
    Sim& s = *sim;
    double sum = 0.0;
    for (int iq = 1; iq <= s.config.NQTOT; ++iq) sum += s.current.CURRENT[iq];
    if (sum >= 1e-6) s.current.scur = sum;
    try {
      nominal_pass(s);
    } catch (...) {
      s.units.close_all();
      throw;
    }
    s.units.close_all();
  }

  std::vector<std::string> lines(const char* name) const { return read_lines(dir.path() / name); }
  std::string file(const char* name) const { return read_file(dir.path() / name); }

  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  std::ostringstream screen;
};

// Copies the files of examples/<name> into dir.
inline void copy_example(const std::string& name, const std::filesystem::path& dir) {
  const std::filesystem::path example =
      std::filesystem::path(LINAC_TEST_DATA_DIR) / ".." / "examples" / name;
  for (const auto& e : std::filesystem::directory_iterator(example))
    std::filesystem::copy_file(e.path(), dir / e.path().filename());
}

// Runs the program in dir (threads > 0 sets OMP_NUM_THREADS); its screen
// goes to screen.txt there. The exit status of the shell.
inline int run_program(const std::filesystem::path& dir, int threads = 0) {
  const std::string env = threads > 0 ? "OMP_NUM_THREADS=" + std::to_string(threads) + " " : "";
  const std::string cmd =
      "cd '" + dir.string() + "' && " + env + "'" LINAC_PROGRAM "' > screen.txt 2>&1";
  return std::system(cmd.c_str());
}

// Runs the program on a copy of examples/<example> with OMP_NUM_THREADS =
// threads and returns the contents of the named output files (a failed run
// fails the test and returns empty texts).
inline std::vector<std::string> run_example(const std::string& example, int threads,
                                            const std::vector<std::string>& files) {
  TempDir dir;
  copy_example(example, dir.path());
  std::vector<std::string> out(files.size());
  const int rc = run_program(dir.path(), threads);
  EXPECT_EQ(rc, 0) << read_file(dir / "screen.txt");
  if (rc != 0) return out;
  for (std::size_t f = 0; f < files.size(); ++f) out[f] = read_file(dir / files[f]);
  return out;
}

// The exact axial depolarisation factor of a spheroid with semi-axes (a, a,
// c), m = c/a: Mz = (m ln(m + sqrt(m^2 - 1))/sqrt(m^2 - 1) - 1)/(m^2 - 1)
// when prolate, m^2/(m^2 - 1) (1 - asin(sqrt(1 - m^2))/sqrt(1 - m^2)) (the
// oblate form with 1/m) when oblate, 1/3 for a sphere; across the axis
// (1 - Mz)/2 each.
inline double spheroid_mz(double m) {
  if (std::abs(m - 1.0) < 1e-9) return 1.0 / 3.0;
  if (m > 1.0) {
    const double r = std::sqrt(m * m - 1.0);
    return (m * std::log(m + r) / r - 1.0) / (m * m - 1.0);
  }
  const double k = 1.0 / m;
  const double r = std::sqrt(k * k - 1.0);
  return k * k / (k * k - 1.0) * (1.0 - std::asin(r / k) / r);
}

}  // namespace linac::testing
