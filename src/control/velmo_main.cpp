#include "control/velmo_main.hpp"

#include <fmt/format.h>

#include "beam/lost_coord.hpp"
#include "common/sim.hpp"
#include "control/lattice_prepass.hpp"
#include "control/lattice_reader.hpp"
#include "control/parameter_file.hpp"
#include "platform/fatal.hpp"

namespace linac {

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void begin_stamp(Sim& sim) {
  const std::string rec = stamp_record(" Task begin at  ", sim.clock.now());
  sim.units.write(kScreenUnit, rec);
  sim.units.write(kUnitLog, rec);
}

void end_stamp(Sim& sim) {
  const std::string rec = stamp_record(" Task end at  ", sim.clock.now());
  sim.units.write(kScreenUnit, rec);
  sim.units.write(kUnitLog, rec);
}

void open_standing_files(Sim& sim) {
  sim.units.open(kUnitOut, "out.dat");
  sim.units.open(kUnitCoord, "coord.dat");
  sim.units.open(kUnitLost, "lost.dat");
  sim.units.open(kUnitLog, "log.dat");
  sim.units.open(kUnitWtmp, "wtmp.dat");
}

}  // namespace

std::string date_time_string(const LocalTime& t) {
  // Each digit by integer division, so values below 10 keep a leading zero.
  auto two = [](int v) {
    return std::string{static_cast<char>('0' + (v / 10) % 10), static_cast<char>('0' + v % 10)};
  };
  std::string s;
  s += kMonths[(t.month - 1) % 12];
  s += ' ';
  s += two(t.day);
  s += ',';
  s += two(t.year / 100);
  s += two(t.year % 100);
  s += ',';
  s += two(t.hour);
  s += ':';
  s += two(t.minute);
  s += ':';
  s += two(t.second);
  s += "     ";
  return s;
}

std::string stamp_record(const std::string& label, const LocalTime& t) {
  return fmt::format("{:>17}{:<25}", label, date_time_string(t));
}

void nominal_pass(Sim& sim) {
  (void)sim;
  // The element loop, the end-of-seed record, wtmp.dat and coord.dat are
  // written here once the lattice and the beam are in place.
}

void velmo_main(Sim& sim) {
  // 1. Constants and start values.
  set_start_values(sim);
  // 2. Standing files.
  open_standing_files(sim);
  // 3. Begin stamp and the lost.dat header.
  begin_stamp(sim);
  write_lost_header(sim);
  // 4. Remaining defaults of the parameter file.
  set_remaining_defaults(sim);
  // 5. Parameter file and the design quantities derived from it.
  read_velmo_dat(sim);
  // 6. Lattice: sclinac.dat and fi_in.dat into linac.dat, then the element table.
  make_linac_dat(sim);
  ReadElements(sim);
  // 7.-8. Initial beam and first picture follow here.
  // 9. Nominal pass.
  nominal_pass(sim);
  // 10.-11. Error study and acceptance output follow here.
  // 12. End stamp.
  end_stamp(sim);
}

int run_program(Sim& sim) { return run_guarded(sim, velmo_main); }

int run_guarded(Sim& sim, const std::function<void(Sim&)>& body) {
  int status = 0;
  try {
    body(sim);
  } catch (const FatalStop& stop) {
    if (stop.to_log() && sim.units.is_open(kUnitLog)) sim.units.write(kUnitLog, stop.lines());
    for (const auto& line : stop.lines()) sim.screen.write_line(line);
    status = 1;
  }
  sim.units.close_all();
  return status;
}

}  // namespace linac
