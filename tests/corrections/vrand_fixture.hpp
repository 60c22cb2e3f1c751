// vrand_001.dat for a corrections case: the ten deviates of every lattice
// line, neutral (uniform 0.5: no offset or error; normal 0) unless the case
// sets one.
#pragma once

#include <functional>
#include <string>

#include "control/input_fixture.hpp"
#include "platform/unformatted.hpp"

namespace linac::testing {

// set(n, k) returns the deviate k (1..10) of line n, or a negative value
// for the neutral one.
inline void write_seed1_deviates(const TaskRun& run, int lines, const std::function<double(int, int)>& set) {
  UnformattedOut out(run.sim->units, (run.dir / "vrand_001.dat").string());
  for (int n = 1; n <= lines; ++n) {
    RecordOut rec;
    for (int k = 1; k <= 10; ++k) {
      const double v = set(n, k);
      rec.put(v >= 0.0 ? v : (k == 7 || k == 8 ? 0.0 : 0.5));
    }
    out.write(rec);
  }
  out.close();
}

}  // namespace linac::testing
