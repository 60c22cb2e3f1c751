// A run context over a scratch directory for the field-table tests, and
// the fields the tables are filled with.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "run/sim.hpp"
#include "test_support.hpp"
#include "transport/table_writers.hpp"

namespace linac::testing {

struct TableRun {
  TempDir tmp;
  std::unique_ptr<Sim> sim = make_sim();
  TableRun() {
    set_start_values(*sim);
    sim->units.set_directory(tmp.path());
  }
  Sim& operator*() { return *sim; }
  Sim* operator->() { return sim.get(); }
  std::filesystem::path path(const std::string& name) const { return tmp.path() / name; }
  bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }
};

// A field whose every component is a different quadratic of (x, y, dz), so
// the interpolation must reproduce it exactly.
inline FieldFunction quadratic_field() {
  return [](double x, double y, double z, Vec3& E, Vec3& B) {
    for (int c = 0; c < 3; ++c) {
      const double a = c + 1.0;
      E[c] = 0.5 * a + 0.3 * x - 0.2 * a * y + 0.7 * z + 0.11 * x * x - 0.05 * a * y * y +
             0.013 * z * z + 0.07 * x * y - 0.031 * a * x * z + 0.017 * y * z;
      B[c] = -2.0 + a * x + 0.4 * y - 0.2 * z * a + 0.09 * x * x + 0.02 * y * y -
             0.003 * a * z * z - 0.06 * x * y + 0.021 * x * z + 0.012 * a * y * z;
    }
  };
}

}  // namespace linac::testing
