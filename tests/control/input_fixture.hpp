// Run contexts in a scratch directory with the screen captured: a whole
// task (TaskRun), and the context of the input-file readers (InputRun:
// velmo.dat, sclinac.dat, fi_in.dat, linac.dat).
#pragma once

#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "run/sim.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac::testing {

// The smallest valid parameter file: one charge state, a fixed seed, no plots.
inline const std::string kVelmoMin =
    "&TRAN QDESIGN=1, ADESIGN=1, WIN=1.0D6, FREQB=1.0D8, NQTOT=1, NPAT=200, QQ=1, AMASS=1,\n"
    "      EPSNX=0.1, ALPHX=0, BETX=100, EPSNY=0.1, ALPHY=0, BETY=100,\n"
    "      EPSNZ=100, ALPHZ=0, BETZ=100 /\n"
    "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1 /\n";

struct TaskRun {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  std::ostringstream screen;

  TaskRun() {
    sim->screen.redirect(screen);
    sim->units.set_directory(dir.path());
  }
  // A task directory holding the parameter file and the lattice.
  TaskRun(const std::string& velmo, const std::string& lattice) : TaskRun() {
    file("velmo.dat", velmo);
    file("sclinac.dat", lattice);
  }
  void file(const std::string& name, const std::string& text) const { write_file(dir / name, text); }
  // Runs the whole task; the exit status.
  int go() { return run_program(*sim); }
  // Runs a step of the task under the top-level guard; the exit status.
  int run(const std::function<void(ControlContext&)>& step) { return run_guarded(*sim, step); }
  std::vector<std::string> screen_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(screen.str());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> lines_of(const std::string& name) const { return read_lines(dir / name); }
};

// The readers' context: start values and defaults in place, log.dat open.
struct InputRun : TaskRun {
  InputRun() {
    set_start_values(*sim);
    set_remaining_defaults(*sim);
    sim->units.open(kUnitLog, "log.dat");
  }
};

// Runs the program binary in dir with its screen in screen.txt; the exit
// status.
inline int run_binary_in(const TempDir& dir) {
  const std::string cmd = "cd '" + dir.path().string() + "' && '" LINAC_PROGRAM "' > screen.txt";
  return std::system(cmd.c_str());
}

// A text padded with blanks to 132 characters: a linac.dat record.
inline std::string rec132(std::string s) {
  s.resize(132, ' ');
  return s;
}

// a followed by b (spelled out: GCC 12 warns falsely on "literal" + string&&).
inline std::string join(std::string a, const std::string& b) {
  a += b;
  return a;
}

}  // namespace linac::testing
