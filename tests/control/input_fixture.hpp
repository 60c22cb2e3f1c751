// A run context in a scratch directory with the screen captured, for the
// tests of the input files (velmo.dat, sclinac.dat, fi_in.dat, linac.dat).
#pragma once

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/sim.hpp"
#include "control/velmo_main.hpp"
#include "test_support.hpp"

namespace linac::testing {

// The smallest valid parameter file: one charge state, a fixed seed, no plots.
inline const std::string kVelmoMin =
    "&TRAN QDESIGN=1, ADESIGN=1, WIN=1.0D6, FREQB=1.0D8, NQTOT=1, NPAT=200, QQ=1, AMASS=1,\n"
    "      EPSNX=0.1, ALPHX=0, BETX=100, EPSNY=0.1, ALPHY=0, BETY=100,\n"
    "      EPSNZ=100, ALPHZ=0, BETZ=100 /\n"
    "&INDEX IGRAPH=0, ISRF=1, IFLAG_DIS=1 /\n";

struct InputRun {
  TempDir dir;
  std::unique_ptr<Sim> sim = make_sim();
  std::ostringstream screen;

  InputRun() {
    sim->screen.redirect(screen);
    sim->units.set_directory(dir.path());
    set_start_values(*sim);
    set_remaining_defaults(*sim);
    sim->units.open(kUnitLog, "log.dat");
  }
  void file(const std::string& name, const std::string& text) const { write_file(dir / name, text); }
  // Runs a step of the task under the top-level guard; the exit status.
  int run(const std::function<void(Sim&)>& step) { return run_guarded(*sim, step); }
  std::vector<std::string> screen_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(screen.str());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> lines_of(const std::string& name) const { return read_lines(dir / name); }
};

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
